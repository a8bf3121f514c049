// The plan: one decision from what is on disk, and every input pinned.
#include "plan.h"

#include "file_locks.h"
#include "file_names.h"
#include "open_file.h"
#include "refusals.h"
#include "run_lines.h"

namespace {

void note_target_marked(const run_plan& plan)
{
    if (!plan.dry_run) {
        note_journal(journal_note::marked);
    }
}

void read_update_directory(run_plan& plan)
{
    read_pak_directory(plan.files.update, MAX_UPDATE_ENTRIES, plan.merge.update);
    warn_of_repeated_names(plan.merge.update);
}

// The record a rewrite leaves: the original `original` and update.pak's
// bytes as they were pinned.
void pin_record(run_plan& plan, const checked_file& original)
{
    plan.record = original_record(original, plan.original_header);
    plan.record.update_length = plan.files.update_length;
    plan.record.update = plan.files.update_fingerprint;
}

// Reads the directories of `original`, an archive, and update.pak, and
// plans the merge of the two.
void plan_from(run_plan& plan, const checked_file& original)
{
    plan.original_header = read_archive_header(original);
    plan.original_length = archive_length(original);
    read_directory_at(original, plan.original_header, MAX_PAK_ENTRIES, plan.merge.original);
    read_update_directory(plan);
    plan_merge(plan.merge, {plan.original_length, plan.files.update_length, original.path, UPDATE_ARCHIVE_NAME},
               plan.files.target_path.c_str());
    pin_record(plan, original);
    plan.rewrite_from = plan.merge.cut;
}

// Every rewrite that changes the original's bytes leaves a record, so that
// a run stopped in it is finished only from that original, with that update.
bool record_fits(const run_plan& plan)
{
    std::int64_t at = 0;
    return record_place(plan.original_length, plan.merge.data_end + OUTPUT_DIRECTORY_SIZE, at);
}

[[noreturn]] void refuse_rewrite_without_record(const run_plan& plan)
{
    refuse(request_lead::update, plan.files.target_path.c_str(),
           "the rewrite would end within %d bytes of the largest size a pak file can have, which leaves no room "
           "for the record that lets an interrupted update be finished",
           REWRITE_RECORD_SIZE);
}

void plan_fresh(run_plan& plan)
{
    run_files& files = plan.files;
    refuse_backup_leading_to_update(files.target_path, files.backup_path);
    open_update(files);
    plan_from(plan, files.target);
    const bool applied = merge_already_done(plan.merge, plan.original_header, files.target, files.update);
    const stage_verdict verdict = decide_fresh({applied, applied || record_fits(plan)});
    if (verdict.next == stage_next::refuse) {
        refuse_rewrite_without_record(plan);
    }
    plan.start = verdict.start;
    if (plan.start == start_point::fresh) {
        refuse_unusable_backup_name(files.target_path, files.backup_path, files.target);
    }
}

[[noreturn]] void refuse_unknown_update(const run_files& files)
{
    refuse(request_lead::finish, files.target_path.c_str(),
           "it was rewritten whole with an update that %s no longer holds; put that update back as %s and run again, "
           "or get the original back with tarnwick --undo %s",
           UPDATE_ARCHIVE_NAME, UPDATE_ARCHIVE_NAME, files.target_path.c_str());
}

// True when the record the target holds names update.pak as its update.
bool recorded_update_is_there(const run_plan& plan)
{
    rewrite_record recorded{};
    return !read_rewrite_record(plan.files.target, recorded) || same_update(recorded, plan.record);
}

// A run stopped after its mark and before anything else changed: the mark
// goes, and the run goes on as a fresh one with the update.pak there now.
void plan_unmarked(run_plan& plan)
{
    run_files& files = plan.files;
    plan.start = start_point::unmark_then_apply;
    plan.rewrite_from = plan.merge.cut;
    // Its lock would keep the new backup from replacing it.
    close_file(files.backup);
    if (!record_fits(plan)) {
        refuse_rewrite_without_record(plan);
    }
    refuse_unusable_backup_name(files.target_path, files.backup_path, files.target);
}

[[noreturn]] void refuse_stage(const run_plan& plan, stage_refusal why)
{
    const run_files& files = plan.files;
    switch (why) {
    case stage_refusal::changed_backup:
        refuse_changed_backup(request_lead::finish, files.target_path, files.backup_path);
    case stage_refusal::unknown_update:
        refuse_unknown_update(files);
    case stage_refusal::other_update:
        refuse(request_lead::finish, files.target_path.c_str(),
               "%s is not the update it was applying, which is no longer there; the original is in %s. Put the "
               "earlier %s back and run again",
               UPDATE_ARCHIVE_NAME, files.backup_path.c_str(), UPDATE_ARCHIVE_NAME);
    case stage_refusal::mark_length:
        refuse(request_lead::finish, files.target_path.c_str(), "its mark does not match its length");
    case stage_refusal::no_record_room:
        refuse_rewrite_without_record(plan);
    case stage_refusal::foreign_backup:
    case stage_refusal::none:
        break;
    }
    refuse_foreign_backup(request_lead::finish, files.target_path, files.backup_path);
}

// The backup a cut-short target is rewritten from, opened, pinned and
// proven: its faults are refused as it is read.
rewrite_proof read_resume_backup(run_plan& plan)
{
    run_files& files = plan.files;
    refuse_backup_leading_to_update(files.target_path, files.backup_path);
    if (const char* fault = backup_fault(files.backup_path)) {
        refuse(request_lead::finish, files.target_path.c_str(), "its backup %s %s", files.backup_path.c_str(), fault);
    }
    files.backup = open_locked_backup(request_lead::update, files.target_path, files.backup_path);
    // From here on it is the rewrite's source, pinned as it was proven.
    pin_backup(files, files.backup);
    // The backup holds the target's own bytes: faults in it are the target's.
    files.backup.path = files.target_path.c_str();
    const pak_header backup_header = read_archive_header(files.backup);
    return prove_original_of_rewrite(files.target, plan.final_header, files.backup, backup_header);
}

// Makes the read decide_resume asks for.
void read_for_resume(run_plan& plan, stage_next read, resume_facts& facts)
{
    run_files& files = plan.files;
    switch (read) {
    case stage_next::look_for_update:
        facts.update_looked_for = true;
        facts.update_present = path_exists(UPDATE_ARCHIVE_NAME);
        return;
    case stage_next::read_update:
        open_update(files);
        plan_from(plan, files.backup);
        plan.rewrite_from = PAK_HEADER_SIZE;
        facts.update_read = true;
        return;
    case stage_next::check_update:
        facts.update_checked = true;
        facts.same_update = facts.proof == rewrite_proof::recorded
                                ? recorded_update_is_there(plan)
                                : merge_written(plan.merge, plan.final_header, files.target, files.update);
        return;
    case stage_next::start:
    case stage_next::refuse:
        return;
    }
}

// A target cut short while it was rewritten is rewritten whole from its
// backup, which already holds the original, the only copy left, with the
// update.pak the backup and the record prove it was rewritten with.
void plan_resume(run_plan& plan)
{
    resume_facts facts{read_resume_backup(plan), false, false, false, false, false};
    for (stage_verdict verdict = decide_resume(facts);; verdict = decide_resume(facts)) {
        if (verdict.next == stage_next::refuse) {
            refuse_stage(plan, verdict.refusal);
        }
        if (verdict.next == stage_next::start) {
            plan.start = verdict.start;
            if (verdict.start == start_point::unmark_then_apply) {
                plan_unmarked(plan);
            }
            return;
        }
        read_for_resume(plan, verdict.next, facts);
    }
}

// Makes the read decide_finish asks for.
void read_for_finish(run_plan& plan, stage_next read, finish_facts& facts)
{
    run_files& files = plan.files;
    if (read == stage_next::look_for_update) {
        read_directory_at(files.target, plan.final_header, MAX_PAK_ENTRIES, plan.merge.original);
        facts.update_looked_for = true;
        facts.update_present = path_exists(UPDATE_ARCHIVE_NAME);
    } else if (read == stage_next::check_update) {
        refuse_backup_leading_to_update(files.target_path, files.backup_path);
        open_update(files);
        read_update_directory(plan);
        facts.update_checked = true;
        facts.update_applied =
            update_already_applied(plan.merge.original, files.target, plan.merge.update, files.update);
    }
}

// A complete target that update.pak would apply again is finished, then
// backed up and updated as any archive is.
void plan_finish_then_apply(run_plan& plan)
{
    run_files& files = plan.files;
    plan.original_header = plan.final_header;
    plan.original_length = archive_length(files.target);
    plan_merge(plan.merge,
               {plan.original_length, files.update_length, files.target_path.c_str(), UPDATE_ARCHIVE_NAME},
               files.target_path.c_str());
    pin_record(plan, files.target);
    plan.rewrite_from = plan.merge.cut;
    if (!record_fits(plan)) {
        refuse_rewrite_without_record(plan);
    }
    refuse_unusable_backup_name(files.target_path, files.backup_path, files.target);
}

// A complete target with an update.pak is finished as it is when update.pak
// is the update it already holds, and is otherwise finished first, then
// backed up and updated again as any archive is.
void plan_finish(run_plan& plan)
{
    run_files& files = plan.files;
    finish_facts facts{mark_fits_length(plan.final_header, archive_length(files.target)), false, false, false, false};
    // A mark that fits the length stands on an archive whose every byte is written.
    if (facts.mark_fits_length && !plan.dry_run) {
        note_journal(journal_note::complete);
    }
    for (stage_verdict verdict = decide_finish(facts);; verdict = decide_finish(facts)) {
        if (verdict.next == stage_next::refuse) {
            refuse_stage(plan, verdict.refusal);
        }
        if (verdict.next == stage_next::start) {
            plan.start = verdict.start;
            break;
        }
        read_for_finish(plan, verdict.next, facts);
    }
    if (plan.start == start_point::finish_complete) {
        plan.backup = standing_of_backup(plan.merge.original, files.target_path, files.backup_path, files.backup);
        return;
    }
    plan_finish_then_apply(plan);
}

} // namespace

