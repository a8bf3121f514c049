// The carrying out: the plan's steps in one straight sequence. Each step
// that commits something is preceded by the check it needs: the backup
// takes its name, and the target its marks, only while the target and
// update.pak are the files the plan pinned.
#include <string>

#include "file_names.h"
#include "interruption.h"
#include "merge.h"
#include "open_file.h"
#include "pending_file.h"
#include "plan.h"
#include "refusals.h"
#include "run_lines.h"

namespace {

// After the target is marked, another file that takes its name leaves the
// rewritten file without one: nothing can finish it any more, and the
// original is in the backup.
void refuse_lost_name(const run_plan& plan, rewrite_stage stage)
{
    const run_files& files = plan.files;
    if (target_keeps_its_name(files)) {
        return;
    }
    note_lost_name(stage);
    refuse(request_lead::update, files.target_path.c_str(), "another file took its name during the run");
}

// Copies the target into the pending backup, reads the copy back, taking
// the original's fingerprint for the record as it does, and gives it the
// backup's name, while the target and update.pak are as pinned; the backup
// stays open for reading, pinned as its read-back found it.
void fill_backup(run_plan& plan, pending_file& backup, progress_line& progress)
{
    const checked_file& target = plan.files.target;
    const std::int32_t length = archive_length(target);
    const copy_span whole{&target, nullptr, 0, 0, length};
    begin_progress(progress, "Copying", target.path, backup.file.path, length);
    early_read_back early{};
    copy_span_to(backup.file, whole, &progress, &early);
    copies_read_back found{};
    flush_pending_copies(backup, &whole, 1, progress, &found, &early);
    plan.record.whole_known = found.fingerprinted;
    plan.record.original_whole = found.first_span;
    plan.files.backup_pin = found.state;
    end_progress(progress);
    refuse_changed_target(plan.files);
    refuse_changed_update(plan.files);
    commit_pending_file(backup);
    refuse_backup_changed_before_mark(plan.files);
}

// Marked before the first change, so that no later run takes a half-written
// target for an archive and copies it over its backup; then the record of
// what it is rewritten from, past every byte the rewrite writes.
void mark_and_record(const run_plan& plan)
{
    refuse_changed_target(plan.files);
    write_stage(plan.files.target, rewrite_stage::rewriting, rewrite_stage::none);
    std::int64_t at = 0;
    if (record_place(plan.record.original_length, plan.merge.data_end + OUTPUT_DIRECTORY_SIZE, at)) {
        append_rewrite_record(plan.files.target, at, plan.record);
    }
}

// The read-back compared the target with update.pak as it was then. Where
// its status moved since it was pinned, its bytes matching the pin prove
// nothing of what was copied: the copies are compared with it, and its
// status must hold across both reads. Unprovable still: a change within
// one tick of its timestamps that keeps its size.
void prove_update_copied(run_plan& plan)
{
    run_files& files = plan.files;
    const file_state before = state_of(files.update);
    if (same_state(before, files.update_pin)) {
        return;
    }
    refuse_changed_update(files);
    if (!update_members_in_place(plan.merge, files.target, files.update) ||
        !same_state(state_of(files.update), before)) {
        refuse(files.lead, files.target_path.c_str(), "%s changed during the run", UPDATE_ARCHIVE_NAME);
    }
    files.update_pin = before;
}

// Rewrites the target, which bears the rewrite mark, from `original`, the
// pinned backup; the bytes before the plan's start are already the merged
// archive's. Its sources are proven before the seal, while the record
// stands; after it, a changed backup only changes what the report says.
void rewrite_target(run_plan& plan, const checked_file& original, progress_line& progress)
{
    write_merge(plan.merge, original, plan.files.update, plan.files.target, plan.rewrite_from, progress,
                report_member);
    prove_update_copied(plan);
    if (!backup_as_pinned(plan.files)) {
        refuse_changed_backup(plan.files.lead, plan.files.target_path, plan.files.backup_path);
    }
    seal_merge(plan.merge, plan.files.target);
}

// Removes update.pak, but only the file this run applied, with the bytes it
// applied; returns why it could not, or "", and sets `fate` to what became
// of it, as a note on a later failure says it.
std::string remove_applied_update(const run_files& files, std::string& fate)
{
    fate = "update.pak stays";
    if (!path_exists(UPDATE_ARCHIVE_NAME)) {
        print_update_left(update_left::removed_elsewhere);
        fate = "update.pak was already gone";
        return "";
    }
    if (!path_names(UPDATE_ARCHIVE_NAME, files.update)) {
        print_update_left(update_left::replaced);
        return "";
    }
    if (!update_as_pinned(files)) {
        print_update_left(update_left::changed);
        return "";
    }
    begin_commit_step();
    std::string failure = remove_file(UPDATE_ARCHIVE_NAME);
    if (failure.empty()) {
        flush_folder_of(UPDATE_ARCHIVE_NAME, files.update);
        fate = "update.pak was removed";
    } else {
        fate = "update.pak could not be removed (" + failure + ")";
    }
    end_commit_step();
    return failure;
}

// After the magic's flush the update is in, whatever the close says.
void close_updated_target(run_files& files, const std::string& update_fate)
{
    std::string note = files.target_path + " is updated";
    if (!update_fate.empty()) {
        note += ", and " + update_fate;
    }
    set_failure_detail(note + "; only closing it failed");
    close_file(files.target);
    set_failure_detail("");
}

[[noreturn]] void refuse_removal(const std::string& reason)
{
    print_note("cannot remove %s: %s", UPDATE_ARCHIVE_NAME, reason.c_str());
    fatal_error("Failed to remove %s! Remove by hand.\n", UPDATE_ARCHIVE_NAME);
}

// Members and directory are on disk: the target is marked complete, so that
// a later run never takes it for a new original, update.pak goes, and the
// magic goes on last. A backup this run holds stays locked until the report
// that names it is printed: a run on an archive sharing its name could
// replace it otherwise. One the run pinned as its source is vouched for
// only where it is still as pinned.
int finish(run_plan& plan, backup_standing backup, checked_file& held_backup, bool backup_pinned)
{
    run_files& files = plan.files;
    std::string removal_failure;
    std::string update_fate;
    if (files.update.handle != NO_FILE) {
        // A run that found the target complete writes the mark again: the
        // run that wrote it may have been killed before its flush.
        const rewrite_stage found = plan.start == start_point::finish_complete ? rewrite_stage::data_complete
                                                                                : rewrite_stage::rewriting;
        refuse_lost_name(plan, found);
        refuse_changed_update(files);
        write_stage(files.target, rewrite_stage::data_complete, found);
        // update.pak is the only other copy of what the target now holds:
        // it stays while the target has no name.
        refuse_lost_name(plan, rewrite_stage::data_complete);
        removal_failure = remove_applied_update(files, update_fate);
    }
    refuse_lost_name(plan, rewrite_stage::data_complete);
    write_stage(files.target, rewrite_stage::none, rewrite_stage::data_complete);
    close_updated_target(files, update_fate);
    if (backup_pinned && !backup_as_pinned(files)) {
        backup = backup_standing::changed;
    }
    print_report(files, backup);
    if (held_backup.handle != NO_FILE) {
        close_file(held_backup);
    }
    if (!removal_failure.empty()) {
        refuse_removal(removal_failure);
    }
    return 0;
}

// The target already is what the update would make of it: a second run of
// the same update keeps the backup of the original.
int finish_already_applied(run_plan& plan)
{
    run_files& files = plan.files;
    set_failure_prelude(nullptr);
    print_already_applied(files);
    std::string update_fate;
    const std::string removal_failure = remove_applied_update(files, update_fate);
    close_file(files.target);
    print_thanks();
    if (!removal_failure.empty()) {
        refuse_removal(removal_failure);
    }
    return 0;
}

// The backup holds the target's own bytes: faults in it are reported under
// the target's name.
int back_up_and_apply(run_plan& plan, pending_file& backup, progress_line& progress)
{
    fill_backup(plan, backup, progress);
    backup.file.path = plan.files.target_path.c_str();
    print_updating(plan.files);
    mark_and_record(plan);
    rewrite_target(plan, backup.file, progress);
    return finish(plan, backup_standing::original, backup.file, true);
}

} // namespace

