#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "journal.h"
#include "merge.h"
#include "pak_format.h"
#include "test_support.h"

using namespace testkit;

class PakFormat : public TempDirTest {};

TEST(PakFormatCodec, Le32ReadsLittleEndianBytesOnAnyHost) {
    const unsigned char bytes[4] = {0x01, 0x02, 0x03, 0x04};
    std::int32_t raw = 0;
    std::memcpy(&raw, bytes, 4);
    EXPECT_EQ(le32(raw), 0x04030201);
    for (std::int32_t value : {0, 1, -1, 0x12345678, INT32_MIN, INT32_MAX, -262144}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(le32(le32(value)), value);
        const std::int32_t stored = le32(value);
        std::string on_disk(4, '\0');
        std::memcpy(on_disk.data(), &stored, 4);
        EXPECT_EQ(get_le32(on_disk, 0), value);
    }
}

TEST(PakFormatCodec, NamesMatchFoldsOnlyAsciiLetters) {
    const struct {
        const char* a;
        const char* b;
        bool match;
    } cases[] = {
        {"maps/m1.bsp", "MAPS/M1.BSP", true},
        {"AzZa", "aZzA", true},
        {"", "", true},
        {"a", "ab", false},
        {"ab", "a", false},
        {"a", "", false},
        {"maps\\m1.bsp", "maps/m1.bsp", false},
        {"@[\\]^_", "`{|}~\x7f", false},  // one case bit apart, but not letters
        {"\xc9t\xc9", "\xe9t\xe9", false},  // Latin-1 letters are not folded
        {"a\xc1", "A\xc1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(names_match(c.a, c.b), c.match);
    }
}

TEST_F(PakFormat, ReadPakDirectoryOnOddHeaders) {
    const std::string entry_a = raw_entry("a.txt", 12, 3);
    const std::string entry_b = raw_entry("b", 0x01020304, 0x7f000000);
    const std::string body = "xyz" + entry_a + entry_b;  // entries at 15 and 79
    const std::string three = raw_header("PACK", 15, 192) + "xyz" + entry_a + entry_b + entry_a;
    constexpr const char* kOwnMessage = "";
    const struct {
        const char* label;
        std::string file;
        std::int32_t capacity;
        std::int32_t count;
        const char* failure;  // nullptr: read succeeds with `count` entries; ": ...": the file's name, then this
    } cases[] = {
        {"dir_length 0 ignores dir_offset", raw_header("PACK", -5, 0), 4096, 0, nullptr},
        {"dir_length 63 is no entry", raw_header("PACK", 15, 63) + body, 4096, 0, nullptr},
        {"dir_length 100 is one entry", raw_header("PACK", 15, 100) + body, 4096, 1, nullptr},
        {"negative dir_length", raw_header("PACK", 15, -64) + body, 4096, 0,
         ": the directory has negative length -64"},
        {"no magic", raw_header("KCAP", 15, 128) + body, 4096, 0, ": it is not a pak file"},
        {"magic wrong in its last byte", raw_header("PACX", 15, 128) + body, 4096, 0, ": it is not a pak file"},
        {"zip-like", "PK\x03\x04" + raw_header("PACK", 15, 128).substr(4) + body, 4096, 0,
         ": it is not a pak file"},
        {"count equal to capacity", three, 3, 3, nullptr},
        {"count over capacity", three, 2, 0, kOwnMessage},
        {"negative dir_offset", raw_header("PACK", -64, 64) + body, 4096, 0, kOwnMessage},
        {"directory at offset 0, over the header", raw_header("PACK", 0, 64) + body, 4096, 0,
         ": the directory overlaps the header"},
        {"directory at offset 11, one byte into the header", raw_header("PACK", 11, 64) + body, 4096, 0,
         ": the directory overlaps the header"},
        {"last entry beyond 2^31-1", raw_header("PACK", INT32_MAX - 10, 128) + body, 4096, 0, kOwnMessage},
        {"name without NUL", raw_header("PACK", 12, 64) + raw_entry(std::string(56, 'n'), 0, 0), 4096, 0,
         kOwnMessage},
        {"directory past end of file", raw_header("PACK", 15, 192) + body, 4096, 0, "File read failure"},
        {"short header", std::string("PACK\0\0\0", 7), 4096, 0, "File read failure"},
    };
    const std::string file_path = path("x.pak");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(file_path, c.file);
        auto directory = std::make_unique<pak_directory>();
        directory->count = -1;
        if (c.failure != nullptr) {
            const std::string expected =
                *c.failure == ':' ? fatal_mentioning(file_path + c.failure)
                : *c.failure != '\0' ? fatal_exactly(c.failure) : fatal_mentioning(file_path);
            EXPECT_EXIT(
                {
                    stdout_to_stderr();
                    checked_file archive = open_for_read(file_path.c_str());
                    read_pak_directory(archive, c.capacity, *directory);
                    std::exit(0);
                },
                ::testing::ExitedWithCode(1), expected);
            continue;
        }
        checked_file archive = open_for_read(file_path.c_str());
        EXPECT_EQ(read_pak_directory(archive, c.capacity, *directory), c.count);
        EXPECT_EQ(directory->count, c.count);
        close_file(archive);
        if (c.count >= 2) {
            const pak_entry& b = directory->entries[1];
            EXPECT_STREQ(b.name.data(), "b");
            EXPECT_EQ(b.file_offset, 0x01020304);
            EXPECT_EQ(b.file_length, 0x7f000000);
        }
        if (c.count >= 1) {
            const pak_entry& a = directory->entries[0];
            EXPECT_STREQ(a.name.data(), "a.txt");
            EXPECT_EQ(a.file_offset, 12);
            EXPECT_EQ(a.file_length, 3);
        }
    }
}

