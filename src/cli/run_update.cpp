#include "run_update.h"

#include <cstdio>
#include <string>

#include "checked_io.h"
#include "pak_format.h"

namespace {

void print_usage()
{
    std::printf("Usage: tarnwick [file]\n");
    std::printf("\nOptions:\n\n");
    std::printf("   file - absolute path and name of pak file to update\n");
    std::printf("          e.g.: Windows: c:/quake2/baseq2/pak0.pak\n");
    std::printf("                Linux:   /quake2/baseq2/pak0.pak\n");
}

// Rewriting the target would destroy update.pak if they were one file, and
// writing the backup would destroy it if the backup were.
void refuse_shared_files(const std::string& target_path)
{
    if (same_file(target_path.c_str(), UPDATE_ARCHIVE_NAME)) {
        fatal_error("Cannot update %s: it is the same file as %s", target_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
    const std::string backup_path = backup_path_for(target_path);
    if (same_file(backup_path.c_str(), UPDATE_ARCHIVE_NAME)) {
        fatal_error("Cannot back up %s: its backup %s is the same file as %s", target_path.c_str(),
                    backup_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
}

void print_report(const std::string& target_path, const std::string& backup_path)
{
    std::printf("\n---------------------------------------\n");
    std::printf("Update of %s completed!\n\nBackup of original in %s\n", target_path.c_str(), backup_path.c_str());
    std::printf("Thanks for using tarnwick!\n");
}

} // namespace

int run_update(int argc, char** argv)
{
    std::printf("Fenwold's Pak Update Utility V.%s\n", VERSION_STRING);
    std::printf("---------------------------------------\n\n");
    if (argc < 2) {
        print_usage();
        return 1;
    }
    const std::string target_path = argv[1];

    std::printf("Backing up update target %s...\n", target_path.c_str());
    refuse_shared_files(target_path);
    const std::string backup_path = make_backup(target_path);

    // Opened without truncation: the merge empties the target only once both
    // archives have been checked, so a damaged input leaves it untouched.
    checked_file target = open_for_update(target_path.c_str());
    checked_file original = open_for_read(backup_path.c_str());
    std::printf("Updating %s...\n", target_path.c_str());
    merge_update(original, target);
    close_file(original);
    close_file(target);

    print_report(target_path, backup_path);
    if (std::remove(UPDATE_ARCHIVE_NAME) != 0) {
        fatal_error("Failed to remove %s! Remove by hand.\n", UPDATE_ARCHIVE_NAME);
    }
    return 0;
}