int carry_out(run_plan& plan, pending_file& backup)
{
    run_files& files = plan.files;
    progress_line progress = start_progress_line();
    switch (plan.start) {
    case start_point::already_applied:
        return finish_already_applied(plan);
    case start_point::fresh:
        return back_up_and_apply(plan, backup, progress);
    case start_point::finish_then_apply:
        // The finished rewrite is the original of the new update.
        write_stage(files.target, rewrite_stage::none, rewrite_stage::data_complete);
        repin_target(files);
        note_journal(journal_note::as_it_was);
        print_finished_first(files);
        return back_up_and_apply(plan, backup, progress);
    case start_point::unmark_then_apply:
        unmark_target(files.target);
        repin_target(files);
        print_unmarked_first(files);
        return back_up_and_apply(plan, backup, progress);
    case start_point::resume_rewrite:
        print_original_saved(files, backup_standing::original);
        print_updating(files);
        rewrite_target(plan, files.backup, progress);
        return finish(plan, backup_standing::original, files.backup, true);
    case start_point::finish_complete:
        print_original_saved(files, plan.backup);
        print_updating(files);
        if (files.update.handle != NO_FILE) {
            report_update_members(plan.merge.update);
        }
        return finish(plan, plan.backup, files.backup, false);
    }
    return 1;
}
