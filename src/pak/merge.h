// The merge that applies an update archive to an archive: planned from
// the two directories and checked whole before a byte is written, then
// written from the plan's cut point on, then sealed. Prints nothing: the
// run says what it does.
//
// The calling sequence:
//   plan_merge(plan, sources, target_path);              refuses what cannot be merged
//   write_merge(plan, original, update, target, start, progress, report);
//   seal_merge(plan, target);
// plan_merge, write_merge and seal_merge end the run on failure; the
// questions (merge_written, merged_from, ...) answer, and end it only when a
// read fails.
#pragma once

#include <array>
#include <cstdint>

#include "console.h"
#include "pak_format.h"

// Which original entries update.pak names, by their index in the original.
using replaced_entries = std::array<bool, MAX_PAK_ENTRIES>;

// Everything a merge decides before it writes: the output directory and,
// for each output entry, where its data start in its source. Entries below
// `kept` come from the original archive, the others from update.pak.
struct merge_plan {
    pak_directory original;
    pak_directory update;
    pak_directory output;
    replaced_entries replaced;
    std::array<std::int32_t, MAX_PAK_ENTRIES> source_offset;
    std::int32_t kept;
    std::int64_t data_end;
    // Where the merged archive first differs from the original: the end of
    // the kept members that stay where they are, before the first that moves.
    std::int64_t cut;
};

// What a plan needs to know of the files behind its two directories.
struct merge_sources {
    std::int32_t original_length;
    std::int32_t update_length;
    const char* original_name;  // faults in the original are reported under it
    const char* update_name;    // and those in the update under this
};

// Plans the merge of the two directories the caller read into `plan` and
// checks everything a merge could find wrong: the entry limit, every
// member's bounds in its source, the size of the result. A fault ends the
// run before anything is written.
void plan_merge(merge_plan& plan, const merge_sources& sources, const char* target_path);
// The header that completes the merged archive.
pak_header merged_header(const merge_plan& plan);
// Writes into `target`, which bears the rewrite mark, the members from
// `start` on and the directory, and flushes them while it reads them back.
// `original` holds the original archive's bytes at the offsets the plan was
// made from. Each update member whose bytes are copied is told to
// `report`, before its copy, so that its line stands beside the progress line.
using member_report = void (*)(const pak_entry& member);
void write_merge(const merge_plan& plan, const checked_file& original, const checked_file& update,
                 const checked_file& target, std::int64_t start, progress_line& progress, member_report report);
// Puts the directory's place in the written target's header and flushes
// it, then cuts the target to length, which drops the record, and flushes
// that: a stop before the cut leaves the record standing.
void seal_merge(const merge_plan& plan, const checked_file& target);
// True when the target's members at the plan's places for update.pak's are
// update.pak's, byte for byte.
bool update_members_in_place(const merge_plan& plan, const checked_file& target, const checked_file& update);
// True when the target has the merged archive's length and directory, at
// its place in `target_header`, and update.pak's members byte for byte: a
// rewrite from the plan's original finished with this update.pak.
bool merge_written(const merge_plan& plan, const pak_header& target_header, const checked_file& target,
                   const checked_file& update);
// True when the target already is the archive the merge would write, byte
// for byte: update.pak's members are its last ones and nothing would move.
// An empty update.pak is one already applied to an archive this tool wrote.
bool merge_already_done(const merge_plan& plan, const pak_header& target_header, const checked_file& target,
                        const checked_file& update);
// True when `result` has the shape of a merge of `original` with some
// update: the members of `original` that the update's names leave, in
// order and of the same lengths, then the update's members. Bytes are not
// compared.
bool merged_from(const pak_directory& result, const pak_directory& original);
// True when update.pak's members are the last members of the merged
// archive `target`, with the same names, lengths and bytes, in order: the
// update that `target` already holds.
bool update_already_applied(const pak_directory& target_directory, const checked_file& target,
                            const pak_directory& update_directory, const checked_file& update);
// The original member `entry` of the update replaces, shown by name only
// where the case of the names differs; nullptr where it adds a member or
// the names are the same to the letter. `replaces` tells which.
const char* replaced_name(const merge_plan& plan, const pak_entry& entry, bool& replaces);