void refuse_output_into_archive(const std::string& target_path, const std::string& output_archive)
{
    if (output_archive.empty()) {
        return;
    }
    // Said first even by a run that cannot start.
    const std::string backing_up = backing_up_line(target_path);
    set_failure_prelude(backing_up.c_str());
    refuse(request_lead::update, target_path.c_str(), "standard output is written into %s", output_archive.c_str());
}

void refuse_held_target(run_plan& plan, const std::string& target_path)
{
    const file_holder holder = holder_of(target_path.c_str());
    plan.holders_unseen = holder.unseen;
    if (holder.kind == holder_kind::nobody) {
        return;
    }
    run_files files = files_for(request_lead::update, target_path, backup_path_for(target_path));
    files.target.path = files.target_path.c_str();
    plan.backing_up = backing_up_line(target_path);
    set_failure_prelude(plan.backing_up.c_str());
    // Windows cannot tell whose handle is open: another run's shows by its lock.
    open_target(files);
    if (holder.kind == holder_kind::tarnwick) {
        refuse(request_lead::update, target_path.c_str(), "%s", in_use_by_another_run("").c_str());
    }
    pak_header final_header{};
    const bool marked = read_rewrite_stage(files.target, final_header) != rewrite_stage::none;
    if (marked) {
        set_failure_prelude(nullptr);
    }
    const std::string named = holder.program.empty() ? "" : " (" + shown_text(holder.program.c_str()) + ")";
    refuse(marked ? request_lead::finish : request_lead::update, target_path.c_str(),
           "another program%s has it open (is the game running?); close it and run again", named.c_str());
}

