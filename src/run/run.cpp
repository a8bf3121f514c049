// The run as one story. What is on disk decides where it starts; each start
// is then one straight sequence of steps, and prints what it does.
#include "run.h"

#include <memory>
#include <string>

#include "checked_io.h"
#include "interrupt.h"
#include "pak_format.h"
#include "run_files.h"

namespace {

enum class start_point {
    fresh,              // the target is the original: back it up, then apply update.pak
    resume_rewrite,     // cut short while rewriting: rewrite it whole from its backup
    finish_complete,    // complete but for its magic, holding update.pak's members or with no update.pak
    finish_then_apply,  // complete but for its magic, and update.pak is another update
};

struct run_state {
    run_files files;
    merge_plan plan;
    pak_header original_header;  // of the archive the plan merges update.pak into
    pak_header final_header;     // the header a marked target gets when it is finished
    rewrite_record record;       // what the target is rewritten from
    std::string backing_up;      // the first line of a fresh run
    std::string marked_note;     // what a run stopped after the target was marked leaves
    std::string unchanged_note;  // what an interrupted run leaves before
    progress_line progress;
    bool dry_run;  // everything is checked; nothing changes
};

void print_dry_run(const run_state& run)
{
    print_text("Dry run of the update of %s: nothing was changed\n", run.files.target_path.c_str());
}

// From the target's mark on, a run that stops leaves a target the game
// cannot load until the same command is run again.
void note_target_marked(run_state& run)
{
    if (!run.dry_run) {
        set_failure_notes(run.marked_note.c_str(), run.marked_note.c_str());
    }
}

void note_target_unchanged(const run_state& run)
{
    set_failure_notes(nullptr, run.unchanged_note.c_str());
}

void mark_target(run_state& run, rewrite_stage stage)
{
    write_target_magic(run.files.target, stage);
    if (stage == rewrite_stage::rewriting) {
        note_target_marked(run);
    }
}

void read_update_directory(run_state& run)
{
    run.plan.update.capacity = MAX_UPDATE_ENTRIES;
    read_pak_directory(run.files.update, run.plan.update);
    warn_of_repeated_names(run.plan.update);
}

// Reads the directories of `original`, an archive, and update.pak, and
// plans the merge of the two.
void plan_from(run_state& run, const checked_file& original)
{
    run.original_header = read_archive_header(original);
    run.plan.original.capacity = MAX_PAK_ENTRIES;
    read_directory_at(original, run.original_header, run.plan.original);
    read_update_directory(run);
    plan_merge(run.plan, {archive_length(original), archive_length(run.files.update), original.path},
               run.files.target_path.c_str());
}

// The target's members and directory, as they stand after an earlier run
// completed them; the mark must describe exactly the file that is there.
void read_complete_target(run_state& run)
{
    const run_files& files = run.files;
    if (!mark_fits_length(run.final_header, archive_length(files.target))) {
        fatal_error("Cannot finish the interrupted update of %s: its mark does not match its length",
                    files.target_path.c_str());
    }
    run.plan.original.capacity = MAX_PAK_ENTRIES;
    read_directory_at(files.target, run.final_header, run.plan.original);
}

// The one decision of the run. A complete target with an update.pak is
// finished as it is when update.pak is the update it already holds, and is
// otherwise finished first, then updated again.
start_point decide_start(run_state& run)
{
    switch (read_rewrite_stage(run.files.target, run.final_header)) {
    case rewrite_stage::none:
        return start_point::fresh;
    case rewrite_stage::rewriting:
        set_failure_prelude(nullptr);
        note_target_marked(run);
        return start_point::resume_rewrite;
    case rewrite_stage::data_complete:
        break;
    }
    set_failure_prelude(nullptr);
    note_target_marked(run);
    read_complete_target(run);
    if (!path_exists(UPDATE_ARCHIVE_NAME)) {
        return start_point::finish_complete;
    }
    refuse_backup_leading_to_update(run.files);
    open_update(run.files);
    read_update_directory(run);
    return update_already_applied(run.plan.original, run.files.target, run.plan.update, run.files.update)
               ? start_point::finish_complete
               : start_point::finish_then_apply;
}

// Copies the target into the pending backup, reads the copy back and gives
// it the backup's name; the backup stays open for reading.
void fill_backup(run_state& run, pending_file& backup)
{
    const checked_file& target = run.files.target;
    const std::int32_t length = archive_length(target);
    const copy_span whole{&target, nullptr, 0, 0, length};
    begin_progress(run.progress, "Copying", target.path, backup.file.path, length);
    copy_span_to(backup.file, whole, &run.progress);
    verify_copies(backup.file, &whole, 1, run.progress);
    end_progress(run.progress);
    commit_pending_file(backup);
}

// An interrupted run can only be finished from the original it backed up.
void refuse_unusable_backup(const run_files& files)
{
    const char* fault = "is missing";
    if (path_exists(files.backup_path.c_str())) {
        checked_file backup = open_for_read(files.backup_path.c_str());
        fault = archive_fault(backup);
        close_file(backup);
    }
    if (fault != nullptr) {
        fatal_error("Cannot finish the interrupted update of %s: its backup %s %s", files.target_path.c_str(),
                    files.backup_path.c_str(), fault);
    }
}

[[noreturn]] void refuse_foreign_backup(const run_files& files)
{
    fatal_error("Cannot finish the interrupted update of %s: its backup %s is not the original that update saved; "
                "nothing was changed. Put that original back as %s and run again",
                files.target_path.c_str(), files.backup_path.c_str(), files.backup_path.c_str());
}

// The backup and update.pak must be the files the cut-short run rewrote the
// target from, as its record says. A run stopped before it recorded them,
// or after its rewrite was cut to length, left under its mark the place of
// the original's directory or of the result's.
void prove_backup_and_update(run_state& run, const checked_file& original)
{
    const run_files& files = run.files;
    rewrite_record recorded{};
    const rewrite_record found = record_for(original, run.original_header, files.update);
    run.record = found;
    if (read_rewrite_record(files.target, recorded)) {
        if (!same_original(recorded, found)) {
            refuse_foreign_backup(files);
        }
        if (!same_update(recorded, found)) {
            fatal_error("Cannot finish the interrupted update of %s: %s is not the update it was applying, which is "
                        "no longer there; the original is in %s. Put the earlier %s back and run again",
                        files.target_path.c_str(), UPDATE_ARCHIVE_NAME, files.backup_path.c_str(),
                        UPDATE_ARCHIVE_NAME);
        }
        return;
    }
    if (!same_directory_place(run.final_header, run.original_header) &&
        !same_directory_place(run.final_header, merged_header(run.plan))) {
        refuse_foreign_backup(files);
    }
}

// update.pak must hold what it held when it was opened, or the target holds
// other bytes than the ones it was checked against. A status that moved
// (a rename over it changes its status too) is checked on the bytes.
void refuse_changed_update(const run_state& run)
{
    const run_files& files = run.files;
    if (same_state(state_of(files.update), files.update_state)) {
        return;
    }
    const std::int64_t length = file_length(files.update);
    if (length != run.record.update_length || fingerprint_of(files.update, 0, length) != run.record.update) {
        fatal_error("Cannot update %s: %s changed during the run", files.target_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
}

void print_original_saved(const run_files& files, bool backup_exists)
{
    if (backup_exists) {
        print_text("The original is already in %s, saved by an interrupted run\n", files.backup_path.c_str());
    } else {
        print_text("Finishing the interrupted update of %s; its backup %s is missing\n", files.target_path.c_str(),
                   files.backup_path.c_str());
    }
}

void print_updating(const run_files& files)
{
    print_text("Updating %s...\n", files.target_path.c_str());
}

void print_report(const run_files& files, bool backup_exists)
{
    print_text("\n---------------------------------------\n");
    print_text("Update of %s completed!\n\n", files.target_path.c_str());
    if (backup_exists) {
        print_text("Backup of original in %s\n", files.backup_path.c_str());
    } else {
        print_text("No backup of the original: %s is missing\n", files.backup_path.c_str());
    }
    print_text("Thanks for using tarnwick!\n");
}

// Removes update.pak, but only the file this run applied; returns why it
// could not, or "".
std::string remove_applied_update(const run_files& files)
{
    if (!path_names(UPDATE_ARCHIVE_NAME, files.update)) {
        print_text("%s was replaced during the run and was not applied; it stays for the next run\n",
                   UPDATE_ARCHIVE_NAME);
        return "";
    }
    std::string failure = remove_file(UPDATE_ARCHIVE_NAME);
    if (failure.empty()) {
        flush_folder_of(UPDATE_ARCHIVE_NAME);
    }
    return failure;
}

[[noreturn]] void refuse_removal(const std::string& reason)
{
    print_error_text("tarnwick: cannot remove %s: %s\n", UPDATE_ARCHIVE_NAME, reason.c_str());
    fatal_error("Failed to remove %s! Remove by hand.\n", UPDATE_ARCHIVE_NAME);
}

// Members and directory are on disk: the target is marked complete, so that
// a later run never takes it for a new original, update.pak goes, and the
// magic goes on last.
int finish(run_state& run, bool backup_exists)
{
    run_files& files = run.files;
    std::string removal_failure;
    if (files.update.handle != NO_FILE) {
        mark_target(run, rewrite_stage::data_complete);
        removal_failure = remove_applied_update(files);
    }
    mark_target(run, rewrite_stage::none);
    set_failure_notes(nullptr, nullptr);
    close_file(files.target);
    print_report(files, backup_exists);
    if (!removal_failure.empty()) {
        refuse_removal(removal_failure);
    }
    return 0;
}

// Rewrites the target, which bears the rewrite mark, from `original`; the
// bytes before `start` are already the merged archive's.
void rewrite_target(run_state& run, const checked_file& original, std::int64_t start)
{
    write_merge(run.plan, original, run.files.update, run.files.target, start, run.progress);
    refuse_changed_update(run);
    seal_merge(run.plan, run.files.target);
}

// Marked before the first change, so that no later run takes a half-written
// target for an archive and copies it over its backup; then the record of
// what it is rewritten from, past every byte the rewrite writes.
void mark_and_record(run_state& run, const checked_file& original)
{
    run.record = record_for(original, run.original_header, run.files.update);
    mark_target(run, rewrite_stage::rewriting);
    const std::int64_t result_length = run.plan.data_end + OUTPUT_DIRECTORY_SIZE;
    const std::int64_t at = run.record.original_length > result_length ? run.record.original_length : result_length;
    // Only a record a later run could read within an archive's size is written.
    if (at + REWRITE_RECORD_SIZE <= MAX_FILE_SIZE) {
        append_rewrite_record(run.files.target, at, run.record);
    }
}

// The backup holds the target's own bytes: faults in it are reported under
// the target's name.
void back_up_and_apply(run_state& run, pending_file& backup)
{
    fill_backup(run, backup);
    backup.file.path = run.files.target_path.c_str();
    print_updating(run.files);
    mark_and_record(run, backup.file);
    rewrite_target(run, backup.file, run.plan.cut);
    close_file(backup.file);
}

// The target already is what the update would make of it: a second run of
// the same update keeps the backup of the original.
int finish_already_applied(run_state& run)
{
    run_files& files = run.files;
    set_failure_prelude(nullptr);
    print_text("%s already holds the update in %s: nothing was rewritten, no backup was made\n",
               files.target_path.c_str(), UPDATE_ARCHIVE_NAME);
    const std::string removal_failure = remove_applied_update(files);
    close_file(files.target);
    print_text("\n---------------------------------------\n");
    print_text("Thanks for using tarnwick!\n");
    if (!removal_failure.empty()) {
        refuse_removal(removal_failure);
    }
    return 0;
}

int preview_fresh_run(const run_state& run, bool already_applied)
{
    const run_files& files = run.files;
    print_dry_run(run);
    if (already_applied) {
        print_text("%s already holds the update in %s: a run would rewrite nothing and remove %s\n",
                   files.target_path.c_str(), UPDATE_ARCHIVE_NAME, UPDATE_ARCHIVE_NAME);
    } else {
        print_text("A run would back up %s to %s, then rewrite it:\n", files.target_path.c_str(),
                   files.backup_path.c_str());
        print_merge_preview(run.plan, archive_length(files.target), run.plan.cut);
    }
    return 0;
}

int run_fresh(run_state& run)
{
    run_files& files = run.files;
    refuse_backup_leading_to_update(files);
    open_update(files);
    plan_from(run, files.target);
    const bool already_applied = merge_already_done(run.plan, run.original_header, files.target, files.update);
    if (!already_applied) {
        refuse_unusable_backup_name(files);
    }
    if (run.dry_run) {
        return preview_fresh_run(run, already_applied);
    }
    if (already_applied) {
        return finish_already_applied(run);
    }
    print_text("%s", run.backing_up.c_str());
    set_failure_prelude(nullptr);
    pending_file backup{};
    reserve_backup(files, backup);
    back_up_and_apply(run, backup);
    return finish(run, true);
}

// A target cut short while it was rewritten is rewritten whole from its
// backup, which already holds the original, the only copy left.
int resume_rewrite(run_state& run)
{
    run_files& files = run.files;
    refuse_backup_leading_to_update(files);
    open_update(files);
    refuse_unusable_backup(files);
    checked_file original = open_locked_backup(files);
    original.path = files.target_path.c_str();
    plan_from(run, original);
    prove_backup_and_update(run, original);
    if (run.dry_run) {
        print_dry_run(run);
        print_text("A run would finish the interrupted update of %s, which was cut short while it was rewritten: "
                   "it would rewrite it whole from its backup %s:\n",
                   files.target_path.c_str(), files.backup_path.c_str());
        print_merge_preview(run.plan, archive_length(original), PAK_HEADER_SIZE);
        return 0;
    }
    print_original_saved(files, true);
    print_updating(files);
    rewrite_target(run, original, PAK_HEADER_SIZE);
    close_file(original);
    return finish(run, true);
}

int finish_complete(run_state& run)
{
    if (run.dry_run) {
        print_dry_run(run);
        print_text("A run would finish the interrupted update of %s: its members and directory are complete, only "
                   "its header is missing%s\n",
                   run.files.target_path.c_str(),
                   run.files.update.handle != NO_FILE ? "; update.pak, which it holds, would be removed" : "");
        return 0;
    }
    const bool backup_exists = path_exists(run.files.backup_path.c_str());
    print_original_saved(run.files, backup_exists);
    print_updating(run.files);
    if (run.files.update.handle != NO_FILE) {
        report_update_members(run.plan.update);
    }
    return finish(run, backup_exists);
}

// The finished rewrite is the original of the new update: it is backed up
// as any archive is, once its magic is back.
int finish_then_apply(run_state& run)
{
    run_files& files = run.files;
    if (!run.dry_run) {
        print_text("%s", run.backing_up.c_str());
    }
    run.original_header = run.final_header;
    plan_merge(run.plan, {archive_length(files.target), archive_length(files.update), files.target_path.c_str()},
               files.target_path.c_str());
    refuse_unusable_backup_name(files);
    if (run.dry_run) {
        print_dry_run(run);
        print_text("A run would finish the interrupted update of %s, whose members and directory are complete, "
                   "then back it up to %s and apply %s to it:\n",
                   files.target_path.c_str(), files.backup_path.c_str(), UPDATE_ARCHIVE_NAME);
        print_merge_preview(run.plan, archive_length(files.target), run.plan.cut);
        return 0;
    }
    pending_file backup{};
    reserve_backup(run.files, backup);
    mark_target(run, rewrite_stage::none);
    note_target_unchanged(run);
    print_text("The interrupted update of %s was finished first\n", run.files.target_path.c_str());
    back_up_and_apply(run, backup);
    return finish(run, true);
}

} // namespace

std::string guard_standard_output(const std::string& target_path)
{
    const std::string backup_path = backup_path_for(target_path);
    bool errors_are_unsafe = false;
    std::string taken;
    for (const std::string& archive : {target_path, backup_path, std::string(UPDATE_ARCHIVE_NAME)}) {
        errors_are_unsafe = errors_are_unsafe || output_is_file(stderr, archive.c_str());
        if (taken.empty() && output_is_file(stdout, archive.c_str())) {
            taken = archive;
        }
    }
    if (!taken.empty()) {
        divert_output_to_errors(errors_are_unsafe);
    } else if (errors_are_unsafe) {
        silence_errors();
    }
    return taken;
}

namespace {

// The run's state before anything is opened: names, the lines it may owe,
// and what a failure or a signal would leave.
std::unique_ptr<run_state> start_run(const std::string& target_path, run_mode mode)
{
    // Value-initialised, so unused entries and the bytes after each name are zero.
    auto run = std::make_unique<run_state>();
    run_files& files = run->files;
    files = {target_path, backup_path_for(target_path), {NO_FILE, nullptr}, {NO_FILE, UPDATE_ARCHIVE_NAME}, {}};
    files.target.path = files.target_path.c_str();
    run->progress = start_progress_line();
    run->backing_up = "Backing up update target " + target_path + "...\n";
    run->marked_note = target_path + " is half-written and not playable; the original is in " + files.backup_path +
                       "; running the same command again, once the cause is fixed, finishes the update";
    run->unchanged_note = target_path + " is as it was; running the same command again updates it";
    run->dry_run = mode == run_mode::dry_run;
    if (!run->dry_run) {
        note_target_unchanged(*run);
    }
    // A fresh run says first that it backs the target up, even when it
    // cannot start; a marked target is never backed up.
    set_failure_prelude(run->backing_up.c_str());
    return run;
}

} // namespace

int run_update(const std::string& target_path, const std::string& output_archive, run_mode mode)
{
    catch_interruptions();
    const std::unique_ptr<run_state> run = start_run(target_path, mode);
    if (!output_archive.empty()) {
        fatal_error("Cannot update %s: standard output is written into %s", target_path.c_str(),
                    output_archive.c_str());
    }
    (void)finish_interrupted_undo(target_path);
    open_target(run->files);
    switch (decide_start(*run)) {
    case start_point::fresh:
        return run_fresh(*run);
    case start_point::resume_rewrite:
        return resume_rewrite(*run);
    case start_point::finish_complete:
        return finish_complete(*run);
    case start_point::finish_then_apply:
        return finish_then_apply(*run);
    }
    return 1;
}
