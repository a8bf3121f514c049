#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

using namespace testkit;
namespace fs = std::filesystem;

namespace {

const std::string kTooLarge = "Resulting pak file would be too large!\nContact Pak Author.\n";
const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
#ifdef _WIN32
// Windows has no ulimit: nothing caps the writes there.
const std::vector<std::string> kFileSizeCap = {};
#else
// Caps what a faulty build could write while it should be refusing.
const std::vector<std::string> kFileSizeCap = {"sh", "-c", "ulimit -f 40000 && exec \"$0\" \"$@\""};
#endif

std::string backing_up(const std::string& target) { return kTitle + "Backing up update target " + target + "...\n"; }

std::vector<pak_member> numbered(int count, const char* prefix, const std::string& data) {
    std::vector<pak_member> members;
    for (int i = 0; i < count; ++i) members.push_back({prefix + std::to_string(i), data});
    return members;
}

std::string with_le32(std::string pak, std::size_t at, std::int32_t value) {
    put_le32(pak, at, value);
    return pak;
}

struct refusal_case {
    const char* label;
    std::vector<std::string> args;  // relative to the case directory
    char kind;  // 's'ymlink or 'h'ard link `from` to `to`, a 'b'ig sparse `from`, a 'd'irectory or named 'p'ipe
    const char *from, *to;
    std::string out;      // the whole output, or else...
    std::string mention;  // ...a part of the message after the banner
};

// Every file below `dir`, with its content (or size, for huge files) or link target.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string p = e.path().string();
        if (e.is_symlink()) files[p] = "-> " + fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            files[p] = e.file_size() > (1u << 26) ? "size " + std::to_string(e.file_size()) : read_file(p);
    }
    return files;
}

std::vector<pak_member> random_members(std::mt19937& rng) {
    static const char* const pool[] = {"a.txt", "maps/m1.bsp", "pics/colormap.pcx", "\xc9t\xc9.wav", "@z"};
    static const std::size_t lengths[] = {0, 1, 17, 4095, 4096, 4097};
    std::vector<pak_member> members(rng() % 13);
    for (auto& m : members) {
        m.name = rng() % 3 != 0 ? pool[rng() % 5] : "f" + std::to_string(rng() % 40);
        for (char& c : m.name)
            if (c >= 'a' && c <= 'z' && rng() % 2 != 0) c = static_cast<char>(c - 'a' + 'A');
        const std::size_t pick = rng() % 8;
        const std::size_t length = pick < 6 ? lengths[pick] : rng() % 9000;
        m.data = random_bytes(length, static_cast<std::uint32_t>(rng()));
    }
    return members;
}

}  // namespace

class EndToEnd : public TempDirTest {
protected:
    std::string target() const { return path("pak0.pak"); }
    std::string backup() const { return path("pak0.bak"); }
    std::string update() const { return path("update.pak"); }

    // Runs an update expected to succeed and checks stdout and all three files.
    void expect_success(const std::string& original, const std::string& update_pak,
                        const std::string& target_path, const std::string& backup_path) {
        write_file(target_path, original);
        write_file(update(), update_pak);
        const auto expected = model_merge(original, update_pak);
        ASSERT_TRUE(expected) << "the model refuses the pair";
        const run_result run = run_tarnwick({target_path}, dir());
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, success_stdout(target_path, backup_path, expected->member_lines));
        EXPECT_TRUE(same_bytes(read_file(target_path), expected->archive));
        EXPECT_TRUE(same_bytes(read_file(backup_path), original));
        EXPECT_FALSE(exists(update()));
    }

#ifndef _WIN32
    std::string reason_cannot_drop_privileges() {
        if (geteuid() != 0) return "needs root to switch to an unprivileged user";
        chmod(dir().c_str(), 0755);
        std::vector<std::string> probe = kAsNobody;
        probe.insert(probe.end(), {"test", "-x", tarnwick_exe()});
        return run_program(probe, dir()).status == 0 ? "" : "setpriv cannot run the tool as uid 65534";
    }
