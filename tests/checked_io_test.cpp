#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "backup.h"
#include "copies.h"
#include "file_names.h"
#include "open_file.h"
#include "test_support.h"

using namespace testkit;
namespace fs = std::filesystem;

class CheckedIo : public TempDirTest {};

TEST(CheckedIoNames, BackupPathReplacesOnlyTheLastExtensionAfterTheLastSlash) {
    const struct {
        const char* target;
        const char* backup;
    } cases[] = {
        {"c:/quake2/baseq2/pak0.pak", "c:/quake2/baseq2/pak0.bak"},
        {"pak0", "pak0.bak"},
        {"pak0.pak.old", "pak0.pak.bak"},
        {"c:/games.x/pak0", "c:/games.x/pak0.bak"},
#ifdef _WIN32
        {"c:\\games.x\\pak0", "c:\\games.x\\pak0.bak"},
        {"Quake2 v3.20\\baseq2\\pak0", "Quake2 v3.20\\baseq2\\pak0.bak"},
        {"c:pak0", "c:pak0.bak"},
        {"c:.pak", "c:.bak"},
#else
        {"c:\\games.x\\pak0", "c:\\games.bak"},
        {"Quake2 v3.20\\baseq2\\pak0", "Quake2 v3.bak"},
        {"c:.pak", "c:.bak"},
#endif
        {".pak", ".pak.bak"},
        {"dir/x.y/", "dir/x.bak"},
        {"", ".bak"},
        {"a/.pak", "a/.bak"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(backup_path_for(c.target), c.backup);
        std::string stem = c.target;
        drop_extension(stem);
        EXPECT_EQ(stem + ".bak", c.backup);
    }
}

// The copy, its read-back and the fingerprint walk a span in chunks; each
// must see every byte whatever the span's length. A span over one piece of
// a copy (16 MiB) is read back as it is copied, and gives the flush the
// fingerprint it would have taken.
TEST_F(CheckedIo, CopyReadBackAndFingerprintAgreeAcrossChunkBoundaries) {
    const std::string from_path = path("from"), to_path = path("to");
    constexpr std::uint32_t chunk = COPY_CHUNK_SIZE;
    const struct {
        std::uint32_t count;
        bool read_early = false;
    } cases[] = {{0}, {1}, {chunk - 1}, {chunk}, {chunk + 1}, {3 * chunk + 17}, {33 * chunk + 17, true}};
    for (const auto& c : cases) {
        const std::uint32_t count = c.count;
        SCOPED_TRACE(count);
        const std::string source = random_bytes(count + 9, count);
        write_file(from_path, source);
        write_file(to_path, "hd");
        checked_file from = open_for_read(from_path.c_str());
        checked_file to = open_for_update(to_path.c_str());
        const copy_span span{&from, nullptr, 5, 2, static_cast<std::int32_t>(count)};
        early_read_back early{};
        copy_span_to(to, span, nullptr, &early);
        // Windows has no kernel copy: the program's loop leaves the read-back to the flush.
        EXPECT_EQ(early.matched, c.read_early && !built_for_windows());
        progress_line progress{};
        copies_read_back found{};
        flush_checked_copies(to, &span, 1, progress, &found, &early);
        EXPECT_EQ(found.first_span, fingerprint_of_bytes(source.data() + 5, count));
        EXPECT_TRUE(copy_matches(to, span, nullptr));
        EXPECT_TRUE(copy_matches(to, {nullptr, source.data() + 5, 0, 2, span.length}, nullptr));
        EXPECT_EQ(fingerprint_of(to, 2, count), fingerprint_of_bytes(source.data() + 5, count));
        if (count > 0) {
            // The span's last byte changed is seen.
            const char other = static_cast<char>(source[4 + count] ^ 1);
            write_exact(to, 1 + static_cast<std::int64_t>(count), &other, 1);
            EXPECT_FALSE(copy_matches(to, span, nullptr));
            EXPECT_NE(fingerprint_of(to, 2, count), fingerprint_of_bytes(source.data() + 5, count));
            write_exact(to, 1 + static_cast<std::int64_t>(count), source.data() + 4 + count, 1);
        }
        close_file(from);
        close_file(to);
        EXPECT_EQ(read_file(to_path), "hd" + source.substr(5, count));
    }
}

TEST_F(CheckedIo, CopyBytesPastTheEndOfTheSourceIsAReadFailure) {
    const std::string from_path = path("from"), to_path = path("to");
    write_file(from_path, random_bytes(5000, 1));
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            write_file(to_path, "");
            checked_file from = open_for_read(from_path.c_str());
            checked_file to = open_for_update(to_path.c_str());
            copy_span_to(to, {&from, nullptr, 0, 0, 5001}, nullptr, nullptr);
        },
        ::testing::ExitedWithCode(1),
        fatal_exactly("File read failure") +
            regex_literal("tarnwick: " + from_path + " is 5000 bytes, but it is read up to byte 5001\n"));
}

