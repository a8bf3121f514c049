// Runs that update an archive: the walkthrough, hand-made and random archives
// against the model, and paths of every shape.

#include <string>
#include <vector>

#include "end_to_end.h"


TEST_F(EndToEnd, WalkthroughExampleByteForByte) {
    fs::create_directory(path("baseq2"));
    const std::string original =
        build_pak({{"a.txt", "alpha\n"}, {"maps/m1.bsp", "old map"}});
    const std::string update_pak = build_pak({{"MAPS/M1.BSP", "new map!!"}, {"new.wav", "RIFF"}});
    write_file(path("baseq2/pak0.pak"), original);
    write_file(update(), update_pak);

    // A dry run says what the run will do, and changes nothing.
    const auto before = snapshot(dir());
    const run_result dry = run_tarnwick({"--dry-run", "baseq2/pak0.pak"}, dir());
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(without_unseen_note(dry.out), kTitle +
                           "Dry run of the update of baseq2/pak0.pak: nothing was changed\n"
                           "A run would back up baseq2/pak0.pak to baseq2/pak0.bak, then rewrite it:\n"
                           "  MAPS/M1.BSP : 9 bytes, replaces maps/m1.bsp\n"
                           "  new.wav : 4 bytes, adds\n"
                           "  kept: 1 of 2 members\n"
                           "  size: 153 bytes now, 262175 bytes after; the directory always holds 4,096 entries\n"
                           "  rewritten: 262157 bytes, from offset 18\n");
    EXPECT_EQ(snapshot(dir()), before);

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

    // --undo exchanges the archive and its backup; a second one redoes the update.
    for (const std::string& now : {original, expected}) {
        const run_result undo = run_tarnwick({"--undo", "baseq2/pak0.pak"}, dir());
        EXPECT_EQ(undo.status, 0);
        EXPECT_EQ(undo.out, kTitle + "Undoing the update of baseq2/pak0.pak...\nExchanged baseq2/pak0.pak and "
                                     "baseq2/pak0.bak: each now holds what the other held; --undo again exchanges "
                                     "them back\n");
        EXPECT_TRUE(same_bytes(read_file(path("baseq2/pak0.pak")), now));
        EXPECT_TRUE(same_bytes(read_file(path("baseq2/pak0.bak")), now == original ? expected : original));
    }
    // Without root, other users' programs cannot be looked at for holding the archive; the dry run says so.
    if (reason_cannot_drop_privileges().empty()) {
        write_file(update(), update_pak);
        for (const std::string& p : {dir(), path("baseq2"), path("baseq2/pak0.pak"), update()})
            fs::permissions(p, fs::perms::all);
        const run_result unseen = run_tarnwick({"--dry-run", "baseq2/pak0.pak"}, dir(), kAsNobody);
        EXPECT_EQ(unseen.status, 0) << unseen.out;
        EXPECT_NE(unseen.out.find("\nSome programs could not be looked at: whether one of them has baseq2/pak0.pak "
                                  "open is not known\n"),
                  std::string::npos)
            << unseen.out;
    }
}


