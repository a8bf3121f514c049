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

// Updates `target_path` from update.pak in the current folder, or finishes
// what an interrupted run left, and returns the exit status; failures end
// the process from within. `output_archive` is what guard_standard_output
// returned: a run whose output would land in an archive is refused.
int run_update(const std::string& target_path, const std::string& output_archive);
