// The Quake II PAK archive and the merge that applies an update archive to it.
//
// Byte layout (every integer 32-bit signed, little-endian):
//
//   header, at offset 0             entry, 64 bytes, dir_length / 64 of them
//   0  magic       "PACK"           0   name         NUL-terminated, zero-padded
//   4  dir_offset  first entry      56  file_offset  first byte of the member
//   8  dir_length  64 x entries     60  file_length  bytes of the member
//
// Member data may lie anywhere in the file; only the directory locates them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "open_file.h"

constexpr std::int32_t MAX_PAK_ENTRIES = 4096;
constexpr std::int32_t MAX_UPDATE_ENTRIES = 1024;
constexpr std::int32_t PAK_HEADER_SIZE = 12;
constexpr std::int32_t PAK_ENTRY_SIZE = 64;
constexpr std::int32_t PAK_NAME_SIZE = 56;
inline constexpr std::array<char, 4> PAK_MAGIC = {'P', 'A', 'C', 'K'};
inline constexpr char UPDATE_ARCHIVE_NAME[] = "update.pak";
// Positions and lengths in an archive are 32-bit signed, so no file the tool
// reads or writes may reach 2^31 bytes.
constexpr std::int64_t MAX_FILE_SIZE = INT32_MAX;
// The tool always writes the directory with every slot, live or not.
constexpr std::int32_t OUTPUT_DIRECTORY_SIZE = MAX_PAK_ENTRIES * PAK_ENTRY_SIZE;

struct pak_header {
    std::array<char, 4> magic;
    std::int32_t dir_offset;
    std::int32_t dir_length;
};
static_assert(sizeof(pak_header) == PAK_HEADER_SIZE, "header is 12 bytes on disk");
static_assert(offsetof(pak_header, dir_offset) == 4, "dir_offset at byte 4");
static_assert(offsetof(pak_header, dir_length) == 8, "dir_length at byte 8");

struct pak_entry {
    std::array<char, PAK_NAME_SIZE> name;
    std::int32_t file_offset;
    std::int32_t file_length;
};
static_assert(sizeof(pak_entry) == PAK_ENTRY_SIZE, "entry is 64 bytes on disk");
static_assert(offsetof(pak_entry, file_offset) == 56, "file_offset at byte 56");
static_assert(offsetof(pak_entry, file_length) == 60, "file_length at byte 60");

// A directory table of fixed size; `capacity` may be set below the storage
// size to bound what a particular archive may hold.
struct pak_directory {
    std::int32_t capacity;
    std::int32_t count;
    std::array<pak_entry, MAX_PAK_ENTRIES> entries;
};

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
};

// Converts between little-endian archive order and host order; the same
// operation serves both directions.
std::int32_t le32(std::int32_t value);

// The length of an archive file; one of 2^31 bytes or more is refused.
std::int32_t archive_length(const checked_file& archive);
// The header as the file holds it, integers in host order; no check.
pak_header read_pak_header(const checked_file& archive);
// The header of a file that must be an archive: refuses one without the
// magic or with a negative directory length.
pak_header read_archive_header(const checked_file& archive);
// Fills `directory` from its first slot with the entries `header` locates,
// refusing a directory over `capacity` (which the directory keeps), one that
// cannot lie inside a 2 GiB file, or a name without NUL.
std::int32_t read_directory_at(const checked_file& archive, const pak_header& header, std::int32_t capacity,
                               pak_directory& directory);
// read_archive_header, then read_directory_at.
std::int32_t read_pak_directory(const checked_file& archive, std::int32_t capacity, pak_directory& directory);

// The first 12 bytes as they lie in the file, or false for a shorter file.
bool read_raw_header(const checked_file& archive, pak_header& raw);
// Why `archive`, not left marked, cannot serve as the original of a merge
// (shorter than a header, no archive, or a directory outside the file), or
// nullptr.
const char* archive_fault(const checked_file& archive);

// True when two headers locate the directory at the same place, of the same length.
bool same_directory_place(const pak_header& a, const pak_header& b);

// Compares two NUL-terminated member names, folding only ASCII 'A'-'Z'.
bool names_match(const char* a, const char* b);

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
// made from.
void write_merge(const merge_plan& plan, const checked_file& original, const checked_file& update,
                 const checked_file& target, std::int64_t start, progress_line& progress);
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
// One line on standard error for each name update.pak holds more than once.
void warn_of_repeated_names(const pak_directory& update);
// Prints what the merge would do, without doing it: a line per member of
// update.pak (replaces or adds), the members kept, the sizes before and
// after, and the bytes rewritten from `start` on.
void print_merge_preview(const merge_plan& plan, std::int32_t original_length, std::int64_t start);
// Prints the line each member of update.pak gets when it is applied.
void report_update_members(const pak_directory& update);
// True when update.pak's members are the last members of the merged
// archive `target`, with the same names, lengths and bytes, in order: the
// update that `target` already holds.
bool update_already_applied(const pak_directory& target_directory, const checked_file& target,
                            const pak_directory& update_directory, const checked_file& update);