TEST_F(EndToEnd, HandMadeArchivesMergeAsModelled) {
    const std::string small = build_pak({{"a.txt", "alpha"}, {"sound/x.wav", random_bytes(300, 1)}});
    const std::string zero_length = build_pak({{"empty.txt", ""}, {"z", "z"}});
    const std::string odd_names = build_pak({{std::string("a.txt\0junk", 10), "old"},
                                             {"\xc9T\xc9.wav", "e1"}, {"@x", "at"}, {std::string(55, 'n'), "long"}});
    const std::string replaced_damaged = build_pak({{"keep", "k"}, {"bad", "b"}});
    // "e" is made to point past the members that stay in place, "b" into the blob of "a".
    const std::string empty_past = build_pak({{"a", "1"}, {"e", ""}, {"b", "22"}, {"c", "333"}});
    const std::string shared = build_pak({{"a", "hello"}, {"b", "world"}, {"c", "x"}});
    const struct {
        const char* label;
        std::string original, update;
        std::string preview = "";  // a line a dry run shows first
        std::string warnings = "";  // what the dry run says on standard error
    } cases[] = {
        {"empty update", small, build_pak({})},
        {"empty original", build_pak({}), small},
        {"zero-length members point anywhere",
         with_le32(zero_length, entry_pos(zero_length, 0) + 56, 0x7fff0000),
         with_le32(zero_length, entry_pos(zero_length, 0) + 56, 0x7fff0000)},
        {"duplicates", build_pak({{"dup.txt", "1"}, {"keep", "k1"}, {"DUP.TXT", "2"}, {"keep", "k2"}}),
         build_pak({{"Dup.txt", "n"}, {"x", "x1"}, {"x", "x2"}, {"X", "x3"}}), "  Dup.txt : 1 bytes, replaces dup.txt\n",
         "tarnwick: update.pak holds x more than once; the game loads only one of them\n"},
        // The same spelling needs no name after "replaces"; names that differ in case alone are one name.
        {"a member replaced in the same spelling, and one added twice in two cases", build_pak({{"maps/m1.bsp", "old"}}),
         build_pak({{"maps/m1.bsp", "newer"}, {"A.TXT", "1"}, {"a.txt", "2"}}), "  maps/m1.bsp : 5 bytes, replaces\n",
         "tarnwick: update.pak holds a.txt more than once; the game loads only one of them\n"},
        {"only ASCII letters fold; bytes after the NUL are not part of a name", odd_names,
         build_pak({{std::string("A.TXT\0other", 11), "new"}, {"\xe9t\xe9.wav", "e2"}, {"`x", "tick"}})},
        {"replaced member is never read",
         with_le32(with_le32(replaced_damaged, entry_pos(replaced_damaged, 1) + 56, -100),
                   entry_pos(replaced_damaged, 1) + 60, 999999999),
         build_pak({{"BAD", "good"}})},
        {"dir_length remainders are ignored", with_le32(small, 8, 128 + 36),
         with_le32(small, 8, 128 + 63)},
        {"result shorter than the original", build_pak({{"a", "1"}, {"big", random_bytes(400000, 9)}, {"z", "2"}}),
         build_pak({{"BIG", "tiny"}})},
        {"kept empty member and update member both at offset 12", build_pak({{"empty", ""}, {"old", "o"}}),
         build_pak({{"OLD", "new"}})},
        {"an empty member points past the members in place", with_le32(empty_past, entry_pos(empty_past, 1) + 56, 9000),
         build_pak({{"C", "new"}})},
        {"a member in place and a moved one share a blob", with_le32(shared, entry_pos(shared, 1) + 56, 12),
         build_pak({{"C", "new"}})},
        {"chunk-sized members", build_pak({{"a", random_bytes(4095, 2)}, {"b", random_bytes(4096, 3)}}),
         build_pak({{"c", random_bytes(4097, 4)}, {"d", random_bytes(8192, 5)}, {"e", "1"}})},
        {"3072 + 1024 entries, the limit exactly", build_pak(numbered(3072, "m", "o")),
         build_pak(numbered(1024, "M", "u"))},
        // A directory length with a remainder: the same bytes would be an archive the empty update is applied to.
        {"4096 + 0 entries", with_le32(build_pak(numbered(4096, "m", "")), 8, 4096 * 64 + 36), build_pak({})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.preview.empty()) {
            write_file(target(), c.original);
            write_file(update(), c.update);
            const run_result dry = run_tarnwick({"--dry-run", "pak0.pak"}, dir(), errors_into(path("errors")));
            EXPECT_NE(dry.out.find(":\n" + c.preview), std::string::npos) << dry.out;
            if (errors_can_be_caught()) {
                EXPECT_EQ(read_file(path("errors")), c.warnings);
            }
            fs::remove(path("errors"));
        }
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
    // An empty update rewrites the archive the first time, as any update does, and is then held by it.
    for (const std::string& applied : {build_pak({}), update_pak}) {
        SCOPED_TRACE(applied.size() == 12 ? "an empty update" : "an update");
        fs::remove(backup());
        expect_success(original, applied, target(), backup());
        // Applied again, it rewrites nothing and keeps the backup of the original,
        // even one that another archive's cut-short update would need.
        write_file(update(), applied);
        write_file(path("pak0.x"), "\x89TWr" + original.substr(4));
        const std::string first = read_file(target());
        EXPECT_EQ(without_unseen_note(run_tarnwick({"--dry-run", "pak0.pak"}, dir()).out),
                  kTitle + "Dry run of the update of pak0.pak: nothing was changed\npak0.pak already holds the update "
                           "in update.pak: a run would rewrite nothing and remove update.pak\n");
        const run_result again = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.out, kTitle + "pak0.pak already holds the update in update.pak: nothing was rewritten, no "
                                      "backup was made\n\n---------------------------------------\nThanks for using "
                                      "tarnwick!\n");
        EXPECT_TRUE(same_bytes(read_file(target()), first));
        EXPECT_EQ(read_file(backup()), original);
        EXPECT_FALSE(exists(update()));
        fs::remove(path("pak0.x"));
    }
    // The same members in other bytes, or a name in another case, are another update.
    const std::string first = read_file(target());
    for (const std::string& other : {build_pak({{"B", "new B"}, {"d", "dd"}}), build_pak({{"b", "new b"}, {"d", "dd"}})}) {
        expect_success(first, other, target(), backup());
        write_file(target(), first);
    }
}


TEST_F(EndToEnd, PathOfThreeHundredCharacters) {
    const std::string deep = path(std::string(100, 'd') + "/" + std::string(100, 'e'));
    fs::create_directories(deep);
    const std::string stem = deep + "/" + std::string(90, 'f');
    ASSERT_GE(stem.size(), 300u);
    expect_success(build_pak({{"a", "1"}}), build_pak({{"b", "2"}}), stem + ".pak", stem + ".bak");
}


