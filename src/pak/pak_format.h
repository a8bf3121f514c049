// The Quake II PAK archive: its records, and reading its header and directory.
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
