// Going back: the backup takes the archive's place and the archive the
// backup's, so that nothing is lost at any instant and a second undo redoes
// the update. Where the system cannot exchange two names in one step, three
// renames through a third name do it; an undo they leave half done is
// finished by the next undo, run or dry run of the archive. Every refusal
// comes before the first change.
#include <memory>
#include <string>

#include "backup.h"
#include "exchange.h"
#include "file_locks.h"
#include "file_names.h"
#include "interruption.h"
#include "merge.h"
#include "open_file.h"
#include "pak_format.h"
#include "pending_file.h"
#include "refusals.h"
#include "run.h"
#include "run_files.h"
#include "run_lines.h"

namespace {

struct undo_state {
    run_files files;
    pending_file claim;  // the backup's temporary name, held from before the backup opens to the last flush
    checked_file backup;
    pak_header backup_header;
    pak_header final_header;  // what the target's header holds under a mark
    pak_directory target_directory;
    pak_directory backup_directory;
};

[[noreturn]] void refuse_unrelated_backup(const run_files& files)
{
    refuse(request_lead::undo, files.target_path.c_str(), "its backup %s is not the archive it was updated from",
           files.backup_path.c_str());
}

// The name every run makes a new backup under, from its copy to its
// commit: held, no run on another archive sharing the backup replaces it
// or takes its name while the undo renames. A killed run's leftover is
// removed, as a run removes it.
void claim_backup_name(pending_file& claim, const std::string& backup_path, const std::string& cannot)
{
    const std::string temp_path = backup_temp_path_for(backup_path);
    switch (reserve_pending_file(claim, temp_path, temp_path, leftover::remove)) {
    case reservation::made:
        return;
    case reservation::held:
        fatal_error("%s: %s", cannot.c_str(), in_use_by_another_run("its backup " + backup_path).c_str());
    case reservation::unremovable:
        fatal_error("%s: %s, left by an earlier run, cannot be removed: %s", cannot.c_str(), temp_path.c_str(),
                    claim.failure.c_str());
    }
}

// The exchange and the renames go by names: under the claim and the locks
// no run renames either file, but another program still may.
void refuse_renamed(const checked_file& file, const std::string& path, const std::string& cannot)
{
    if (!path_names(path.c_str(), file)) {
        fatal_error("%s: another file took the name %s during the undo; nothing was changed", cannot.c_str(),
                    path.c_str());
    }
}

void refuse_renamed_files(const undo_state& undo)
{
    const std::string cannot = refusal_lead(request_lead::undo, undo.files.target_path);
    refuse_renamed(undo.files.target, undo.files.target_path, cannot);
    refuse_renamed(undo.backup, undo.files.backup_path, cannot);
}

void open_backup(undo_state& undo)
{
    const run_files& files = undo.files;
    if (!path_exists(files.backup_path.c_str())) {
        refuse(request_lead::undo, files.target_path.c_str(), "its backup %s is missing",
               files.backup_path.c_str());
    }
    if (path_names(files.backup_path.c_str(), files.target)) {
        refuse(request_lead::undo, files.target_path.c_str(), "its backup %s is the same file",
               files.backup_path.c_str());
    }
    // Opened for writing too: the file becomes the archive, which runs open so,
    // and on Windows only a handle that may write flushes its rename.
    undo.backup = open_locked(files.backup_path.c_str(), open_for::update,
                              refusal_lead(request_lead::undo, files.target_path), files.backup_path);
    if (const char* fault = original_fault(undo.backup)) {
        refuse(request_lead::undo, files.target_path.c_str(), "its backup %s %s",
               files.backup_path.c_str(), fault);
    }
    undo.backup_header = read_archive_header(undo.backup);
    read_directory_at(undo.backup, undo.backup_header, MAX_PAK_ENTRIES, undo.backup_directory);
}

void prove_original(const undo_state& undo)
{
    // The rerun's proof, without update.pak: a target the rerun could finish
    // from this backup gets it back.
    const rewrite_proof proof =
        prove_original_of_rewrite(undo.files.target, undo.final_header, undo.backup, undo.backup_header);
    if (proof == rewrite_proof::changed) {
        refuse_changed_backup(request_lead::undo, undo.files.target_path, undo.files.backup_path);
    }
    if (proof == rewrite_proof::unproven) {
        refuse_foreign_backup(request_lead::undo, undo.files.target_path, undo.files.backup_path);
    }
}

// The half-written file is no archive: the original simply takes its name.
int restore_original(undo_state& undo)
{
    run_files& files = undo.files;
    prove_original(undo);
    refuse_renamed_files(undo);
    // Windows replaces a file only when no handle is open on it. The backup
    // stays open and locked, so no other run takes it meanwhile.
    close_file(files.target);
    begin_commit_step();
    const std::string failure = move_over(files.backup_path.c_str(), files.target_path.c_str());
    if (failure.empty()) {
        // Said also when the folder's flush fails: an undo run again would find no backup.
        note_journal(journal_note::restored);
    }
    end_commit_step();
    if (!failure.empty()) {
        refuse(request_lead::undo, files.target_path.c_str(), "renaming %s over it failed: %s; nothing was changed",
               files.backup_path.c_str(), failure.c_str());
    }
    print_restored(files);
    flush_renamed(undo.backup, files.target_path);
    note_journal(journal_note::none);
    abandon_pending_file(undo.claim);
    return 0;
}

// The undo's tie between two archives: one is a merge of the other with some update.
bool tied(const pak_directory& a, const pak_directory& b)
{
    return merged_from(a, b) || merged_from(b, a);
}

// Read under the mark of a target complete but for its magic, so that an
// unrelated backup is refused before the magic goes on.
void refuse_untied_archives(undo_state& undo, rewrite_stage stage)
{
    if (stage == rewrite_stage::data_complete) {
        read_directory_at(undo.files.target, undo.final_header, MAX_PAK_ENTRIES, undo.target_directory);
    } else {
        read_pak_directory(undo.files.target, MAX_PAK_ENTRIES, undo.target_directory);
    }
    if (!tied(undo.target_directory, undo.backup_directory)) {
        refuse_unrelated_backup(undo.files);
    }
}

// Exchanges the archive and its backup, or finishes the renames that reached
// `done`; `cannot` leads what a failure says.
void exchange_with_backup(const exchange_names& names, exchange_step done, const checked_file& moved,
                          const checked_file& staying, const std::string& cannot)
{
    note_journal(done == exchange_step::none ? journal_note::none : journal_note::undo_half_done);
    const exchange_failure failure = exchange_files(names, done, moved, staying, undo_exchange_notes());
    if (failure.put_back) {
        note_journal(journal_note::none);
        fatal_error("%s: %s failed: %s; %s and %s are as they were before the undo", cannot.c_str(),
                    failure.step.c_str(), failure.reason.c_str(), names.a.c_str(), names.b.c_str());
    }
    if (!failure.step.empty()) {
        fatal_error("%s: %s failed: %s, and so did putting the names back; the undo is half done: "
                    "running the same command again finishes it",
                    cannot.c_str(), failure.step.c_str(), failure.reason.c_str());
    }
}

int undo_exchange(undo_state& undo)
{
    const run_files& files = undo.files;
    refuse_renamed_files(undo);
    // The exchange's last step leaves the note that it is done, also for the
    // folder's flush, which may fail: an undo run again would exchange them back.
    exchange_with_backup(undo_names_for(files.target_path, files.backup_path), exchange_step::none,
                         files.target, undo.backup, refusal_lead(request_lead::undo, files.target_path));
    print_exchanged(files);
    flush_renamed(files.target, files.backup_path);
    note_journal(journal_note::none);
    abandon_pending_file(undo.claim);
    return 0;
}

struct half_done_undo {
    pak_directory moved;
    pak_directory staying;
};

// The archive at the third name and the one that stays must be the two
// files of one undo: one archive, and the other a merge of it.
void prove_half_done_undo(const checked_file& moved, const checked_file& staying, const std::string& cannot)
{
    for (const checked_file* file : {&moved, &staying}) {
        if (const char* fault = original_fault(*file)) {
            fatal_error("%s: %s %s; nothing was changed", cannot.c_str(), file->path, fault);
        }
    }
    const auto directories = std::make_unique<half_done_undo>();
    read_pak_directory(moved, MAX_PAK_ENTRIES, directories->moved);
    read_pak_directory(staying, MAX_PAK_ENTRIES, directories->staying);
    if (!tied(directories->moved, directories->staying)) {
        fatal_error("%s: %s is not an update of %s, nor %s of it; nothing was changed", cannot.c_str(), moved.path,
                    staying.path, staying.path);
    }
}

} // namespace