TEST_F(EndToEnd, BackslashSeparatesFoldersOnlyOnWindows) {
    // On Windows the target lies in the folder games.x; elsewhere the backslash is part of its name.
    if (backslash_separates_folders()) fs::create_directory(path("games.x"));
    const std::string backup_path = backslash_separates_folders() ? path("games.x\\pak0.bak") : path("games.bak");
    expect_success(build_pak({{"a", "1"}}), build_pak({{"b", "2"}}), path("games.x\\pak0"), backup_path);
}

// Windows passes arguments in the ANSI code page and opens nothing of 260
// characters or more unless the program asks otherwise. Paths are relative
// to the test directory, or else absolute; `linked` is made another name of
// the target first.
TEST_F(EndToEnd, PathsInEveryLanguageAndOfAnyLength) {
    const auto repeated = [](const std::string& text, int count) {
        std::string out;
        for (int i = 0; i < count; ++i) out += text;
        return out;
    };
    const std::string mixed = "Дмитрий ünï 测试", cjk = "測試", emoji = "карты 🎮";
    // 243 characters below the test folder; only the file goes past 260, as the clean-up on
    // Windows cannot list a longer folder.
    const std::string deep = mixed + "/" + repeated("Ж", 80) + "/" + repeated("ü", 80) + "/" + repeated("地", 60);
    // Named after the test folder, so that runs side by side never share it.
    const std::string in_root = "/" + fs::path(dir()).filename().string();
    const struct {
        const char* label;
        std::string target, backup, linked;
    } cases[] = {
        {"Cyrillic, accented Latin and CJK", mixed + "/pak0.pak", mixed + "/pak0.bak", ""},
        {"the backup's own name in CJK", cjk + "/地图.pak", cjk + "/地图.bak", ""},
        {"an emoji, two UTF-16 units", emoji + "/pak0.pak", emoji + "/pak0.bak", ""},
        {"over 260 characters", deep + ".pak", deep + ".bak", ""},
        {"the target a hard link in such a folder", cjk + "/链接.pak", cjk + "/链接.bak", mixed + "/pak0.pak"},
        {"the backup a hard link to the target", mixed + "/pak0.pak", mixed + "/pak0.bak", mixed + "/pak0.bak"},
        // Last, as it may skip: only root may write there, and the flush of the folder is seen by strace.
        {"an archive in the root folder", in_root + ".pak", in_root + ".bak", ""},
    };
    const std::string o = build_pak({{"a", "1"}, {"b", "old"}}), u = build_pak({{"B", "new"}, {"c", "3"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.target[0] == '/') {
            std::string reason = reason_cannot_trace();
            if (reason.empty() && !running_as_root()) reason = "needs root to put an archive in the root folder";
            if (!reason.empty()) GTEST_SKIP() << reason;
            // The backup's new name is on disk before the archive changes: its folder, "/", is flushed.
            expect_success(o, u, c.target, c.backup,
                           {"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-y", "-o", path("trace"), "-e",
                            "trace=rename,renameat,renameat2,fsync"});
            const std::string calls = read_file(path("trace"));
            std::istringstream lines(calls.substr(std::min(calls.size(), calls.find("\"" + c.backup + "\")"))));
            bool root_flushed = false;
            for (std::string line; std::getline(lines, line);)
                root_flushed = root_flushed || (line.find("fsync(") != std::string::npos &&
                                                line.find("</>)") != std::string::npos);
            EXPECT_TRUE(root_flushed) << calls;
            // A message about the folder names it "/".
            write_file(c.target, o);
            fs::remove(c.backup);
            write_file(update(), u);
            const run_result failed = run_tarnwick(
                {c.target}, dir(),
                {"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                 "inject=fsync:error=EIO",
                 "-P", "/"});
            EXPECT_EQ(failed.out, backing_up(c.target) + kBanner + "Error writing /: " + std::strerror(EIO) + "\n");
            EXPECT_TRUE(same_bytes(read_file(c.target), o));
            for (const std::string& file : {c.target, c.backup, c.backup + ".tarnwick-new"}) fs::remove(file);
            continue;
        }
        const std::string target_path = path(c.target), backup_path = path(c.backup);
        fs::create_directories(fs::u8path(target_path).parent_path());
        if (c.linked.empty()) {
            expect_success(o, u, target_path, backup_path);
            continue;
        }
        write_file(target_path, o);
        fs::remove(fs::u8path(path(c.linked)));
        fs::create_hard_link(fs::u8path(target_path), fs::u8path(path(c.linked)));
        if (c.linked != c.backup) {
            expect_success(o, u, target_path, backup_path);
            EXPECT_TRUE(same_bytes(read_file(path(c.linked)), read_file(target_path)));
            continue;
        }
        write_file(update(), u);
        const run_result run = run_tarnwick({target_path}, dir());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, backing_up(target_path) + kBanner + "Cannot back up " + target_path + ": its backup " +
                               backup_path + " is the same file\n");
        EXPECT_TRUE(same_bytes(read_file(target_path), o));
        EXPECT_TRUE(same_bytes(read_file(update()), u));
    }
}
