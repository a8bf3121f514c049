#include "pak_model.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <sstream>

namespace pakmodel {

namespace {

constexpr std::int64_t kMaxFileSize = std::numeric_limits<std::int32_t>::max();

// The directory as the format defines it, or nothing where the archive must be refused.
std::optional<std::vector<model_entry>> model_directory(const std::string& pak, std::int32_t capacity,
                                                        bool from_update) {
    if (pak.size() < 12) return std::nullopt;
    const std::int32_t dir_offset = get_le32(pak, 4);
    // Only a file that begins with the magic and has no negative directory length is an archive.
    if (pak.compare(0, 4, "PACK") != 0 || get_le32(pak, 8) < 0) return std::nullopt;
    const std::int32_t count = get_le32(pak, 8) / kEntrySize;
    std::vector<model_entry> entries;
    if (count <= 0) return entries;
    const std::int64_t dir_end = std::int64_t{dir_offset} + std::int64_t{kEntrySize} * count;
    // A directory over the header is damaged: the header's own bytes would be entries.
    if (count > capacity || dir_offset < 12 || dir_end > kMaxFileSize ||
        dir_end > static_cast<std::int64_t>(pak.size()))
        return std::nullopt;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::size_t at = static_cast<std::size_t>(dir_offset) + std::size_t{64} * static_cast<std::size_t>(i);
        const std::size_t name_length = pak.find('\0', at) - at;
        if (name_length >= 56) return std::nullopt;
        entries.push_back({pak.substr(at, name_length), get_le32(pak, at + 56), get_le32(pak, at + 60), from_update});
    }
    return entries;
}

bool names_match(const std::string& a, const std::string& b) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

bool readable(const model_entry& e, const std::string& source) {
    const std::int64_t end = std::int64_t{e.offset} + e.length;
    return e.offset >= 0 && e.length >= 0 &&
           (e.length == 0 || (end <= kMaxFileSize && end <= static_cast<std::int64_t>(source.size())));
}

}  // namespace

void put_le32(std::string& bytes, std::size_t at, std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((u >> (8 * i)) & 0xffU);
}

std::int32_t get_le32(const std::string& bytes, std::size_t at) {
    std::uint32_t u = 0;
    for (std::size_t i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return static_cast<std::int32_t>(u);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return bytes.str();
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out.good();
}

std::string random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xff);
    return bytes;
}

std::string raw_header(const std::string& magic, std::int32_t dir_offset, std::int32_t dir_length) {
    std::string header = magic.substr(0, 4);
    header.resize(12, '\0');
    put_le32(header, 4, dir_offset);
    put_le32(header, 8, dir_length);
    return header;
}

std::string raw_entry(const std::string& name, std::int32_t file_offset, std::int32_t file_length) {
    std::string entry = name.substr(0, 56);
    entry.resize(64, '\0');
    put_le32(entry, 56, file_offset);
    put_le32(entry, 60, file_length);
    return entry;
}

std::string build_pak(const std::vector<pak_member>& members, std::mt19937* rng) {
    const std::size_t n = members.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::size_t dir_slot = n;
    if (rng != nullptr) {
        std::shuffle(order.begin(), order.end(), *rng);
        dir_slot = (*rng)() % (n + 1);
    }
    std::string file(12, '\0');
    std::vector<std::int32_t> offsets(n);
    std::size_t dir_pos = 0;
    for (std::size_t k = 0; k <= n; ++k) {
        if (k == dir_slot) {
            dir_pos = file.size();
            file.append(64 * n, '\0');
        }
        if (k == n) break;
        if (rng != nullptr) file += random_bytes((*rng)() % 17, static_cast<std::uint32_t>((*rng)()));
        offsets[order[k]] = static_cast<std::int32_t>(file.size());
        file += members[order[k]].data;
    }
    for (std::size_t i = 0; i < n; ++i)
        file.replace(dir_pos + 64 * i, 64,
                     raw_entry(members[i].name, offsets[i], static_cast<std::int32_t>(members[i].data.size())));
    file.replace(0, 12, raw_header("PACK", static_cast<std::int32_t>(dir_pos), static_cast<std::int32_t>(64 * n)));
    return file;
}

std::size_t entry_pos(const std::string& pak, int index) {
    return static_cast<std::size_t>(get_le32(pak, 4)) + 64 * static_cast<std::size_t>(index);
}

std::optional<merge_plan> plan_merge(const std::string& original, const std::string& update) {
    const auto kept_candidates = model_directory(original, kMaxEntries, false);
    const auto updates = model_directory(update, kMaxUpdateEntries, true);
    // The sum is counted before replaced members are dropped.
    if (!kept_candidates || !updates || kept_candidates->size() + updates->size() > std::size_t{4096})
        return std::nullopt;
    merge_plan plan{{}, kHeaderSize + std::int64_t{kEntrySize} * kMaxEntries};
    for (const auto& e : *kept_candidates) {
        const bool replaced = std::any_of(updates->begin(), updates->end(),
                                          [&](const model_entry& u) { return names_match(e.name, u.name); });
        if (!replaced) plan.entries.push_back(e);
    }
    plan.entries.insert(plan.entries.end(), updates->begin(), updates->end());
    for (const auto& e : plan.entries) {
        if (!readable(e, e.from_update ? update : original)) return std::nullopt;
        plan.output_size += e.length;
    }
    if (plan.output_size > kMaxFileSize) return std::nullopt;
    return plan;
}

merge_result carry_out(const merge_plan& plan, const std::string& original, const std::string& update) {
    merge_result result{std::string(12, '\0'), ""};
    std::string directory(std::size_t{64} * 4096, '\0');
    std::size_t n = 0;
    for (const auto& e : plan.entries) {
        directory.replace(64 * n, 64, raw_entry(e.name, static_cast<std::int32_t>(result.archive.size()), e.length));
        ++n;
        if (e.length > 0)
            result.archive += (e.from_update ? update : original)
                                  .substr(static_cast<std::size_t>(e.offset), static_cast<std::size_t>(e.length));
        if (e.from_update)
            result.member_lines += "Updating " + e.name + " : " + std::to_string(e.length) + " bytes\n";
    }
    result.archive.replace(0, 12, raw_header("PACK", static_cast<std::int32_t>(result.archive.size()),
                                                      static_cast<std::int32_t>(64 * n)));
    result.archive += directory;
    return result;
}

std::optional<merge_result> model_merge(const std::string& original, const std::string& update) {
    const auto plan = plan_merge(original, update);
    if (!plan) return std::nullopt;
    return carry_out(*plan, original, update);
}

}  // namespace pakmodel
