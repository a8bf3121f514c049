// The lines a run and a dry run print of the merge: each update member as
// it is applied, the dry run's preview, and the warning of a name update.pak
// holds twice; and the lines of a run's start and report. The merge itself
// prints nothing.
#pragma once

#include <cstdint>

#include "backup.h"
#include "merge.h"
#include "pak_format.h"
#include "run_files.h"

// "Updating NAME : N bytes", the line each member of update.pak gets when it
// is applied; write_merge's member_report.
void report_member(const pak_entry& entry);
// The same line for each member of update.pak, in order.
void report_update_members(const pak_directory& update);
// One line on standard error for each name update.pak holds more than once.
void warn_of_repeated_names(const pak_directory& update);
// Prints what the merge would do, without doing it: a line per member of
// update.pak (replaces or adds), the members kept, the sizes before and
// after, and the bytes rewritten from `start` on.
void print_merge_preview(const merge_plan& plan, std::int32_t original_length, std::int64_t start);
// "Updating pak0.pak...", as a rewrite starts.
void print_updating(const run_files& files);
// What a run finishing an interrupted one says of the backup it found.
void print_original_saved(const run_files& files, backup_standing backup);
// The report of a finished update, and what it says of the backup.
void print_report(const run_files& files, backup_standing backup);
