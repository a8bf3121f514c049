// The one file a failed or interrupted run must not leave behind: it
// registers its own removal while it is pending.
#include "pending_file.h"

#include <cstring>
#include <string>

#include "file_locks.h"
#include "file_names.h"
#include "file_system.h"
#include "interruption.h"
#include "open_file.h"

namespace {

// What the removal of a leftover would answer, asked without removing it:
// "" where the system tells it would be allowed, or cannot tell.
std::string foreseen_removal(const pending_file& pending, const checked_file& leftover_file)
{
    int error = 0;
    switch (outlook_of_removal(folder_of(pending.temp_path).c_str(), leftover_file.handle, error)) {
    case removal_outlook::allowed:
        break;
    case removal_outlook::refused:
        return std::strerror(error);
    case removal_outlook::unknown:
        print_note("%s, left by an earlier run, is removed by the run, which may find that it cannot",
                   pending.temp_path.c_str());
        break;
    }
    return "";
}

// A temporary file that no run holds, and that is still the file at its
// name, is what a killed run left, and is removed unless `found` says keep:
// then only whether it could be is asked.
reservation remove_leftover(pending_file& pending, leftover found)
{
    checked_file leftover_file = open_for_read(pending.temp_path.c_str());
    reservation outcome = reservation::held;
    if (lock_file(leftover_file) == file_lock::held && path_names(pending.temp_path.c_str(), leftover_file)) {
        pending.failure = found == leftover::remove ? remove_file(pending.temp_path.c_str())
                                                    : foreseen_removal(pending, leftover_file);
        outcome = pending.failure.empty() ? reservation::made : reservation::unremovable;
    }
    close_file(leftover_file);
    return outcome;
}

} // namespace

reservation reserve_pending_file(pending_file& pending, const std::string& final_path, const std::string& temp_path,
                                 leftover found)
{
    pending.final_path = final_path;
    pending.temp_path = temp_path;
    pending.flushed = false;
    // Failures writing the temporary file are the final file's, under its name.
    pending.file = create_new_file(temp_path.c_str(), pending.final_path.c_str());
    if (pending.file.handle == NO_FILE) {
        const reservation outcome = remove_leftover(pending, found);
        if (outcome != reservation::made || found == leftover::keep) {
            return outcome;
        }
        pending.file = create_new_file(temp_path.c_str(), pending.final_path.c_str());
    }
    if (pending.file.handle == NO_FILE) {
        return reservation::held;
    }
    // Until it is locked, another claimer may take the new file for a killed
    // run's leftover and remove it: the name is then that claimer's, never
    // this run's to remove.
    if (lock_file(pending.file) == file_lock::busy || !path_names(pending.temp_path.c_str(), pending.file)) {
        close_file(pending.file);
        return reservation::held;
    }
    register_removal(pending.temp_path.c_str());
    return reservation::made;
}

void flush_pending_copies(pending_file& pending, const copy_span* copies, std::size_t count, progress_line& progress,
                          copies_read_back* found, const early_read_back* early)
{
    flush_checked_copies(pending.file, copies, count, progress, found, early);
    pending.flushed = true;
}

void commit_pending_file(pending_file& pending)
{
    // The name may go to the file only once its bytes would survive a power cut.
    if (!pending.flushed) {
        flush_to_disk(pending.file);
        pending.flushed = true;
    }
    begin_commit_step();
    rename_file(pending.temp_path.c_str(), pending.final_path.c_str());
    clear_removal();
    flush_folder_of(pending.final_path.c_str(), pending.file);
    end_commit_step();
}

void abandon_pending_file(pending_file& pending)
{
    clear_removal();
    if (pending.file.handle != NO_FILE) {
        (void)remove_path(pending.temp_path.c_str());
        close_file(pending.file);
    }
}
