// Writes the fuzzers' seed corpus into the directory named on the command
// line: pairs of small archives built here, valid ones and each kind of
// damaged header, directory and member that the reader must refuse or accept;
// and, into a second directory if named, the plan fuzzer's seeds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "pak_model.h"

namespace {

constexpr std::int32_t INT_MIN32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t INT_MAX32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t NEAR_LIMIT = INT_MAX32 - 63;  // 2^31 - 64
constexpr std::int32_t HOSTILE_NUMBERS[] = {INT_MIN32, -64, -1, INT_MAX32, NEAR_LIMIT};

using pakmodel::build_pak;
using pakmodel::kEntrySize;
using pakmodel::kHeaderSize;
using pakmodel::kMaxEntries;
using pakmodel::kMaxUpdateEntries;
using pakmodel::kNameSize;
using pakmodel::pak_member;
using pakmodel::raw_entry;
using pakmodel::raw_header;

// Directory right after the header, data in reverse order with junk between.
std::string build_scattered(const std::vector<pak_member>& members)
{
    const auto directory_size = static_cast<std::int32_t>(members.size()) * kEntrySize;
    std::string directory;
    std::string data;
    for (std::size_t i = members.size(); i-- > 0;) {
        data += "junk";
        const auto offset = kHeaderSize + directory_size + static_cast<std::int32_t>(data.size());
        directory.insert(0, raw_entry(members[i].name, offset, static_cast<std::int32_t>(members[i].data.size())));
        data += members[i].data;
    }
    return raw_header("PACK", kHeaderSize, directory_size) + directory + data;
}

// An archive of `count` empty members named m0, m1, ...
std::string many_members(std::int32_t count, const std::string& prefix)
{
    std::string directory;
    for (std::int32_t i = 0; i < count; ++i) {
        directory += raw_entry(prefix + std::to_string(i), 0, 0);
    }
    return raw_header("PACK", kHeaderSize, count * kEntrySize) + directory;
}

// One member whose directory entry holds the given offset and length.
std::string with_member_numbers(const std::string& name, std::int32_t file_offset, std::int32_t file_length)
{
    const std::string data = "member data";
    return raw_header("PACK", static_cast<std::int32_t>(kHeaderSize + data.size()), kEntrySize) + data +
           raw_entry(name, file_offset, file_length);
}

std::string hex(std::int32_t value)
{
    char text[16];
    (void)std::snprintf(text, sizeof text, "%08x", static_cast<std::uint32_t>(value));
    return text;
}

struct corpus {
    std::string dir;
    int written;
    std::string plan_dir;  // where the plan fuzzer's seeds go, or ""
};

void write_input(corpus& out, const std::string& path, const std::string& input)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(input.data(), 1, input.size(), file) != input.size() ||
        std::fclose(file) != 0) {
        (void)std::fprintf(stderr, "make_corpus: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    ++out.written;
}

// The plan fuzzer's input is four choices of the state on disk (target
// stage, backup, update.pak, record and the rest; see plan_fuzzer.cpp),
// then the pair. A valid pair gets every target stage with every backup and
// update.pak.
void add_plan_seeds(corpus& out, const std::string& name, const std::string& original, const std::string& update)
{
    constexpr int TARGET_STAGES = 8;
    constexpr int CUT_SHORT = 3;
    constexpr int BACKUPS = 4;
    constexpr int UPDATES = 3;
    constexpr int RECORDS = 4;
    constexpr int TEARS = 14;
    for (int stage = 0; stage < TARGET_STAGES; ++stage) {
        for (int backup = 0; backup < BACKUPS; ++backup) {
            for (int update_choice = 0; update_choice < UPDATES; ++update_choice) {
                // A cut-short rewrite stops in its middle, with each kind of
                // record; the other stages take a tear each, and some a
                // leftover temporary backup or a dry run.
                for (int record = 0; record < (stage == CUT_SHORT ? RECORDS : 1); ++record) {
                    const int last = stage == CUT_SHORT ? record : (backup * UPDATES + update_choice) % TEARS;
                    const std::string choices = {static_cast<char>(stage), static_cast<char>(backup | 32 << 2),
                                                 static_cast<char>(update_choice),
                                                 static_cast<char>(last << 2 | (stage & 3))};
                    write_input(out,
                                out.plan_dir + "/" + name + "-" + std::to_string(stage) + std::to_string(backup) +
                                    std::to_string(update_choice) + std::to_string(record),
                                choices + fuzz::join_input({original, update}));
                }
            }
        }
    }
}

void add(corpus& out, const std::string& name, const std::string& original, const std::string& update)
{
    write_input(out, out.dir + "/" + name, fuzz::join_input({original, update}));
    if (!out.plan_dir.empty() && name.rfind("valid-", 0) == 0) {
        add_plan_seeds(out, name, original, update);
    }
}

// Each odd header, placed once in the original and once in update.pak.
void add_odd_headers(corpus& out, const std::string& good_original, const std::string& good_update)
{
    const std::string one_entry = build_pak({{"a.txt", "alpha"}});
    std::string no_terminator = one_entry;
    no_terminator.replace(one_entry.size() - kEntrySize, kNameSize, std::string(kNameSize, 'n'));
    std::string dir_length_100 = one_entry + std::string(36, 'x');
    pakmodel::put_le32(dir_length_100, 8, 100);

    std::vector<std::pair<std::string, std::string>> odd = {
        {"empty-file", ""},
        {"eleven-bytes", std::string("PACK\0\0\0\0\0\0\0", 11)},
        {"header-only", raw_header("PACK", 0, 0)},
        {"dir-length-0", raw_header("PACK", 12, 0) + "unused"},
        {"dir-length-100", dir_length_100},
        {"dir-length-63", raw_header("PACK", 12, 63)},
        {"not-pack-magic", "KCAP" + one_entry.substr(4)},
        {"name-without-nul", no_terminator},
        {"directory-past-eof", raw_header("PACK", 12, 2 * kEntrySize) + raw_entry("a.txt", 0, 0)},
        {"directory-at-eof", raw_header("PACK", 12, kEntrySize)},
        {"directory-over-header", raw_header("PACK", 0, kEntrySize) + std::string(52, '\0')},
        {"over-original-capacity", raw_header("PACK", 12, (kMaxEntries + 1) * kEntrySize)},
        {"over-update-capacity", many_members(kMaxUpdateEntries + 1, "u")},
        {"at-update-capacity", many_members(kMaxUpdateEntries, "u")},
    };
    for (const std::int32_t number : HOSTILE_NUMBERS) {
        odd.emplace_back("dir-offset-" + hex(number), raw_header("PACK", number, 2 * kEntrySize) +
                                                         raw_entry("a", 0, 0) + raw_entry("b", 0, 0));
        odd.emplace_back("dir-length-" + hex(number), raw_header("PACK", 12, number) + raw_entry("a", 0, 0));
    }
    odd.emplace_back("dir-offset-overflow", raw_header("PACK", INT_MAX32 - 10, 2 * kEntrySize));
    for (const auto& [name, archive] : odd) {
        add(out, "original-" + name, archive, good_update);
        add(out, "update-" + name, good_original, archive);
    }
}

// Hostile member offsets and lengths, in a kept original member, in a
// dropped one (never read, so allowed) and in an update member.
void add_hostile_members(corpus& out, const std::string& good_update)
{
    const std::string plain = build_pak({{"kept.txt", "kept"}});
    for (const std::int32_t number : HOSTILE_NUMBERS) {
        for (const bool as_offset : {true, false}) {
            const std::int32_t offset = as_offset ? number : 12;
            const std::int32_t length = as_offset ? 4 : number;
            const std::string field = (as_offset ? "offset-" : "length-") + hex(number);
            add(out, "original-member-" + field, with_member_numbers("kept.txt", offset, length), good_update);
            add(out, "dropped-member-" + field, with_member_numbers("NEW.WAV", offset, length), good_update);
            add(out, "update-member-" + field, plain, with_member_numbers("new.wav", offset, length));
        }
    }
    const std::string data = "member data";
    const auto end = static_cast<std::int32_t>(kHeaderSize + data.size() + kEntrySize);
    add(out, "update-member-ends-at-eof", plain, with_member_numbers("new.wav", end - 4, 4));
    add(out, "update-member-one-past-eof", plain, with_member_numbers("new.wav", end - 3, 4));
    add(out, "update-member-empty-past-eof", plain, with_member_numbers("new.wav", end + 100, 0));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        (void)std::fprintf(stderr, "usage: make_corpus DIRECTORY [PLAN_DIRECTORY]\n");
        return 2;
    }
    corpus out{argv[1], 0, argc == 3 ? argv[2] : ""};
    const std::string original =
        build_pak({{"a.txt", "alpha"}, {"maps/m1.bsp", "old map"}, {"pics/p.pcx", "picture"}});
    const std::string update = build_pak({{"MAPS/M1.BSP", "new map data"}, {"new.wav", "sound"}});

    add(out, "valid-basic", original, update);
    add(out, "valid-scattered", build_scattered({{"a.txt", "alpha"}, {"maps/m1.bsp", "old map"}}),
        build_scattered({{"maps/M1.bsp", "new"}, {"b.txt", "beta"}}));
    add(out, "valid-empty-update", original, build_pak({}));
    add(out, "valid-empty-original", build_pak({}), update);
    add(out, "valid-both-empty", build_pak({}), build_pak({}));
    add(out, "valid-zero-length-members", build_pak({{"empty", ""}, {"a.txt", "alpha"}}),
        build_pak({{"also-empty", ""}}));
    add(out, "valid-duplicates", build_pak({{"dup", "one"}, {"dup", "two"}, {"keep", "k"}}),
        build_pak({{"DUP", "three"}, {"Dup", "four"}}));
    add(out, "valid-long-names", build_pak({{std::string(55, 'a'), "x"}}),
        build_pak({{std::string(55, 'A'), "y"}, {std::string(54, 'b'), "z"}}));
    add(out, "valid-name-bytes", build_pak({{"\xc3\x84.txt", "x"}, {"a\\b", "y"}}),
        build_pak({{"\xc3\xa4.txt", "z"}, {"a/b", "w"}}));

    add_odd_headers(out, original, update);
    add_hostile_members(out, update);

    add(out, "limit-sum-4096", many_members(kMaxEntries - 1, "m"), build_pak({{"x", "y"}}));
    add(out, "limit-sum-4097", many_members(kMaxEntries, "m"), build_pak({{"m0", "y"}}));
    add(out, "limit-original-4097", many_members(kMaxEntries + 1, "m"), build_pak({}));

    std::printf("make_corpus: %d inputs in %s%s%s\n", out.written, out.dir.c_str(), out.plan_dir.empty() ? "" : " and ",
                out.plan_dir.c_str());
    return 0;
}
