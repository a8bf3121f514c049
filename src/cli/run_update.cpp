#include "run_update.h"

#include <memory>
#include <string>
#include <vector>

#include "checked_io.h"
#include "pak_format.h"

namespace {

void print_usage()
{
    print_text("Usage: tarnwick [file]\n");
    print_text("\nOptions:\n\n");
    print_text("   file - absolute path and name of pak file to update\n");
    print_text("          e.g.: Windows: c:/quake2/baseq2/pak0.pak\n");
    print_text("                Linux:   /quake2/baseq2/pak0.pak\n");
}

// The first argument that is exactly --help or --version, or "". Either one
// only answers, wherever it stands; every other argument is a path, even one
// that starts with '-'.
std::string option_in(const std::vector<std::string>& arguments)
{
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--help" || arguments[i] == "--version") {
            return arguments[i];
        }
    }
    return "";
}

// Only the first archive named is updated; a user who named several must not
// take the others for done.
void report_ignored_arguments(std::size_t count)
{
    if (count != 0) {
        print_error_text("tarnwick: %zu further argument%s ignored; one archive is updated per run\n", count,
                         count == 1 ? "" : "s");
    }
}

// The archive of a run that standard output writes into, or "". Output into
// an archive would corrupt it, so such a run shows everything on standard
// error instead and is refused before it writes. Standard error that writes
// into an archive is silenced.
std::string archive_taking_output(const std::string& target_path, const std::string& backup_path)
{
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

// Rewriting the target would destroy update.pak if they were one file, and
// the backup would be read back as the update if update.pak were or led to it.
void refuse_shared_files(const std::string& target_path, const std::string& backup_path,
                         const std::string& output_archive)
{
    if (!output_archive.empty()) {
        fatal_error("Cannot update %s: standard output is written into %s", target_path.c_str(),
                    output_archive.c_str());
    }
    if (same_file(target_path.c_str(), UPDATE_ARCHIVE_NAME)) {
        fatal_error("Cannot update %s: it is the same file as %s", target_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
    if (leads_to(backup_path.c_str(), UPDATE_ARCHIVE_NAME) || leads_to(UPDATE_ARCHIVE_NAME, backup_path.c_str())) {
        fatal_error("Cannot back up %s: its backup %s is the same file as %s", target_path.c_str(),
                    backup_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
}

// The files of one run, open from the first check to the last write and
// never opened again by name, so that what was checked is what is written.
struct run_files {
    std::string target_path;
    std::string backup_path;
    std::string temp_path;
    checked_file target;
    checked_file update;  // no stream when a finished rewrite needs none
};

checked_file open_locked_target(const std::string& target_path)
{
    checked_file target = open_for_update(target_path.c_str());
    if (lock_file(target) == file_lock::busy) {
        fatal_error("Cannot update %s: another run is updating it", target_path.c_str());
    }
    return target;
}

checked_file open_locked_update(const std::string& target_path)
{
    checked_file update = open_for_read(UPDATE_ARCHIVE_NAME);
    if (lock_file(update) == file_lock::busy) {
        fatal_error("Cannot update %s: %s is in use by another run", target_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
    return update;
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

// A target whose members and directory are complete lacks only its magic;
// the mark must describe exactly the file that is there.
void refuse_inconsistent_mark(const run_files& files, const pak_header& final_header, pak_directory& directory)
{
    if (!mark_fits_length(final_header, stream_length(files.target))) {
        fatal_error("Cannot finish the interrupted update of %s: its mark does not match its length",
                    files.target_path.c_str());
    }
    directory.capacity = MAX_PAK_ENTRIES;
    read_directory_at(files.target, final_header, directory);
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

// Members and directory are on disk: the target is marked complete, so that
// a later run never takes it for a new original, update.pak goes, and the
// magic goes on last.
int finish(run_files& files, bool backup_exists)
{
    bool removed = true;
    if (files.update.stream != nullptr) {
        write_target_magic(files.target, rewrite_stage::data_complete);
        removed = remove_file(UPDATE_ARCHIVE_NAME);
        if (removed) {
            flush_folder_of(UPDATE_ARCHIVE_NAME);
        }
    }
    write_target_magic(files.target, rewrite_stage::none);
    close_file(files.target);
    print_report(files, backup_exists);
    if (!removed) {
        fatal_error("Failed to remove %s! Remove by hand.\n", UPDATE_ARCHIVE_NAME);
    }
    return 0;
}

// The usual run: the target is the original. Everything is checked against
// it before the backup is made, and the rewrite reads the backup.
int back_up_and_apply(run_files& files, merge_plan& plan, const pak_header& original_header,
                      bool finish_interrupted_first)
{
    plan_merge(plan, files.target, original_header, files.update, files.target_path.c_str());
    checked_file backup = reserve_backup(files.target_path.c_str(), files.backup_path, files.temp_path);
    if (finish_interrupted_first) {
        write_target_magic(files.target, rewrite_stage::none);
        print_text("The interrupted update of %s was finished first\n", files.target_path.c_str());
    }
    fill_backup(files.target, backup, files.temp_path);
    // The backup holds the target's own content: faults in it are the
    // target's, under the name the user gave.
    backup.path = files.target_path.c_str();
    print_text("Updating %s...\n", files.target_path.c_str());
    // Marked before the first change: no later run may take a half-written
    // target for an archive and copy it over its backup.
    write_target_magic(files.target, rewrite_stage::rewriting);
    write_merge(plan, backup, files.update, files.target, first_changed_byte(plan.original, plan.update));
    close_file(backup);
    return finish(files, true);
}

// A target cut short while it was rewritten is rewritten whole from its
// backup, which already holds the original, the only copy left.
int resume_rewrite(run_files& files, merge_plan& plan)
{
    refuse_unusable_backup(files);
    checked_file original = open_locked_backup(files.target_path.c_str(), files.backup_path);
    original.path = files.target_path.c_str();
    plan_merge(plan, original, read_archive_header(original), files.update, files.target_path.c_str());
    print_original_saved(files, true);
    print_text("Updating %s...\n", files.target_path.c_str());
    write_merge(plan, original, files.update, files.target, PAK_HEADER_SIZE);
    close_file(original);
    return finish(files, true);
}

// A target whose rewrite is complete but for its magic. An update.pak that
// is not the one it already holds is a new update: the interrupted one is
// finished first, and the new one applied as a run of its own.
int finish_complete_rewrite(run_files& files, merge_plan& plan, const pak_header& final_header)
{
    refuse_inconsistent_mark(files, final_header, plan.original);
    if (files.update.stream != nullptr) {
        plan.update.capacity = MAX_UPDATE_ENTRIES;
        read_pak_directory(files.update, plan.update);
        if (!update_already_applied(plan.original, files.target, plan.update, files.update)) {
            return back_up_and_apply(files, plan, final_header, true);
        }
    }
    const bool backup_exists = path_exists(files.backup_path.c_str());
    print_original_saved(files, backup_exists);
    print_text("Updating %s...\n", files.target_path.c_str());
    if (files.update.stream != nullptr) {
        report_update_members(plan.update);
    }
    return finish(files, backup_exists);
}

} // namespace

int run_update(const std::vector<std::string>& arguments)
{
    prepare_standard_streams();
    const std::string option = option_in(arguments);
    if (option == "--version") {
        print_text("tarnwick %s\n", VERSION_STRING);
        return 0;
    }
    const bool named = arguments.size() >= 2 && option.empty();
    const std::string target_path = named ? arguments[1] : "";
    const std::string backup_path = backup_path_for(target_path);
    const std::string output_archive = named ? archive_taking_output(target_path, backup_path) : "";
    print_text("Fenwold's Pak Update Utility V.%s\n", VERSION_STRING);
    print_text("---------------------------------------\n\n");
    if (!named) {
        print_usage();
        return option.empty() ? 1 : 0;
    }
    report_ignored_arguments(arguments.size() - 2);

    print_text("Backing up update target %s...\n", target_path.c_str());
    refuse_shared_files(target_path, backup_path, output_archive);
    run_files files{target_path, backup_path, backup_temp_path_for(backup_path), {}, {}};
    files.target = open_locked_target(target_path);
    files.target.path = files.target_path.c_str();
    pak_header final_header{};
    const rewrite_stage stage = read_rewrite_stage(files.target, final_header);
    files.update = {nullptr, UPDATE_ARCHIVE_NAME};
    if (stage != rewrite_stage::data_complete || path_exists(UPDATE_ARCHIVE_NAME)) {
        files.update = open_locked_update(target_path);
    }
    // Value-initialised, so unused entries and the bytes after each name are zero.
    auto plan = std::make_unique<merge_plan>();
    switch (stage) {
    case rewrite_stage::rewriting:
        return resume_rewrite(files, *plan);
    case rewrite_stage::data_complete:
        return finish_complete_rewrite(files, *plan, final_header);
    case rewrite_stage::none:
        break;
    }
    return back_up_and_apply(files, *plan, read_archive_header(files.target), false);
}
