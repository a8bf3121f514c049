// The run: one update of one archive, from the files on disk to the report.
// Stands above the archive format and the file operations; knows nothing of
// the command line.
#pragma once

#include <string>

// Makes the standard streams safe for a run on `target_path` before anything
// is printed: output into one of the run's archives would corrupt it, so
// such output goes to standard error instead (or nowhere, when that is
// unsafe too). Returns the archive standard output writes into, or "".
std::string guard_standard_output(const std::string& target_path);

enum class run_mode {
    apply,
    dry_run,  // every check and lock of a real run, then what it would do; nothing changes
};

// Updates `target_path` from update.pak in the current folder, or finishes
// what an interrupted run left, and returns the exit status; failures end
// the process from within. `output_archive` is what guard_standard_output
// returned: a run whose output would land in an archive is refused.
int run_update(const std::string& target_path, const std::string& output_archive, run_mode mode);

// Puts the backup of `target_path` in its place and the archive in the
// backup's, in one exchange of the two names or by three renames; a target
// cut short while it was rewritten is replaced by its original.
int undo_update(const std::string& target_path, const std::string& output_archive);
// Finishes an undo of `target_path` that three renames left half done, once
// the two files prove to be the archive and its backup, and says so in one
// line; false when there is none.
bool finish_interrupted_undo(const std::string& target_path);
