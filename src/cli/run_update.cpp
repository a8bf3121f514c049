#include "run_update.h"

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
// writing the backup would destroy it if the backup were or led to it.
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
    if (leads_to(backup_path.c_str(), UPDATE_ARCHIVE_NAME)) {
        fatal_error("Cannot back up %s: its backup %s is the same file as %s", target_path.c_str(),
                    backup_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
}

rewrite_stage stage_left_in(const std::string& target_path, pak_header& final_header)
{
    checked_file target = open_for_read(target_path.c_str());
    const rewrite_stage stage = read_rewrite_stage(target, final_header);
    close_file(target);
    return stage;
}

// An interrupted run can only be finished from the original it backed up.
void refuse_unusable_backup(const std::string& target_path, const std::string& backup_path)
{
    const char* fault = "is missing";
    if (path_exists(backup_path.c_str())) {
        checked_file backup = open_for_read(backup_path.c_str());
        fault = archive_fault(backup);
        close_file(backup);
    }
    if (fault != nullptr) {
        fatal_error("Cannot finish the interrupted update of %s: its backup %s %s", target_path.c_str(),
                    backup_path.c_str(), fault);
    }
}

// A target whose members and directory are complete lacks only its header;
// the mark must describe exactly the file that is there.
void refuse_inconsistent_mark(const std::string& target_path, const pak_header& final_header)
{
    checked_file target = open_for_read(target_path.c_str());
    const bool consistent = mark_fits_length(final_header, stream_length(target));
    close_file(target);
    if (!consistent) {
        fatal_error("Cannot finish the interrupted update of %s: its mark does not match its length",
                    target_path.c_str());
    }
}

// A target left half-written by an interrupted run is never backed up: its
// backup already holds the original, the only copy left. Without update.pak
// the members are all written and only the header is missing.
void take_backup_as_original(const std::string& target_path, const std::string& backup_path, bool merge,
                             const pak_header& final_header)
{
    if (merge) {
        refuse_unusable_backup(target_path, backup_path);
    } else {
        refuse_inconsistent_mark(target_path, final_header);
    }
    print_text("The original is already in %s, saved by an interrupted run\n", backup_path.c_str());
}

void print_report(const std::string& target_path, const std::string& backup_path)
{
    print_text("\n---------------------------------------\n");
    print_text("Update of %s completed!\n\nBackup of original in %s\n", target_path.c_str(), backup_path.c_str());
    print_text("Thanks for using tarnwick!\n");
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
    pak_header final_header{};
    const rewrite_stage stage = stage_left_in(target_path, final_header);
    const bool merge = stage != rewrite_stage::data_complete || path_exists(UPDATE_ARCHIVE_NAME);
    if (stage == rewrite_stage::none) {
        make_backup(target_path);
    } else {
        take_backup_as_original(target_path, backup_path, merge, final_header);
    }

    checked_file target = open_for_update(target_path.c_str());
    checked_file original{nullptr, backup_path.c_str()};
    if (merge) {
        original = open_for_read(backup_path.c_str());
        // The backup holds the target's own content: faults in it are the
        // target's, under the name the user gave.
        original.path = target_path.c_str();
    }
    print_text("Updating %s...\n", target_path.c_str());
    if (merge) {
        // A target an earlier run cut short is rewritten whole.
        final_header = merge_update(original, target, stage == rewrite_stage::none);
        close_file(original);
        // Until update.pak is gone, a later run must find the target marked,
        // or it would take the finished archive for a new original.
        write_target_header(target, rewrite_stage::data_complete, final_header);
    }
    const bool removed = !merge || remove_file(UPDATE_ARCHIVE_NAME);
    if (merge && removed) {
        flush_folder_of(UPDATE_ARCHIVE_NAME);
    }
    write_target_header(target, rewrite_stage::none, final_header);
    close_file(target);

    print_report(target_path, backup_path);
    if (!removed) {
        fatal_error("Failed to remove %s! Remove by hand.\n", UPDATE_ARCHIVE_NAME);
    }
    return 0;
}
