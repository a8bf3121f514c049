// Every line a run, a dry run and an undo print on standard output: each
// update member as it is applied, the dry run's preview, the warning of a
// name update.pak holds twice, the lines of a run's start and report and of
// what became of update.pak. The merge itself prints nothing.
#pragma once

#include <cstdint>
#include <string>

#include "backup.h"
#include "merge.h"
#include "pak_format.h"
#include "run_files.h"
#include "start_point.h"

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
// "Thanks for using tarnwick!" under its rule, the last lines of a run.
void print_thanks();

// What a fresh run says first, owed also when it cannot start.
std::string backing_up_line(const std::string& target_path);
// The dry run's first line; an undo it finished first is said to be done.
void print_dry_run_line(const std::string& target_path, bool finished_undo);
// Where a run would start; true when the merge's preview follows.
bool print_would_start(start_point start, const run_files& files);
// The dry run's line when some programs could not be looked at.
void print_holders_unseen(const std::string& target_path);

// What a run says before it applies an update to a target it found marked.
void print_finished_first(const run_files& files);
void print_unmarked_first(const run_files& files);
// A target that already holds the update.
void print_already_applied(const run_files& files);
// Why update.pak stays, or that something else removed it.
enum class update_left {
    removed_elsewhere,
    replaced,
    changed,
};
void print_update_left(update_left why);

// The undo's lines.
void print_undoing(const std::string& target_path);
void print_restored(const run_files& files);
void print_exchanged(const run_files& files);
void print_finished_undo_first(const std::string& target_path, const std::string& other_path);