#endif

    // Runs the tool in a fresh tmpfs of `size` holding in/*, then copies the files back to out/.
    run_result run_on_small_disk(const std::string& size) {
        fs::remove_all(path("out"));
        fs::create_directory(path("out"));
        const std::string script = "mount -t tmpfs -o size=" + size +
                                   " tmpfs mnt || exit 90; cp in/* mnt/ && cd mnt || exit 91;"
                                   " \"$@\"; s=$?; cp * ../out/; exit $s";
        return run_tarnwick({"pak0.pak"}, dir(), {"unshare", "-m", "sh", "-c", script, "sh"});
    }

    std::string prepare_small_disk() {
        for (const char* sub : {"in", "mnt", "out"}) fs::create_directory(path(sub));
#ifdef _WIN32
        return "a small disk of its own needs unshare and tmpfs, which only Linux has";
#else
        if (geteuid() != 0) return "needs root to mount a small tmpfs";
        const run_result probe =
            run_program({"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs mnt"}, dir());
        return probe.status == 0 ? "" : "unshare -m with a tmpfs mount is not permitted here";
#endif
    }

    // Runs each case in a directory of its own and checks that no file there changes.
    void expect_refusals(const std::vector<refusal_case>& cases) {
        const std::string no_such = std::string(": ") + std::strerror(ENOENT) + "\n";
        int index = 0;
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            const std::string d = path("case" + std::to_string(index++)), from = d + "/" + c.from;
            fs::create_directory(d);
            for (const char* name : {"/pak0.pak", "/own.bak", "/update.pak"})
                write_file(d + name, build_pak({{name, "x"}}));
            std::error_code made;
            if (c.kind == 's') fs::create_symlink(c.to, from, made);
            if (c.kind == 'h') fs::create_hard_link(d + "/" + c.to, from, made);
            if (c.kind == 'd') fs::create_directory(from, made);
#ifndef _WIN32
            if (c.kind == 'p' && mkfifo(from.c_str(), 0600) != 0) made.assign(errno, std::generic_category());
#endif
            if (c.kind == 'b') {
                write_file(from, "");
                fs::resize_file(from, std::uintmax_t{1} << 31, made);
            }
            ASSERT_FALSE(made) << made.message();
            const auto before = snapshot(d);
            const run_result run = run_tarnwick(c.args, d, kFileSizeCap);
            EXPECT_EQ(run.status, 1);
            const std::string prefix = c.args.empty() ? "" : backing_up(c.args[0]) + kBanner;
            if (!c.out.empty()) {
                EXPECT_EQ(run.out, c.out);
            } else if (c.mention.empty()) {
                EXPECT_EQ(run.out, prefix + "Error opening " + c.args[0] + no_such);
            } else {
                EXPECT_EQ(run.out.substr(0, prefix.size()), prefix) << run.out;
                EXPECT_NE(run.out.find(c.mention, prefix.size()), std::string::npos) << run.out;
                EXPECT_EQ(run.out.find("Updating"), std::string::npos) << run.out;
            }
            EXPECT_EQ(snapshot(d), before);
        }
    }
};