// Where a merge may start writing: everything before stays byte for byte.
TEST(PakFormatLayout, FirstChangedByteEndsTheMembersThatStayInPlace) {
    struct member {
        const char* name;
        std::int32_t offset, length;
    };
    const auto directory_of = [](const std::vector<member>& members) {
        auto directory = std::make_unique<pak_directory>();
        directory->capacity = MAX_PAK_ENTRIES;
        directory->count = static_cast<std::int32_t>(members.size());
        for (std::size_t i = 0; i < members.size(); ++i)
            directory->entries[i] = {{}, members[i].offset, members[i].length};
        for (std::size_t i = 0; i < members.size(); ++i)
            std::strncpy(directory->entries[i].name.data(), members[i].name, PAK_NAME_SIZE - 1);
        return directory;
    };
    const std::vector<member> in_order = {{"a", 12, 100}, {"b", 112, 50}, {"c", 162, 7}, {"d", 169, 1}};
    const struct {
        const char* label;
        std::vector<member> original, update;
        std::int64_t first_changed;
    } cases[] = {
        {"members in directory order, third replaced", in_order, {{"C", 0, 9}}, 162},
        {"only new members", in_order, {{"e", 0, 9}}, 170},
        {"empty update", in_order, {}, 170},
        {"first member dropped", in_order, {{"a", 0, 9}}, 12},
        {"last member dropped", in_order, {{"D", 0, 9}}, 169},
        {"data out of directory order", {{"b", 112, 50}, {"a", 12, 100}}, {{"e", 0, 1}}, 12},
        {"directory in front of the data", {{"a", 76, 10}, {"b", 86, 10}}, {}, 12},
        {"empty members anywhere stay out of the way", {{"a", 12, 100}, {"z", 999, 0}, {"b", 112, 5}}, {}, 117},
        {"overlapping data", {{"a", 12, 100}, {"b", 62, 100}}, {}, 112},
        {"shared data", {{"a", 12, 100}, {"b", 12, 100}}, {}, 112},
        {"a gap before the next member", {{"a", 12, 100}, {"b", 120, 5}}, {}, 112},
        {"empty original", {}, {{"a", 0, 9}}, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto plan = std::make_unique<merge_plan>();
        plan->original = *directory_of(c.original);
        plan->update = *directory_of(c.update);
        plan_merge(*plan, {1 << 20, 1 << 20, "original", "update.pak"}, "target");
        EXPECT_EQ(plan->cut, c.first_changed);
    }
}