bool finish_interrupted_undo(const std::string& target_path)
{
    const std::string backup_path = backup_path_for(target_path);
    name_journal(target_path, backup_path);
    const exchange_names names = undo_names_for(target_path, backup_path);
    const exchange_step done = exchange_step_of(names);
    if (done == exchange_step::none) {
        return false;
    }
    const std::string cannot = refusal_lead(request_lead::finish_undo, target_path);
    if (done == exchange_step::unclear) {
        if (path_exists(target_path.c_str())) {
            fatal_error("%s: %s, %s and %s all exist, so which of them holds what cannot be told; nothing was "
                        "changed. Keep the archive and its backup under their names and move %s away",
                        cannot.c_str(), names.third.c_str(), names.a.c_str(), names.b.c_str(), names.third.c_str());
        }
        fatal_error("%s: it left %s, but neither %s nor %s exists; nothing was changed", cannot.c_str(),
                    names.third.c_str(), names.a.c_str(), names.b.c_str());
    }
    const std::string& staying_path = done == exchange_step::a_moved ? names.b : names.a;
    checked_file moved = open_locked(names.third.c_str(), open_for::update, cannot, names.third);
    checked_file staying = open_locked(staying_path.c_str(), open_for::update, cannot, staying_path);
    pending_file claim{};
    claim_backup_name(claim, backup_path, cannot);
    // A run on another archive sharing the backup may have replaced it before the claim.
    refuse_renamed(moved, names.third, cannot);
    refuse_renamed(staying, staying_path, cannot);
    prove_half_done_undo(moved, staying, cannot);
    exchange_with_backup(names, done, moved, staying, cannot);
    print_finished_undo_first(target_path, names.b);
    flush_renamed(moved, names.b);
    note_journal(journal_note::none);
    // Given up before a run that goes on claims the same name for its own
    // backup; it takes its locks anew, on the files' new names.
    abandon_pending_file(claim);
    close_file(moved);
    close_file(staying);
    return true;
}