TEST_F(EndToEnd, WalkthroughExampleByteForByte) {
    fs::create_directory(path("baseq2"));
    const std::string original =
        build_pak({{"a.txt", "alpha\n"}, {"maps/m1.bsp", "old map"}});
    const std::string update_pak = build_pak({{"MAPS/M1.BSP", "new map!!"}, {"new.wav", "RIFF"}});
    write_file(path("baseq2/pak0.pak"), original);
    write_file(update(), update_pak);

    const run_result run = run_tarnwick({"baseq2/pak0.pak", "ignored.pak"}, dir());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kTitle +
                           "Backing up update target baseq2/pak0.pak...\n"
                           "Updating baseq2/pak0.pak...\n"
                           "Updating MAPS/M1.BSP : 9 bytes\n"
                           "Updating new.wav : 4 bytes\n"
                           "\n---------------------------------------\n"
                           "Update of baseq2/pak0.pak completed!\n\n"
                           "Backup of original in baseq2/pak0.bak\n"
                           "Thanks for using tarnwick!\n");
    std::string expected = raw_header("PACK", 31, 192) + "alpha\nnew map!!RIFF" + raw_entry("a.txt", 12, 6) +
                           raw_entry("MAPS/M1.BSP", 18, 9) + raw_entry("new.wav", 27, 4);
    expected.resize(31 + 262144, '\0');
    EXPECT_TRUE(same_bytes(read_file(path("baseq2/pak0.pak")), expected));
    EXPECT_EQ(read_file(path("baseq2/pak0.bak")), original);
    EXPECT_FALSE(exists(update()));
    EXPECT_FALSE(exists(path("ignored.bak")));
    const auto modelled = model_merge(original, update_pak);
    ASSERT_TRUE(modelled);
    EXPECT_TRUE(same_bytes(modelled->archive, expected));
}

TEST_F(EndToEnd, HandMadeArchivesMergeAsModelled) {
    const std::string small = build_pak({{"a.txt", "alpha"}, {"sound/x.wav", random_bytes(300, 1)}});
    const std::string zero_length = build_pak({{"empty.txt", ""}, {"z", "z"}});
    const std::string odd_names = build_pak({{std::string("a.txt\0junk", 10), "old"},
                                             {"\xc9T\xc9.wav", "e1"}, {"@x", "at"}, {std::string(55, 'n'), "long"}});
    const std::string replaced_damaged = build_pak({{"keep", "k"}, {"bad", "b"}});
    const struct {
        const char* label;
        std::string original, update;
    } cases[] = {
        {"empty update", small, build_pak({})},
        {"empty original", build_pak({}), small},
        {"zero-length members point anywhere",
         with_le32(zero_length, entry_pos(zero_length, 0) + 56, 0x7fff0000),
         with_le32(zero_length, entry_pos(zero_length, 0) + 56, 0x7fff0000)},
        {"duplicates", build_pak({{"dup.txt", "1"}, {"keep", "k1"}, {"DUP.TXT", "2"}, {"keep", "k2"}}),
         build_pak({{"Dup.txt", "n"}, {"x", "x1"}, {"x", "x2"}})},
        {"only ASCII letters fold; bytes after the NUL are not part of a name", odd_names,
         build_pak({{std::string("A.TXT\0other", 11), "new"}, {"\xe9t\xe9.wav", "e2"}, {"`x", "tick"}})},
        {"replaced member is never read",
         with_le32(with_le32(replaced_damaged, entry_pos(replaced_damaged, 1) + 56, -100),
                   entry_pos(replaced_damaged, 1) + 60, 999999999),
         build_pak({{"BAD", "good"}})},
        {"magic and dir_length remainders are ignored", with_le32(with_le32(small, 0, 0x4b4e554a), 8, 128 + 36),
         with_le32(small, 8, 128 + 63)},
        {"chunk-sized members", build_pak({{"a", random_bytes(4095, 2)}, {"b", random_bytes(4096, 3)}}),
         build_pak({{"c", random_bytes(4097, 4)}, {"d", random_bytes(8192, 5)}, {"e", "1"}})},
        {"3072 + 1024 entries, the limit exactly", build_pak(numbered(3072, "m", "o")),
         build_pak(numbered(1024, "M", "u"))},
        {"4096 + 0 entries", build_pak(numbered(4096, "m", "")), build_pak({})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expect_success(c.original, c.update, target(), backup());
    }
}

TEST_F(EndToEnd, RandomArchivesMatchTheModel) {
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const auto original_members = random_members(rng);
        const auto update_members = random_members(rng);
        expect_success(build_pak(original_members, &rng), build_pak(update_members, &rng), target(), backup());
    }
}

