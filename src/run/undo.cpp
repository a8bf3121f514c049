// Going back: the backup takes the archive's place and the archive the
// backup's, so that nothing is lost at any instant and a second undo redoes
// the update. Where the system cannot exchange two names in one step, three
// renames through a third name do it; an undo they leave half done is
// finished by the next undo, run or dry run of the archive.
#include <memory>
#include <string>

#include "backup.h"
#include "checked_io.h"
#include "interrupt.h"
#include "pak_format.h"
#include "run.h"
#include "run_files.h"

namespace {

struct undo_state {
    run_files files;
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

// Opened for writing too: the file becomes the archive, which runs open so,
// and on Windows only a handle that may write flushes its rename.
checked_file open_locked(const std::string& path, const std::string& cannot)
{
    checked_file file = open_for_update(path.c_str());
    if (lock_file(file) == file_lock::busy) {
        fatal_error("%s: %s is in use by another run", cannot.c_str(), path.c_str());
    }
    return file;
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
    undo.backup = open_locked(files.backup_path, "Cannot undo the update of " + files.target_path);
    if (const char* fault = original_fault(undo.backup)) {
        refuse(request_lead::undo, files.target_path.c_str(), "its backup %s %s",
               files.backup_path.c_str(), fault);
    }
    undo.backup_header = read_archive_header(undo.backup);
    undo.backup_directory.capacity = MAX_PAK_ENTRIES;
    read_directory_at(undo.backup, undo.backup_header, undo.backup_directory);
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
    // Windows replaces a file only when no handle is open on it. The backup
    // stays open and locked, so no other run takes it meanwhile.
    close_file(files.target);
    const std::string failure = move_over(files.backup_path.c_str(), files.target_path.c_str());
    if (!failure.empty()) {
        refuse(request_lead::undo, files.target_path.c_str(), "renaming %s over it failed: %s; nothing was changed",
               files.backup_path.c_str(), failure.c_str());
    }
    print_text("%s was half-written by an interrupted update: the original from %s is back in its place, and the "
               "half-written file was dropped\n",
               files.target_path.c_str(), files.backup_path.c_str());
    // Said before the folder's flush, which may fail: an undo run again would find no backup.
    note_journal(journal_note::restored);
    flush_renamed(undo.backup, files.target_path);
    note_journal(journal_note::none);
    return 0;
}

// The undo's tie between two archives: one is a merge of the other with some update.
bool tied(const pak_directory& a, const pak_directory& b)
{
    return merged_from(a, b) || merged_from(b, a);
}

void refuse_untied_archives(undo_state& undo)
{
    undo.target_directory.capacity = MAX_PAK_ENTRIES;
    read_pak_directory(undo.files.target, undo.target_directory);
    if (!tied(undo.target_directory, undo.backup_directory)) {
        refuse_unrelated_backup(undo.files);
    }
}

// Exchanges the archive and its backup, or finishes the renames that reached
// `done`; `doing` is what a failure says could not be done.
void exchange_with_backup(const exchange_names& names, exchange_step done, const checked_file& moved,
                          const checked_file& staying, const std::string& doing)
{
    note_journal(journal_note::undo_half_done);
    const exchange_failure failure = exchange_files(names, done, moved, staying);
    if (failure.put_back) {
        note_journal(journal_note::none);
        fatal_error("Cannot %s: %s failed: %s; %s and %s are as they were before the undo", doing.c_str(),
                    failure.step.c_str(), failure.reason.c_str(), names.a.c_str(), names.b.c_str());
    }
    if (!failure.step.empty()) {
        fatal_error("Cannot %s: %s failed: %s, and so did putting the names back; the undo is half done: "
                    "running the same command again finishes it",
                    doing.c_str(), failure.step.c_str(), failure.reason.c_str());
    }
}

// Through the renames the backup's temporary name is held, so that no run
// of another archive sharing the backup makes one while the backup's own
// name is free.
exchange_names undo_names(const std::string& target_path, const std::string& backup_path)
{
    return exchange_names_for(target_path, backup_path, backup_temp_path_for(backup_path));
}

int undo_exchange(undo_state& undo)
{
    const run_files& files = undo.files;
    refuse_untied_archives(undo);
    exchange_with_backup(undo_names(files.target_path, files.backup_path), exchange_step::none,
                         files.target, undo.backup, "undo the update of " + files.target_path);
    print_text("Exchanged %s and %s: each now holds what the other held; --undo again exchanges them back\n",
               files.target_path.c_str(), files.backup_path.c_str());
    // Said before the folder's flush, which may fail: an undo run again would exchange them back.
    note_journal(journal_note::exchanged);
    flush_renamed(files.target, files.backup_path);
    note_journal(journal_note::none);
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
    directories->moved.capacity = MAX_PAK_ENTRIES;
    directories->staying.capacity = MAX_PAK_ENTRIES;
    read_pak_directory(moved, directories->moved);
    read_pak_directory(staying, directories->staying);
    if (!tied(directories->moved, directories->staying)) {
        fatal_error("%s: %s is not an update of %s, nor %s of it; nothing was changed", cannot.c_str(), moved.path,
                    staying.path, staying.path);
    }
}

} // namespace

bool finish_interrupted_undo(const std::string& target_path)
{
    name_journal(target_path, backup_path_for(target_path));
    const exchange_names names = undo_names(target_path, backup_path_for(target_path));
    const exchange_step done = exchange_step_of(names);
    if (done == exchange_step::none) {
        return false;
    }
    const std::string cannot = "Cannot finish the interrupted undo of " + target_path;
    if (done == exchange_step::unclear) {
        if (path_exists(target_path.c_str())) {
            fatal_error("%s: %s, %s and %s all exist, so which of them holds what cannot be told; nothing was "
                        "changed. Keep the archive and its backup under their names and move %s away",
                        cannot.c_str(), names.third.c_str(), names.a.c_str(), names.b.c_str(), names.third.c_str());
        }
        fatal_error("%s: it left %s, but neither %s nor %s exists; nothing was changed", cannot.c_str(),
                    names.third.c_str(), names.a.c_str(), names.b.c_str());
    }
    checked_file moved = open_locked(names.third, cannot);
    checked_file staying = open_locked(done == exchange_step::a_moved ? names.b : names.a, cannot);
    prove_half_done_undo(moved, staying, cannot);
    exchange_with_backup(names, done, moved, staying, "finish the interrupted undo of " + target_path);
    print_text("Finished the interrupted undo of %s first: it and %s are exchanged\n", target_path.c_str(),
               names.b.c_str());
    note_journal(journal_note::exchanged);
    flush_renamed(moved, names.b);
    note_journal(journal_note::none);
    // The run that goes on takes its locks anew, on the files' new names.
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
    open_target(files);
    open_backup(*undo);
    print_text("Undoing the update of %s...\n", target_path.c_str());
    switch (read_rewrite_stage(files.target, undo->final_header)) {
    case rewrite_stage::rewriting:
        return restore_original(*undo);
    case rewrite_stage::data_complete:
        // Complete but for its magic: it becomes the archive it already is.
        if (!mark_fits_length(undo->final_header, archive_length(files.target))) {
            refuse(request_lead::undo, target_path.c_str(), "its mark does not match its length");
        }
        write_stage(files.target, rewrite_stage::none);
        break;
    case rewrite_stage::none:
        break;
    }
    return undo_exchange(*undo);
}