int undo_update(const std::string& target_path, const std::string& output_archive)
{
    catch_interruptions();
    auto undo = std::make_unique<undo_state>();
    run_files& files = undo->files;
    files = files_for(request_lead::undo, target_path, backup_path_for(target_path));
    files.target.path = files.target_path.c_str();
    name_journal(files.target_path, files.backup_path);
    if (!output_archive.empty()) {
        refuse(request_lead::undo, target_path.c_str(), "standard output is written into %s",
               output_archive.c_str());
    }
    if (finish_interrupted_undo(target_path)) {
        return 0;
    }
    claim_backup_name(undo->claim, files.backup_path, refusal_lead(request_lead::undo, target_path));
    open_target(files);
    open_backup(*undo);
    print_undoing(target_path);
    const rewrite_stage stage = read_rewrite_stage(files.target, undo->final_header);
    if (stage == rewrite_stage::rewriting) {
        return restore_original(*undo);
    }
    if (stage == rewrite_stage::data_complete &&
        !mark_fits_length(undo->final_header, archive_length(files.target))) {
        refuse(request_lead::undo, target_path.c_str(), "its mark does not match its length");
    }
    refuse_untied_archives(*undo, stage);
    if (stage == rewrite_stage::data_complete) {
        // Complete but for its magic: it becomes the archive it already is.
        refuse_renamed_files(*undo);
        write_stage(files.target, rewrite_stage::none, rewrite_stage::data_complete);
    }
    return undo_exchange(*undo);
}