TEST_F(EndToEnd, SecondRunWithTheSameUpdateGivesTheSameMembers) {
    const std::string original = build_pak({{"a", "1"}, {"b", "22"}, {"c", "333"}});
    const std::string update_pak = build_pak({{"B", "new b"}, {"d", "dd"}});
    expect_success(original, update_pak, target(), backup());
    const std::string first = read_file(target());
    expect_success(first, update_pak, target(), backup());
    EXPECT_TRUE(same_bytes(read_file(target()), first));
}

TEST_F(EndToEnd, PathOfThreeHundredCharacters) {
    const std::string deep = path(std::string(100, 'd') + "/" + std::string(100, 'e'));
    fs::create_directories(deep);
    const std::string stem = deep + "/" + std::string(90, 'f');
    ASSERT_GE(stem.size(), 300u);
    expect_success(build_pak({{"a", "1"}}), build_pak({{"b", "2"}}), stem + ".pak", stem + ".bak");
}

TEST_F(EndToEnd, BackslashIsNoSeparatorForTheBackup) {
    // On Windows the target lies in the folder games.x; elsewhere the backslash is part of its name.
#ifdef _WIN32
    fs::create_directory(path("games.x"));
#endif
    expect_success(build_pak({{"a", "1"}}), build_pak({{"b", "2"}}), path("games.x\\pak0"), path("games.bak"));
}