TEST_F(CheckedIo, FileLengthOfAnySize) {
    const std::string file_path = path("f");
    // The largest length a pak file can address passes; a sparse file holds it.
    for (std::int64_t size : {std::int64_t{0}, std::int64_t{1}, std::int64_t{5000}, std::int64_t{INT32_MAX}}) {
        SCOPED_TRACE(size);
        write_file(file_path, random_bytes(static_cast<std::size_t>(std::min<std::int64_t>(size, 5000)), 3));
        fs::resize_file(file_path, static_cast<std::uintmax_t>(size));
        checked_file file = open_for_read(file_path.c_str());
        EXPECT_EQ(file_length(file), size);
        close_file(file);
    }
}

TEST_F(CheckedIo, WriteFailuresNameTheFileAndTheReason) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
    const std::string reason = std::string(": ") + std::strerror(ENOSPC);
    for (std::int32_t count : {10, 100000}) {
        SCOPED_TRACE(count);
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                const std::string data(static_cast<std::size_t>(count), 'x');
                // Opened directly: the tool itself refuses devices as archives.
                checked_file full{};
                full.handle = open("/dev/full", O_WRONLY);
                full.path = "/dev/full";
                write_exact(full, 0, data.data(), count);
                close_file(full);
                std::exit(0);
            },
            ::testing::ExitedWithCode(1), fatal_mentioning("/dev/full" + reason));
    }
}

TEST_F(CheckedIo, SameFileRecognisesOneFileUnderAnyName) {
    write_file(path("a"), "same");
    write_file(path("b"), "same");
    fs::create_hard_link(path("a"), path("hard"));
    const struct {
        std::string x, y;
        bool same;
    } cases[] = {
        {path("a"), path("a"), true},
        {path("a"), dir() + "/./a", true},
        {path("a"), dir() + "//a", true},
        {path("a"), path("hard"), true},
#ifdef _WIN32
        {path("a"), dir() + "\\A", true},  // Windows ignores case and takes a backslash as a separator
#endif
        {path("a"), path("b"), false},
        {path("a"), path("missing"), false},
        {path("missing"), path("missing"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x + " vs " + c.y);
        EXPECT_EQ(same_file(c.x.c_str(), c.y.c_str()), c.same);
    }
}

TEST_F(CheckedIo, SameFileFollowsSymbolicLinks) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows, and wine has none";
#endif
    write_file(path("a"), "same");
    fs::create_hard_link(path("a"), path("hard"));
    fs::create_symlink(path("a"), path("soft"));
    EXPECT_TRUE(same_file(path("soft").c_str(), path("a").c_str()));
    EXPECT_TRUE(same_file(path("soft").c_str(), path("hard").c_str()));
}

// Fingerprints are written into a cut-short archive and read back by a later
// run, perhaps of another build or on another host: their values are fixed,
// and a file gives the value of its bytes whatever the reads it takes.
TEST_F(CheckedIo, FingerprintsKeepTheirValuesAndSpanTheirReads) {
    std::string counted;
    for (int i = 0; i < 100; ++i) counted += static_cast<char>(i * 7 + 1);
    const struct {
        std::size_t count;
        std::uint64_t value;
    } known[] = {
        {0, 0x523b1c93dd22a721ULL},  {1, 0x90eb6b4936d57495ULL},  {31, 0x7a95ecea7ec88d02ULL},
        {32, 0xe263928fd40631a1ULL}, {33, 0x2f1f059701d18323ULL}, {100, 0x13dea0a3407626e5ULL},
    };
    for (const auto& k : known) {
        SCOPED_TRACE(k.count);
        EXPECT_EQ(fingerprint_of_bytes(counted.data(), k.count), k.value);
    }
    const std::string bytes = random_bytes(200007, 9);
    write_file(path("f"), bytes);
    checked_file file = open_for_read(path("f").c_str());
    for (const auto& [offset, length] : {std::pair<std::size_t, std::size_t>{0, 0}, {7, 65535}, {7, 65536},
                                         {7, 65537}, {3, 200000}}) {
        SCOPED_TRACE(std::to_string(offset) + "+" + std::to_string(length));
        EXPECT_EQ(fingerprint_of(file, static_cast<std::int64_t>(offset), static_cast<std::int64_t>(length)),
                  fingerprint_of_bytes(bytes.data() + offset, length));
    }
    close_file(file);
}