void make_plan(run_plan& plan, const std::string& target_path, const std::string& output_archive, bool dry_run)
{
    run_files& files = plan.files;
    files = files_for(request_lead::update, target_path, backup_path_for(target_path));
    files.target.path = files.target_path.c_str();
    plan.dry_run = dry_run;
    plan.backing_up = backing_up_line(target_path);
    name_journal(target_path, files.backup_path);
    if (!dry_run) {
        note_journal(journal_note::as_it_was);
    }
    // A fresh run says first that it backs the target up, even when it
    // cannot start; a marked target is never backed up.
    set_failure_prelude(plan.backing_up.c_str());
    refuse_output_into_archive(target_path, output_archive);
    open_target(files);
    switch (read_rewrite_stage(files.target, plan.final_header)) {
    case rewrite_stage::none:
        plan_fresh(plan);
        return;
    case rewrite_stage::rewriting:
        set_failure_prelude(nullptr);
        note_target_marked(plan);
        plan_resume(plan);
        return;
    case rewrite_stage::data_complete:
        set_failure_prelude(nullptr);
        note_target_marked(plan);
        plan_finish(plan);
        return;
    }
}

bool backs_up(const run_plan& plan)
{
    return plan.start == start_point::fresh || plan.start == start_point::finish_then_apply ||
           plan.start == start_point::unmark_then_apply;
}

void print_plan(const run_plan& plan)
{
    print_dry_run_line(plan.files.target_path, plan.finished_undo);
    if (print_would_start(plan.start, plan.files)) {
        print_merge_preview(plan.merge, plan.original_length, plan.rewrite_from);
    }
    if (plan.holders_unseen) {
        print_holders_unseen(plan.files.target_path);
    }
}
