// Going back: the backup takes the archive's place and the archive the
// backup's, in one exchange of the two names, so that nothing is lost at any
// instant and a second undo redoes the update.
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
    undo.backup = open_locked_backup(request_lead::undo, files.target_path, files.backup_path);
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
    if (prove_original_of_rewrite(undo.files.target, undo.final_header, undo.backup, undo.backup_header, nullptr) ==
        rewrite_proof::unproven) {
        refuse_foreign_backup(request_lead::undo, undo.files.target_path, undo.files.backup_path);
    }
}

// The half-written file is no archive: the original simply takes its name.
int restore_original(undo_state& undo)
{
    run_files& files = undo.files;
    prove_original(undo);
    // Windows replaces a file only when no handle of this process is open on it.
    close_file(undo.backup);
    close_file(files.target);
    rename_file(files.backup_path.c_str(), files.target_path.c_str());
    // Said before the folder's flush, which may fail: an undo run again would find no backup.
    print_text("%s was half-written by an interrupted update: the original from %s is back in its place, and the "
               "half-written file was dropped\n",
               files.target_path.c_str(), files.backup_path.c_str());
    flush_folder_of(files.target_path.c_str());
    return 0;
}

void refuse_untied_archives(undo_state& undo)
{
    undo.target_directory.capacity = MAX_PAK_ENTRIES;
    read_pak_directory(undo.files.target, undo.target_directory);
    if (!merged_from(undo.target_directory, undo.backup_directory) &&
        !merged_from(undo.backup_directory, undo.target_directory)) {
        refuse_unrelated_backup(undo.files);
    }
}

int exchange_with_backup(undo_state& undo)
{
    const run_files& files = undo.files;
    refuse_untied_archives(undo);
    if (!exchange_files(files.target_path.c_str(), files.backup_path.c_str())) {
        refuse(request_lead::undo, files.target_path.c_str(),
               "this system cannot exchange two files in one step; to undo by hand, copy %s over %s",
               files.backup_path.c_str(), files.target_path.c_str());
    }
    // Said before the folder's flush, which may fail: an undo run again would exchange them back.
    print_text("Exchanged %s and %s: each now holds what the other held; --undo again exchanges them back\n",
               files.target_path.c_str(), files.backup_path.c_str());
    flush_folder_of(files.target_path.c_str());
    return 0;
}

} // namespace

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
    return exchange_with_backup(*undo);
}