TEST_F(EndToEnd, DamagedInputLeavesEveryFileAsItWas) {
    const std::string o = build_pak({{"a.txt", "alpha"}, {"maps/m1.bsp", random_bytes(5000, 7)}});
    const std::string u = build_pak({{"MAPS/M1.BSP", random_bytes(3000, 8)}, {"new.wav", "RIFF"}});
    const std::size_t o0 = entry_pos(o, 0), u0 = entry_pos(u, 0), u1 = entry_pos(u, 1);
    std::string unterminated = u;
    unterminated.replace(u1, 56, std::string(56, 'w'));
    std::string too_big = raw_header("PACK", 12 + (1 << 21), 64 * 1024) + std::string(1 << 21, 'x');
    for (int i = 0; i < 1024; ++i) too_big += raw_entry("big" + std::to_string(i), 12, 1 << 21);
    const struct {
        const char* label;
        std::string original;
        std::optional<std::string> update;
        std::string message;  // the whole message, or else...
        std::string mention;  // ...a part of the tool's own message
    } cases[] = {
        {"short original header", std::string("PACK\0", 5), u, "File read failure", ""},
        {"short update header", o, std::string("PAC"), "File read failure", ""},
        {"original directory past end", o.substr(0, o.size() - 10), u, "File read failure", ""},
        {"update directory past end", o, u.substr(0, u.size() - 64), "File read failure", ""},
        {"kept member past end", with_le32(o, o0 + 60, 1000000), u, "File read failure", ""},
        {"update member past end", o, with_le32(u, u1 + 56, 5000000), "File read failure", ""},
        {"missing update.pak", o, std::nullopt, "Error opening update.pak: No such file or directory", ""},
        {"4097 entries though most are replaced", build_pak(numbered(3073, "m", "o")),
         build_pak(numbered(1024, "M", "u")), kTooLarge, ""},
        {"original over 4096 entries", build_pak(numbered(4097, "m", "")), build_pak({}), "", "/pak0."},
        {"update over 1024 entries", build_pak({}), build_pak(numbered(1025, "m", "")), "", "update.pak"},
        {"update name without NUL", o, unterminated, "", "update.pak"},
        {"original negative dir_offset", with_le32(o, 4, -64), u, "", "/pak0."},
        {"update directory offset overflows", o, with_le32(u, 4, INT32_MAX - 10), "", "update.pak"},
        {"kept member negative file_offset", with_le32(o, o0 + 56, -4), u, "", "/pak0."},
        {"update member negative file_length", o, with_le32(u, u0 + 60, -1), "", "update.pak"},
        {"update member end beyond 2^31-1", o, with_le32(u, u1 + 56, INT32_MAX - 2), "", "update.pak"},
        {"result of 2^31 bytes or more", o, too_big, "", "/pak0."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(target(), c.original);
        if (c.update) write_file(update(), *c.update);
        else fs::remove(update());
        const run_result run = run_tarnwick({target()}, dir(), kFileSizeCap);
        EXPECT_EQ(run.status, 1);
        const std::string before_message = backing_up(target()) + "Updating " + target() + "...\n" + kBanner;
        if (!c.message.empty()) {
            EXPECT_EQ(run.out, before_message + c.message + "\n");
        } else {
            EXPECT_EQ(run.out.substr(0, before_message.size()), before_message) << run.out;
            EXPECT_NE(run.out.find(c.mention, before_message.size()), std::string::npos) << run.out;
            EXPECT_EQ(run.out.back(), '\n');
        }
        EXPECT_TRUE(same_bytes(read_file(target()), c.original));
        EXPECT_TRUE(same_bytes(read_file(backup()), c.original));
        EXPECT_EQ(exists(update()), c.update.has_value());
        if (c.update) {
            EXPECT_TRUE(same_bytes(read_file(update()), *c.update));
            EXPECT_FALSE(model_merge(c.original, *c.update)) << "the model accepts the pair";
        }
    }
}

TEST_F(EndToEnd, RefusalsWriteNothing) {
    const std::string usage =
        "Usage: tarnwick [file]\n\nOptions:\n\n"
        "   file - absolute path and name of pak file to update\n"
        "          e.g.: Windows: c:/quake2/baseq2/pak0.pak\n"
        "                Linux:   /quake2/baseq2/pak0.pak\n";
    expect_refusals({
        {"no argument", {}, 0, "", "", kTitle + usage, ""},
        {"missing target", {"none.pak"}, 0, "", "", "", ""},
        {"empty argument", {""}, 0, "", "", "", ""},
        {"target is update.pak", {"update.pak"}, 0, "", "", "", "update.pak"},
        {"target is ./update.pak", {"./update.pak"}, 0, "", "", "", "update.pak"},
#ifdef _WIN32
        {"target is .\\UPDATE.PAK, one file to Windows", {".\\UPDATE.PAK"}, 0, "", "", "", "update.pak"},
        {"target is its own backup in capitals, one file to Windows", {"OWN.BAK"}, 0, "", "", "", "OWN.BAK"},
#endif
        {"target is a hard link to update.pak", {"hard.pak"}, 'h', "hard.pak", "update.pak", "", "update.pak"},
        {"target is its own backup", {"own.bak"}, 0, "", "", "", "own.bak"},
        {"backup is a hard link to the target", {"pak0.pak"}, 'h', "pak0.bak", "pak0.pak", "", "pak0."},
        {"target of 2^31 bytes", {"big.pak"}, 'b', "big.pak", "", "", "big.pak"},
        {"target is a directory", {"dir.pak"}, 'd', "dir.pak", "", "", "dir.pak"},
#ifndef _WIN32
        // Opening a named pipe would wait for a writer forever.
        {"target is a named pipe", {"pipe.pak"}, 'p', "pipe.pak", "", "", "pipe.pak: not a regular file"},
#endif
    });
}

TEST_F(EndToEnd, RefusalsThroughSymlinksWriteNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows, and wine has none";
#endif
    expect_refusals({
        {"target is a symlink to update.pak", {"link.pak"}, 's', "link.pak", "update.pak", "", "update.pak"},
        {"backup is a symlink to the target", {"pak0.pak"}, 's', "pak0.bak", "pak0.pak", "", "pak0."},
        {"backup would overwrite update.pak", {"pak0.pak"}, 's', "pak0.bak", "update.pak", "", "update.pak"},
    });
}

TEST_F(EndToEnd, ReadOnlyFolderForTheBackup) {
#ifdef _WIN32
    GTEST_SKIP() << "a read-only folder on Windows still takes new files, and setpriv is POSIX-only";
#else
    const std::string reason = reason_cannot_drop_privileges();
    if (!reason.empty()) GTEST_SKIP() << reason;
    const std::string ro = path("ro"), work = path("work"), o = build_pak({{"a", "1"}}), u = build_pak({{"b", "2"}});
    mkdir(ro.c_str(), 0755);
    mkdir(work.c_str(), 0755);
    write_file(ro + "/pak0.pak", o);
    write_file(work + "/update.pak", u);
    for (const std::string& p : {ro + "/pak0.pak", work, work + "/update.pak"}) ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
    chmod(ro.c_str(), 0555);

    const run_result run = run_tarnwick({ro + "/pak0.pak"}, work, kAsNobody);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, backing_up(ro + "/pak0.pak") + kBanner + "Error opening " + ro + "/pak0.bak: " +
                           std::strerror(EACCES) + "\n");
    EXPECT_EQ(read_file(ro + "/pak0.pak"), o);
    EXPECT_FALSE(exists(ro + "/pak0.bak"));
    EXPECT_EQ(read_file(work + "/update.pak"), u);
#endif
}

