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

#include "checked_io.h"

constexpr std::int32_t MAX_PAK_ENTRIES = 4096;
constexpr std::int32_t MAX_UPDATE_ENTRIES = 1024;
constexpr std::int32_t PAK_HEADER_SIZE = 12;
constexpr std::int32_t PAK_ENTRY_SIZE = 64;
constexpr std::int32_t PAK_NAME_SIZE = 56;
inline constexpr std::array<char, 4> PAK_MAGIC = {'P', 'A', 'C', 'K'};
inline constexpr char UPDATE_ARCHIVE_NAME[] = "update.pak";
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

// While the tool rewrites a target, the target's header is one of these
// marks instead: a game refuses the file, and a later run can tell that the
// rewrite was cut short. A mark's dir_offset and dir_length are those of the
// directory being written.
inline constexpr std::array<char, 4> REWRITE_MARK = {'\x89', 'T', 'W', 'r'};
inline constexpr std::array<char, 4> COMPLETE_MARK = {'\x89', 'T', 'W', 'c'};

enum class rewrite_stage {
    none,           // an archive, or anything else that bears no mark
    rewriting,      // members and directory are being written
    data_complete,  // members and directory are on disk; only the header is missing
};

// A directory table of fixed size; `capacity` may be set below the storage
// size to bound what a particular archive may hold.
struct pak_directory {
    std::int32_t capacity;
    std::int32_t count;
    std::array<pak_entry, MAX_PAK_ENTRIES> entries;
};

// Converts between little-endian archive order and host order; the same
// operation serves both directions.
std::int32_t le32(std::int32_t value);

pak_header read_pak_header(const checked_file& archive);
pak_entry read_pak_entry(const checked_file& archive, std::int64_t offset);
// Fills `directory` from its first slot, refusing a directory over its
// capacity, one that cannot lie inside a 2 GiB file, or a name without NUL.
std::int32_t read_pak_directory(const checked_file& archive, pak_directory& directory);

// Why `archive` cannot serve as the original of a merge (shorter than a
// header, a target left marked, or a directory outside the file), or nullptr.
const char* archive_fault(const checked_file& archive);

// The stage an earlier run left the target in; for a mark, `final_header`
// receives the header the finished archive gets.
rewrite_stage read_rewrite_stage(const checked_file& target, pak_header& final_header);
// True when a mark's header describes a file of `length` bytes: a header,
// members, then the whole directory of 4096 entries.
bool mark_fits_length(const pak_header& final_header, std::int32_t length);
// Writes over the target's first 12 bytes the mark of `stage`, or for
// rewrite_stage::none `final_header` itself, and flushes it to disk.
void write_target_header(const checked_file& target, rewrite_stage stage, const pak_header& final_header);

// Compares two NUL-terminated member names, folding only ASCII 'A'-'Z'.
bool names_match(const char* a, const char* b);

// The offset past the header where the merged archive first differs from
// `original`: the end of the kept members that stay where they are, before
// the first one that moves. Nothing before it needs writing.
std::int64_t first_changed_byte(const pak_directory& original, const pak_directory& update);

// Writes into `target` the original's members not named in "update.pak",
// followed by all of update.pak's members, and the directory, and returns
// the header that completes the archive. Every fault in the content of either
// archive is found before the target's first byte changes; from then until
// the caller writes the header, the target bears the rewrite mark. When the
// target still holds the original, its unchanged beginning is left alone.
// On return members and directory are on disk.
pak_header merge_update(const checked_file& original, const checked_file& target, bool target_is_original);
