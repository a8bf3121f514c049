// A model of the archive format and of the merge, written from the format
// alone and shared by the tests and the fuzz harness. It must never use the
// product's code: it is what the product is checked against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace pakmodel {

constexpr std::int32_t kHeaderSize = 12;
constexpr std::int32_t kEntrySize = 64;
constexpr std::int32_t kNameSize = 56;
constexpr std::int32_t kMaxEntries = 4096;        // of the original, and of the sum of both archives
constexpr std::int32_t kMaxUpdateEntries = 1024;

void put_le32(std::string& bytes, std::size_t at, std::int32_t value);
std::int32_t get_le32(const std::string& bytes, std::size_t at);

// Whole files, in binary; nothing or false where the system refuses. Paths
// are UTF-8 also on Windows, where a plain string would mean the ANSI code page.
std::optional<std::string> read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& bytes);

std::string random_bytes(std::size_t count, std::uint32_t seed);

struct pak_member {
    std::string name;  // raw name field: padded with zeros, cut at 56 bytes
    std::string data;
};

// Header, data and directory. Without rng the data follow the header in
// directory order and the directory comes last; with rng the data are
// shuffled, separated by junk and the directory lands between any two members.
std::string build_pak(const std::vector<pak_member>& members, std::mt19937* rng = nullptr);
std::string raw_header(const std::string& magic, std::int32_t dir_offset, std::int32_t dir_length);
std::string raw_entry(const std::string& name, std::int32_t file_offset, std::int32_t file_length);
// Offset of entry i of a well-formed archive built above.
std::size_t entry_pos(const std::string& pak, int index);

struct model_entry {
    std::string name;  // up to the NUL
    std::int32_t offset;
    std::int32_t length;
    bool from_update;
};

// What a merge copies, in output order, with offsets into the entry's source.
struct merge_plan {
    std::vector<model_entry> entries;
    std::int64_t output_size;  // header, data and the directory of 4096 slots
};
// Nothing where the tool must refuse the pair and leave the target alone.
std::optional<merge_plan> plan_merge(const std::string& original, const std::string& update);

struct merge_result {
    std::string archive;
    std::string member_lines;  // the "Updating <name> : <n> bytes" lines
};
merge_result carry_out(const merge_plan& plan, const std::string& original, const std::string& update);
std::optional<merge_result> model_merge(const std::string& original, const std::string& update);

}  // namespace pakmodel