TEST_F(EndToEnd, UndeletableUpdateIsReportedAfterTheUpdate) {
    const std::string rw = path("rw"), o = build_pak({{"a", "1"}, {"b", "old"}}), u = build_pak({{"B", "new"}});
    fs::create_directory(rw);
    write_file(rw + "/pak0.pak", o);
    write_file(update(), u);
#ifdef _WIN32
    // Windows refuses to delete a read-only file, whoever asks.
    fs::permissions(update(), fs::perms::all, fs::perm_options::remove);
    const std::vector<std::string> wrapper;
#else
    const std::string reason = reason_cannot_drop_privileges();
    if (!reason.empty()) GTEST_SKIP() << reason;
    for (const std::string& p : {rw, rw + "/pak0.pak"}) ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
    const std::vector<std::string> wrapper = kAsNobody;
#endif

    const run_result run = run_tarnwick({rw + "/pak0.pak"}, dir(), wrapper);
    const auto expected = model_merge(o, u);
    ASSERT_TRUE(expected);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, success_stdout(rw + "/pak0.pak", rw + "/pak0.bak", expected->member_lines) + kBanner +
                           "Failed to remove update.pak! Remove by hand.\n\n");
    EXPECT_TRUE(same_bytes(read_file(rw + "/pak0.pak"), expected->archive));
    EXPECT_EQ(read_file(rw + "/pak0.bak"), o);
    EXPECT_EQ(read_file(update()), u);
}

TEST_F(EndToEnd, FullDiskIsAWriteFailureNotASuccess) {
    const std::string reason = prepare_small_disk();
    if (!reason.empty()) GTEST_SKIP() << reason;
    const struct {
        const char* label;
        const char* disk_size;
        std::size_t original_size, update_size;
        std::string expected_start;
        const char* failing_file;  // the other of pak0.pak and pak0.bak must hold the original
        const char* intact_file;
    } cases[] = {
        {"backup does not fit", "200k", 120000, 1, backing_up("pak0.pak") + kBanner, "pak0.bak", "pak0.pak"},
        // The inputs and the backup fit; the result with its 256 KiB directory does not.
        {"result does not fit", "300k", 40000, 10000, backing_up("pak0.pak") + "Updating pak0.pak...\n", "pak0.pak",
         "pak0.bak"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string o = build_pak({{"a", random_bytes(c.original_size, 10)}});
        const std::string u = build_pak({{"b", random_bytes(c.update_size, 11)}});
        write_file(path("in/pak0.pak"), o);
        write_file(path("in/update.pak"), u);
        const run_result run = run_on_small_disk(c.disk_size);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out.rfind(c.expected_start, 0), 0u) << run.out;
        EXPECT_NE(run.out.find(kBanner), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.failing_file + std::string(": ") + std::strerror(ENOSPC)), std::string::npos)
            << run.out;
        EXPECT_EQ(run.out.find("completed"), std::string::npos) << run.out;
        EXPECT_EQ(read_file(path("out/") + c.intact_file), o);
        EXPECT_EQ(read_file(path("out/update.pak")), u);
    }
}
