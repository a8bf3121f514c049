// Runs refused before they change anything: damaged input, arguments, links,
// folders that refuse, and output sent where it would reach an archive.

#include <string>
#include <vector>

#include "end_to_end.h"


TEST_F(EndToEnd, DamagedInputLeavesEveryFileAsItWas) {
    const std::string o = build_pak({{"a.txt", "alpha"}, {"maps/m1.bsp", random_bytes(5000, 7)}});
    const std::string u = build_pak({{"MAPS/M1.BSP", random_bytes(3000, 8)}, {"new.wav", "RIFF"}});
    const std::size_t o0 = entry_pos(o, 0), u0 = entry_pos(u, 0), u1 = entry_pos(u, 1);
    // The archive with the name of its member `index` filling all 56 bytes.
    const auto unterminated = [](std::string pak, int index) {
        return pak.replace(static_cast<std::size_t>(entry_pos(pak, index)), 56, std::string(56, 'w'));
    };
    const std::string three = build_pak({{"x", "1"}, {"y", "2"}, {"z", "3"}});
    // 1024 members that all read the same 2 MiB; the last one `last_length` bytes of it.
    const auto huge_update = [](std::int32_t last_length) {
        std::string pak = raw_header("PACK", 12 + (1 << 21), 64 * 1024) + std::string(1 << 21, 'x');
        for (int i = 0; i < 1024; ++i) pak += raw_entry("big" + std::to_string(i), 12, i < 1023 ? 1 << 21 : last_length);
        return pak;
    };
    const std::string too_big = huge_update(1 << 21);
    // 12 + 1023 x 2 MiB + 2,000,000 bytes of data end below 2^31 - 1; the 256 KiB directory does not.
    const std::string fits_without_directory = huge_update(2000000);
    // Members that all read one 4 MiB blob and give the result exactly `result` bytes beside the 5005 bytes
    // kept from the original, then an empty member at a negative offset, which is refused after them.
    const auto update_for_result = [](std::int64_t result) {
        const std::int64_t blob = 1 << 22, data = result - 12 - 5005 - 262144;
        const auto full = static_cast<int>(data / blob), count = full + 2;
        std::string pak = raw_header("PACK", 12 + (1 << 22), 64 * count) + std::string(1 << 22, 'x');
        for (int i = 0; i < full; ++i) pak += raw_entry("big" + std::to_string(i), 12, 1 << 22);
        pak += raw_entry("rest", 12, static_cast<std::int32_t>(data % blob));
        return pak + raw_entry("bad", -1, 0);
    };
    const struct {
        const char* label;
        std::string original;
        std::optional<std::string> update;
        std::string message;  // the whole message, or else...
        std::string mention;  // ...a part of the tool's own message
        std::string errors = "";  // where given, standard error; {target} stands for the archive's path
    } cases[] = {
        {"short original header", std::string("PACK\0", 5), u, "File read failure", "",
         "tarnwick: {target} is 5 bytes, shorter than its 12-byte header\n"},
        {"short update header", o, std::string("PAC"), "File read failure", "",
         "tarnwick: update.pak is 3 bytes, shorter than its 12-byte header\n"},
        {"original directory past end", o.substr(0, o.size() - 10), u, "File read failure", "",
         "tarnwick: {target} is " + std::to_string(o.size() - 10) + " bytes, but its directory ends at byte " +
             std::to_string(o.size()) + "\n"},
        {"update directory past end", o, u.substr(0, u.size() - 64), "File read failure", "",
         "tarnwick: update.pak is " + std::to_string(u.size() - 64) + " bytes, but its directory ends at byte " +
             std::to_string(u.size()) + "\n"},
        {"kept member past end", with_le32(o, o0 + 60, 1000000), u, "File read failure", "",
         "tarnwick: {target} is " + std::to_string(o.size()) + " bytes, but member 1 (a.txt) ends at byte 1000012\n"},
        {"update member past end", o, with_le32(u, u1 + 56, 5000000), "File read failure", "",
         "tarnwick: update.pak is " + std::to_string(u.size()) + " bytes, but member 2 (new.wav) ends at byte 5000004\n"},
        // Its directory before its data: the last member ends one byte past the end of the file.
        {"update member one byte past end", o, raw_header("PACK", 12, 64) + raw_entry("a", 76, 9) + "12345678",
         "File read failure", "", "tarnwick: update.pak is 84 bytes, but member 1 (a) ends at byte 85\n"},
        {"missing update.pak, as in a second run of one command", o, std::nullopt,
         "Error opening update.pak: No such file or directory", ""},
        {"empty update.pak", o, std::string(), "File read failure", "",
         "tarnwick: update.pak is 0 bytes, shorter than its 12-byte header\n"},
        {"zeros as update.pak", o, std::string(4096, '\0'), "Damaged archive update.pak: it is not a pak file", ""},
        {"a zip saved as update.pak", o, "PK\x03\x04\x14\x00\x00\x00\x08\x00\x8b\xa7" + std::string(300, 'z'),
         "Damaged archive update.pak: it is not a pak file", ""},
        {"update.pak with negative dir_length", o, with_le32(u, 8, -64),
         "Damaged archive update.pak: the directory has negative length -64", ""},
        {"a program as the target", "MZ\x90\x00" + o.substr(4), u, "", "/pak0.pak: it is not a pak file"},
        {"a header neither an archive's nor a mark's, nor torn between them", "\x89TXK" + o.substr(4), u, "",
         "/pak0.pak: it is not a pak file"},
        {"4097 entries though most are replaced", build_pak(numbered(3073, "m", "o")),
         build_pak(numbered(1024, "M", "u")), kTooLarge, ""},
        {"original over 4096 entries", build_pak(numbered(4097, "m", "")), build_pak({}),
         "Archive " + target() + " lists 4097 members, more than the 4096 it may hold", ""},
        {"update over 1024 entries", build_pak({}), build_pak(numbered(1025, "m", "")),
         "Archive update.pak lists 1025 members, more than the 1024 it may hold", ""},
        {"update name without NUL", o, unterminated(u, 1),
         "Damaged archive update.pak: the name of member 2 is not terminated within its 56 bytes", ""},
        {"the original's first name without NUL", unterminated(o, 0), u,
         "Damaged archive " + target() + ": the name of member 1 is not terminated within its 56 bytes", ""},
        {"the third name of three without NUL", o, unterminated(three, 2),
         "Damaged archive update.pak: the name of member 3 is not terminated within its 56 bytes", ""},
        {"original negative dir_offset", with_le32(o, 4, -64), u,
         "Damaged archive " + target() + ": the directory starts at negative offset -64", ""},
        {"update directory offset overflows", o, with_le32(u, 4, INT32_MAX - 10),
         "Damaged archive update.pak: the directory reaches past offset 2147483647", ""},
        {"kept member negative file_offset", with_le32(o, o0 + 56, -4), u,
         "Damaged archive " + target() + ": member 1 (a.txt) starts at negative offset -4", ""},
        {"update member negative file_length", o, with_le32(u, u0 + 60, -1),
         "Damaged archive update.pak: member 1 (MAPS/M1.BSP) has negative length -1", ""},
        {"update member end beyond 2^31-1", o, with_le32(u, u1 + 56, INT32_MAX - 2),
         "Damaged archive update.pak: member 2 (new.wav) reaches past offset 2147483647", ""},
        {"result of 2^31 bytes or more", o, too_big,
         "The updated " + target() + " would be 2147750809 bytes or more, more than a pak file can address", ""},
        {"result reaches 2^31 only with its directory", o, fits_without_directory,
         "The updated " + target() + " would be 2147653657 bytes or more, more than a pak file can address", ""},
        {"update member ends exactly at 2^31-1", o, with_le32(with_le32(u, u1 + 56, INT32_MAX - 4), u1 + 60, 4),
         "File read failure", "",
         "tarnwick: update.pak is " + std::to_string(u.size()) + " bytes, but member 2 (new.wav) ends at byte 2147483647\n"},
        {"update directory at exactly 2^31-1", o, with_le32(with_le32(u, 4, INT32_MAX), 8, 64), "File read failure", "",
         "tarnwick: update.pak is " + std::to_string(u.size()) + " bytes, but its directory ends at byte 2147483711\n"},
        {"result of exactly 2^31-1 bytes passes the size check", o, update_for_result(INT32_MAX), "",
         "update.pak: member 513 (bad) starts at negative offset -1"},
        {"result of exactly 2^31 bytes", o, update_for_result(std::int64_t{INT32_MAX} + 1),
         "The updated " + target() + " would be 2147483648 bytes or more, more than a pak file can address", ""},
        {"the first member is member 1", o, with_le32(u, u0 + 56, -4), "",
         "update.pak: member 1 (MAPS/M1.BSP) starts at negative offset -4"},
    };
    const std::string earlier_backup = build_pak({{"earlier", "the backup of an earlier run"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(target(), c.original);
        write_file(backup(), earlier_backup);
        if (c.update) {
            write_file(update(), *c.update);
        } else {
            fs::remove(update());
        }
        fs::remove(path("errors"));
        const auto before = snapshot(dir());
        std::vector<std::string> wrapper = kFileSizeCap;
        if (errors_can_be_caught()) wrapper[2] += " 2>errors";
        const run_result run = run_tarnwick({target()}, dir(), wrapper);
        std::map<std::string, std::string> after = snapshot(dir());
        if (errors_can_be_caught() && !c.errors.empty()) {
            std::string expected = c.errors;
            const std::size_t at = expected.find("{target}");
            if (at != std::string::npos) expected.replace(at, 8, target());
            EXPECT_EQ(after[path("errors")], expected);
        }
        after.erase(path("errors"));
        EXPECT_EQ(run.status, 1);
        const std::string before_message = backing_up(target()) + kBanner;
        if (!c.message.empty()) {
            EXPECT_EQ(run.out, before_message + c.message + "\n");
        } else {
            EXPECT_EQ(run.out.substr(0, before_message.size()), before_message) << run.out;
            EXPECT_NE(run.out.find(c.mention, before_message.size()), std::string::npos) << run.out;
            EXPECT_EQ(run.out.back(), '\n');
        }
        EXPECT_TRUE(after == before) << "a refused run changed a file";
        if (c.update) {
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
    // The text itself is compared with its copies in README.md and the man
    // page (scripts/help-text); here it must answer wherever --help stands.
    const std::string help = run_tarnwick({"--help"}, dir()).out.substr(kTitle.size());
    EXPECT_EQ(help.substr(0, usage.size() + 1), usage + "\n");
    // The dry run of each case's own pak0.pak and update.pak.
    const std::string dry_run = kTitle +
                                "Dry run of the update of pak0.pak: nothing was changed\n"
                                "A run would back up pak0.pak to pak0.bak, then rewrite it:\n"
                                "  /update.pak : 1 bytes, adds\n"
                                "  kept: 1 of 1 members\n"
                                "  size: 77 bytes now, 262158 bytes after; the directory always holds 4,096 entries\n"
                                "  rewritten: 262145 bytes, from offset 13\n";
    expect_refusals({
        {"no argument", {}, 0, "", "", kTitle + usage, ""},
        {"--help", {"--help"}, 0, "", "", kTitle + help, "", 0},
        {"--help after the archive", {"pak0.pak", "--help"}, 0, "", "", kTitle + help, "", 0},
        {"--dry-run and --undo together", {"--dry-run", "pak0.pak", "--undo"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: --dry-run and --undo cannot be given together\n"},
        {"--dry-run of two archives", {"--dry-run", "pak0.pak", "own.bak"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: --dry-run takes one archive; 2 given\n"},
        {"--undo of no archive", {"--undo"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: --undo takes one archive; 0 given\n"},
        {"no update.pak in the current folder", {"pak0.pak"}, 'n', "update.pak", "",
         backing_up("pak0.pak") + kBanner + "Error opening update.pak: " + std::strerror(ENOENT) + "\n", "", 1,
         "tarnwick: update.pak is read from the current folder, {folder}\n"},
        {"--version, the first option of two", {"pak0.pak", "--version", "--help"}, 0, "", "", "tarnwick " TARNWICK_VERSION "\n", "", 0},
        {"--help, the first option of two", {"--help", "--version"}, 0, "", "", kTitle + help, "", 0},
        {"no short or other spelling of an option", {"-h", "--HELP", "-V"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: unknown option -h; to name a file that begins with '-', write ./-h\n"},
        {"a misspelt option after the archive", {"pak0.pak", "--dryrun"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: unknown option --dryrun; to name a file that begins with '-', write ./--dryrun\n"},
        {"a misspelt option before the archive", {"--dryrun", "pak0.pak"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: unknown option --dryrun; to name a file that begins with '-', write ./--dryrun\n"},
        {"an archive that begins with '-'", {"-pak0.pak"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: unknown option -pak0.pak; to name a file that begins with '-', write ./-pak0.pak\n"},
        {"an archive that begins with '-', named as the hint says", {"./-pak0.pak"}, 0, "", "", "", ""},
        {"a lone '-' after the archive", {"none.pak", "-"}, 0, "", "", "", "", 1,
         "tarnwick: 1 further argument ignored; one archive is updated per run\n"},
        {"one further argument", {"none.pak", "pak0.pak"}, 0, "", "", "", "", 1,
         "tarnwick: 1 further argument ignored; one archive is updated per run\n"},
        {"two further arguments", {"none.pak", "pak0.pak", "own.bak"}, 0, "", "", "", "", 1,
         "tarnwick: 2 further arguments ignored; one archive is updated per run\n"},
        {"missing target", {"none.pak"}, 0, "", "", "", ""},
        {"empty argument", {""}, 0, "", "", "", ""},
        {"target is update.pak", {"update.pak"}, 0, "", "", 
         backing_up("update.pak") + kBanner + "Cannot update update.pak: it is the same file as update.pak\n", ""},
        {"target is ./update.pak", {"./update.pak"}, 0, "", "",
         backing_up("./update.pak") + kBanner + "Cannot update ./update.pak: it is the same file as update.pak\n", ""},
#ifdef _WIN32
        {"target is .\\UPDATE.PAK, one file to Windows", {".\\UPDATE.PAK"}, 0, "", "", "", "update.pak"},
        {"target is its own backup in capitals, one file to Windows", {"OWN.BAK"}, 0, "", "", "", "OWN.BAK"},
        {"target is the NUL device", {"NUL"}, 0, "", "", "", "NUL: not a regular file"},
        {"the backup is another archive's original, which its cut-short update needs, in a folder named with a "
         "backslash", {"sub\\pak0.pak"}, 'm', "sub/pak0.x", "sub/pak0.bak",
         backing_up("sub\\pak0.pak") + kBanner +
             "Cannot update sub\\pak0.pak: the interrupted update of sub\\pak0.x still needs its original in "
             "sub\\pak0.bak; finish it first by running tarnwick on sub\\pak0.x\n",
         ""},
#else
        // A file on the way is no folder: nothing is there, as the open says.
        {"target below a file", {"pak0.pak/x.pak"}, 0, "", "",
         backing_up("pak0.pak/x.pak") + kBanner + "Error opening pak0.pak/x.pak: " + std::strerror(ENOTDIR) + "\n", ""},
#endif
        {"target is a hard link to update.pak", {"hard.pak"}, 'h', "hard.pak", "update.pak",
         backing_up("hard.pak") + kBanner + "Cannot update hard.pak: it is the same file as update.pak\n", ""},
        {"target is its own backup", {"own.bak"}, 0, "", "",
         backing_up("own.bak") + kBanner + "Cannot back up own.bak: its backup own.bak is the same file\n", ""},
        {"backup is a hard link to the target", {"pak0.pak"}, 'h', "pak0.bak", "pak0.pak",
         backing_up("pak0.pak") + kBanner + "Cannot back up pak0.pak: its backup pak0.bak is the same file\n", ""},
        {"target of 2^31 bytes", {"big.pak"}, 'b', "big.pak", "",
         backing_up("big.pak") + kBanner +
             "File big.pak is too large: 2147483648 bytes, more than the 2147483647 a pak file can address\n",
         ""},
        // Not too large, but the record would end past what an archive can address.
        {"target of 2^31 - 1 bytes", {"big.pak"}, 'b', "big.pak", "2147483647",
         backing_up("big.pak") + kBanner +
             "Cannot update big.pak: the rewrite would end within 56 bytes of the largest size a pak file can have, "
             "which leaves no room for the record that lets an interrupted update be finished\n",
         ""},
        {"update.pak of 2^31 bytes", {"pak0.pak"}, 'b', "update.pak", "",
         backing_up("pak0.pak") + kBanner +
             "File update.pak is too large: 2147483648 bytes, more than the 2147483647 a pak file can address\n",
         ""},
        {"target is a directory", {"dir.pak"}, 'd', "dir.pak", "", backing_up("dir.pak") + kBanner + "Error opening dir.pak: Is a directory\n", ""},
        {"update.pak is a directory", {"pak0.pak"}, 'd', "update.pak", "",
         backing_up("pak0.pak") + kBanner + "Error opening update.pak: Is a directory\n", ""},
        {"the backup is another archive's original, which its cut-short update needs", {"own.x"}, 'm', "own.pak",
         "own.x",
         backing_up("own.x") + kBanner +
             "Cannot update own.x: the interrupted update of own.pak still needs its original in own.bak; finish it "
             "first by running tarnwick on own.pak\n",
         ""},
        {"the backup, in another folder, is another archive's original, which its cut-short update needs",
         {"sub/own.x"}, 'm', "sub/own.pak", "sub/own.x",
         backing_up("sub/own.x") + kBanner +
             "Cannot update sub/own.x: the interrupted update of sub/own.pak still needs its original in sub/own.bak; "
             "finish it first by running tarnwick on sub/own.pak\n",
         ""},
        {"the backup is the original of another archive's rewrite, complete but for its magic", {"own.x"}, 'c',
         "own.pak", "own.x",
         backing_up("own.x") + kBanner +
             "Cannot update own.x: the interrupted update of own.pak still needs its original in own.bak; finish it "
             "first by running tarnwick on own.pak\n",
         ""},
        {"backup is a directory", {"pak0.pak"}, 'd', "pak0.bak", "",
         backing_up("pak0.pak") + kBanner + "Error opening pak0.bak: Is a directory\n", ""},
        {"a folder at the backup's temporary name", {"pak0.pak"}, 'd', "pak0.bak.tarnwick-new", "",
         backing_up("pak0.pak") + kBanner + "Error opening pak0.bak.tarnwick-new: Is a directory\n", ""},
        // A game holds its pak files open for as long as it runs.
        {"the target held open by another program", {"pak0.pak"}, 0, "", "",
         backing_up("pak0.pak") + kBanner + held_refusal("Cannot update pak0.pak: "), "", 1, "", "pak0.pak"},
        {"a marked target held open by another program", {"pak0.pak"}, 'm', "pak0.pak", "other.pak",
         kTitle + kBanner + held_refusal("Cannot finish the interrupted update of pak0.pak: "), "", 1, "", "pak0.pak"},
        {"only update.pak held open by another program", {"--dry-run", "pak0.pak"}, 0, "", "", dry_run, "", 0, "",
         "update.pak"},
        {"the target held open by a program that has ended", {"--dry-run", "pak0.pak"}, 0, "", "", dry_run, "", 0, "",
         "pak0.pak", true},
#ifndef _WIN32
        // Every run of this tool has this name; another program of another name is no run.
        {"the target held open by a program named tarnwick", {"pak0.pak"}, 0, "", "",
         backing_up("pak0.pak") + kBanner + "Cannot update pak0.pak: another run is updating it\n", "", 1, "",
         "pak0.pak", false, "tarnwick"},
        // Opening a named pipe would wait for a writer forever.
        {"target is a named pipe", {"pipe.pak"}, 'p', "pipe.pak", "",
         backing_up("pipe.pak") + kBanner + "Error opening pipe.pak: not a regular file\n", ""},
        {"target is a socket", {"socket.pak"}, 'k', "socket.pak", "",
         backing_up("socket.pak") + kBanner + "Error opening socket.pak: not a regular file\n", ""},
        {"target is a device", {"/dev/null"}, 0, "", "", backing_up("/dev/null") + kBanner + "Error opening /dev/null: not a regular file\n", ""},
#endif
    });
    EXPECT_FALSE(exists("/dev/null.bak"));
}


TEST_F(EndToEnd, RefusalsThroughSymlinksWriteNothing) {
    if (!can_make_symlinks()) GTEST_SKIP() << "symbolic links need a privilege on Windows, and wine has none";
    const std::string same_as_update = backing_up("pak0.pak") + kBanner +
                                       "Cannot back up pak0.pak: its backup pak0.bak is the same file as update.pak\n";
    expect_refusals({
        {"target is a symlink to update.pak", {"link.pak"}, 's', "link.pak", "update.pak",
         backing_up("link.pak") + kBanner + "Cannot update link.pak: it is the same file as update.pak\n", ""},
        {"backup is a symlink to the target", {"pak0.pak"}, 's', "pak0.bak", "pak0.pak",
         backing_up("pak0.pak") + kBanner + "Cannot back up pak0.pak: its backup pak0.bak is the same file\n", ""},
        {"backup in a folder links to the target beside it", {"sub/pak0.pak"}, 's', "sub/pak0.bak", "pak0.pak",
         backing_up("sub/pak0.pak") + kBanner + "Cannot back up sub/pak0.pak: its backup sub/pak0.bak is the same file\n",
         ""},
        {"backup would overwrite update.pak", {"pak0.pak"}, 's', "pak0.bak", "update.pak", same_as_update, ""},
        {"backup would create update.pak", {"pak0.pak"}, 'u', "pak0.bak", "update.pak", same_as_update, ""},
        {"backup in a folder would create update.pak a folder up", {"sub/pak0.pak"}, 'u', "sub/pak0.bak",
         "../update.pak",
         backing_up("sub/pak0.pak") + kBanner +
             "Cannot back up sub/pak0.pak: its backup sub/pak0.bak is the same file as update.pak\n",
         ""},
        {"backup would create ./update.pak", {"pak0.pak"}, 'u', "pak0.bak", "./update.pak", same_as_update, ""},
        {"backup is a device", {"pak0.pak"}, 's', "pak0.bak", "/dev/zero",
         backing_up("pak0.pak") + kBanner + "Error opening pak0.bak: not a regular file\n", ""},
        {"update.pak leads to the backup to be", {"pak0.pak"}, 'u', "update.pak", "pak0.bak", same_as_update, ""},
        // A marked target is never backed up, so the run never says so.
        {"update.pak leads to the backup a cut-short rewrite is finished from", {"pak0.pak"}, 'r', "update.pak",
         "pak0.bak", kTitle + same_as_update.substr(backing_up("pak0.pak").size()), "", 1,
         "tarnwick: pak0.pak is half-written and not playable; the original is in pak0.bak; running the same command "
         "again, once the cause is fixed, finishes the update\n"},
    });
    // The archive and update.pak are reached through links; a backup name
    // that links to another archive is replaced, not followed.
    const std::string o = build_pak({{"a", "1"}}), other = build_pak({{"other", "archive"}});
    const struct {
        const char* label;
        const char *link, *to;  // in a fresh folder `real` beside a file real/other.pak
        const char *target, *backup;
    } cases[] = {
        {"the archive a link", "link.pak", "real/pak0.pak", "link.pak", "link.bak"},
        {"update.pak a link", "update.pak", "real/u.pak", "pak0.pak", "pak0.bak"},
        {"the earlier backup a link to another archive", "pak0.bak", "real/other.pak", "pak0.pak", "pak0.bak"},
        {"the earlier backup a link to nothing", "pak0.bak", "real/gone.pak", "pak0.pak", "pak0.bak"},
        {"the earlier backup a link to nothing beside it", "pak0.bak", "gone.bak", "pak0.pak", "pak0.bak"},
        // Not the update.pak a run reads, which is in the current folder.
        {"the earlier backup a link to another folder's update.pak, not there", "pak0.bak", "real/update.pak",
         "pak0.pak", "pak0.bak"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const auto& entry : fs::directory_iterator(dir())) fs::remove_all(entry.path());
        fs::create_directory(path("real"));
        write_file(path("real/other.pak"), other);
        fs::create_symlink(c.to, path(c.link));
        expect_success(o, build_pak({{"b", "2"}}), path(c.target), path(c.backup));
        // Rewritten in place: the file behind the link is the archive.
        if (exists(path("real/pak0.pak"))) {
            EXPECT_EQ(read_file(path("real/pak0.pak")), read_file(path(c.target)));
        }
        EXPECT_EQ(read_file(path("real/other.pak")), other);
        EXPECT_FALSE(exists(path("real/update.pak")));
    }
}


// An archive whose backup has the target's backup name, left marked by an
// interrupted update, keeps that backup: whatever the length and shape of its
// name, in the target's folder or reached through a link. A name whose backup
// is another is no reason to refuse, and its archive is left alone.
TEST_F(EndToEnd, TheBackupStaysWhileAnotherArchiveNeedsIt) {
    const struct {
        const char* label;
        const char* target;   // relative to the case folder
        const char* sibling;  // left marked
        bool shares;          // the sibling's backup is the target's
        const char* sibling_at = "";  // where given, the sibling is a link to this marked archive
        const char* target_at = "";   // where given, the target is a link to this archive
    } cases[] = {
        {"no extension, shorter than the archive's name", "pak0.pak", "pak0", true},
        {"an extension of one letter", "pak0.pak", "pak0.x", true},
        {"an extension longer than the archive's", "pak0.pak", "pak0.an-extension-of-many-letters", true},
        {"a trailing dot", "pak0.pak", "pak0.", true},
        {"the archive without extension, the other with one", "pak0", "pak0.pak", true},
        {"dots in the name", "x.y.pak", "x.y.z", true},
        {"dots in the name, a longer extension", "x.y.pak", "x.y.zip2", true},
        {"in a folder", "sub/pak0.pak", "sub/pak0", true},
        {"a link into another folder", "pak0.pak", "pak0", true, "real/pak9.pak"},
        {"the archive a link into another folder", "link.pak", "link", true, "", "real/pak0.pak"},
        {"another name of the same length", "pak0.pak", "pak1", false},
        {"a longer name", "pak0.pak", "pak00.pak", false},
        {"a dot more in the name", "pak0.pak", "pak0.a.pak", false},
        {"the start of the name", "x.y.pak", "x.pak", false},
        {"the name without its extension, whose own is its last dot's", "x.y.pak", "x.y", false},
        {"a name that begins with a dot", "pak0.pak", ".pak0", false},
        {"the same name in the folder above", "sub/pak0.pak", "pak0", false},
    };
    const std::string o = build_pak({{"a", "1"}}), u = build_pak({{"b", "2"}});
    const std::string needed = build_pak({{"needed", "by the marked archive"}});
    const std::string marked = "\x89TWr" + build_pak({{"cut short", "x"}}).substr(4);
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if ((*c.sibling_at || *c.target_at) && !can_make_symlinks()) continue;
        if (std::string(c.sibling).back() == '.' && !trailing_dots_are_kept()) continue;
        const std::string d = path("case" + std::to_string(index++)), target = d + "/" + c.target;
        for (const char* sub : {"/sub", "/real"}) fs::create_directories(d + sub);
        std::string backup = c.target;
        backup = backup.substr(0, backup.rfind('.') == std::string::npos ? backup.size() : backup.rfind('.')) + ".bak";
        write_file(*c.target_at ? d + "/" + c.target_at : target, o);
        if (*c.target_at) fs::create_symlink(d + "/" + c.target_at, target);
        write_file(d + "/" + backup, needed);
        write_file(*c.sibling_at ? d + "/" + c.sibling_at : d + "/" + c.sibling, marked);
        if (*c.sibling_at) fs::create_symlink(d + "/" + c.sibling_at, d + "/" + c.sibling);
        write_file(d + "/update.pak", u);
        const auto before = snapshot(d);
        const run_result run = run_tarnwick({c.target}, d);
        if (c.shares) {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, backing_up(c.target) + kBanner + "Cannot update " + c.target +
                                   ": the interrupted update of " + c.sibling + " still needs its original in " +
                                   backup + "; finish it first by running tarnwick on " + c.sibling + "\n");
            EXPECT_TRUE(snapshot(d) == before) << "a refused run changed a file";
            continue;
        }
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(read_file(d + "/" + backup), o);
        EXPECT_EQ(read_file(d + "/" + c.sibling), marked);
    }
}

TEST_F(EndToEnd, ReadOnlyFolderIsNamed) {
#ifdef _WIN32
    GTEST_SKIP() << "a read-only folder on Windows still takes new files, and setpriv is POSIX-only";
#else
    const std::string reason = reason_cannot_drop_privileges();
    if (!reason.empty()) GTEST_SKIP() << reason;
    const std::string o = build_pak({{"a", "1"}}), u = build_pak({{"b", "2"}}), denied = std::strerror(EACCES);
    const std::string not_permitted = std::strerror(EPERM);
    const std::string updated = model_merge(o, u)->archive;
    const struct {
        const char* label;
        std::vector<std::string> args;      // the last one stands for ro/pak0.pak
        std::optional<std::string> backup;  // ro/pak0.bak, if any
        std::string message, errors;        // {ro} stands for the folder
        bool run_in_ro;                     // and name the archive pak0.pak; else run beside update.pak
        bool read_only_mount = false;       // the new backup refused as a read-only mount does, by strace
        bool leftover = false;              // a killed run's ro/pak0.bak.tarnwick-new
        // The folder, with the archives in it, stays root's, sticky and open to all: new names may be made
        // in it, but the archives' names may not change.
        bool sticky = false;
        bool half_written = false;  // ro/pak0.pak as a run stopped right after its mark leaves it
        mode_t mode = 0555;                 // the folder's
        std::vector<std::string> inject = {};  // strace's -e options and -P for a run as nobody
        bool marked_sibling = false;        // ro/pak0, whose backup is ro/pak0.bak too, cut short
        bool backup_made = false;           // ro/pak0.bak, the original, is made before the failure
        bool append_only = false;           // the leftover made append-only, where chattr can
    } cases[] = {
        {"the backup cannot be made", {"{archive}"}, std::nullopt, "Error opening {ro}/pak0.bak: " + denied,
         "tarnwick: {ro}/pak0.bak cannot be made: its folder {ro} refuses new files\n", false},
        {"the backup cannot be made on a read-only mount", {"{archive}"}, std::nullopt,
         "Error opening {ro}/pak0.bak: " + std::string(std::strerror(EROFS)),
         "tarnwick: {ro}/pak0.bak cannot be made: its folder {ro} refuses new files\n", false, true},
        {"a killed run's temporary backup cannot be removed", {"{archive}"}, std::nullopt,
         "Cannot update {ro}/pak0.pak: {ro}/pak0.bak.tarnwick-new, left by an earlier run, cannot be removed: " +
             denied,
         "", false, false, true},
        {"a killed run's temporary backup, another user's in a sticky folder, cannot be removed", {"{archive}"},
         std::nullopt,
         "Cannot update {ro}/pak0.pak: {ro}/pak0.bak.tarnwick-new, left by an earlier run, cannot be removed: " +
             not_permitted,
         "", false, false, true, true},
        {"a killed run's temporary backup, append-only, cannot be removed", {"{archive}"}, std::nullopt,
         "Cannot update {ro}/pak0.pak: {ro}/pak0.bak.tarnwick-new, left by an earlier run, cannot be removed: " +
             not_permitted,
         "", false, false, true, false, false, 0755, {}, false, false, true},
        {"an undo cannot claim the backup's temporary name, run in its folder", {"--undo", "{archive}"}, o,
         "Error opening pak0.bak.tarnwick-new: " + denied,
         "tarnwick: pak0.bak.tarnwick-new cannot be made: its folder {ro} refuses new files\n", true},
        {"an undo cannot exchange the names, run in their folder", {"--undo", "{archive}"}, o,
         "Cannot undo the update of pak0.pak: exchanging pak0.pak and pak0.bak failed: its folder {ro} refuses the "
         "change (" + not_permitted + "); pak0.pak and pak0.bak are as they were before the undo", "", true, false,
         false, true},
        {"an undo cannot put the original back in place of a half-written archive", {"--undo", "{archive}"}, o,
         "Cannot undo the update of pak0.pak: renaming pak0.bak over it failed: its folder {ro} refuses the change (" +
             not_permitted + "); nothing was changed", "", true, false, false, true, true},
        // A folder that can be written but not read cannot be opened for its flush: the volume's covers it.
        {"a first run in a folder that can be written but not listed", {"{archive}"}, std::nullopt, "", "", false,
         false, false, false, false, 0333},
        {"a first run there, whose flush of the volume fails", {"{archive}"}, std::nullopt,
         "Error writing {ro}: " + std::string(std::strerror(EIO)), "", false, false, false, false, false, 0333,
         {"trace=syncfs", "-e", "inject=syncfs:error=EIO"}, false, true},
        {"a folder that can be written but not listed, beside a marked archive sharing the backup", {"{archive}"}, o,
         "Cannot update {ro}/pak0.pak: cannot tell whether another archive still needs its original in "
         "{ro}/pak0.bak: listing the folder {ro} failed: " + denied,
         "", false, false, false, false, false, 0333, {}, true},
        {"the folder's listing failing, beside a marked archive sharing the backup", {"{archive}"}, o,
         "Cannot update {ro}/pak0.pak: cannot tell whether another archive still needs its original in "
         "{ro}/pak0.bak: listing the folder {ro} failed: " + std::string(std::strerror(EIO)),
         "", false, false, false, false, false, 0755, {"trace=getdents64", "-e", "inject=getdents64:error=EIO"}, true},
        {"the open of a marked archive sharing the backup failing", {"{archive}"}, o,
         "Cannot update {ro}/pak0.pak: cannot tell whether {ro}/pak0 still needs its original in {ro}/pak0.bak: "
         "opening it failed: " + std::string(std::strerror(EIO)),
         "", false, false, false, false, false, 0755, {"trace=openat", "-e", "inject=openat:error=EIO", "-P", "{ro}/pak0"}, true},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string ro = path("ro" + std::to_string(index)), work = path("work" + std::to_string(index++));
        const auto filled = [&ro](std::string text) {
            for (std::size_t at; (at = text.find("{ro}")) != std::string::npos;) text.replace(at, 4, ro);
            return text;
        };
        mkdir(ro.c_str(), 0755);
        mkdir(work.c_str(), 0755);
        // An undo undoes the update; a run updates the original again over an earlier backup.
        write_file(ro + "/pak0.pak", c.half_written ? "\x89TWr" + o.substr(4) : c.args.size() > 1 ? updated : o);
        if (c.backup) write_file(ro + "/pak0.bak", *c.backup);
        if (c.leftover) write_file(ro + "/pak0.bak.tarnwick-new", o.substr(0, 20));
        if (c.marked_sibling) write_file(ro + "/pak0", "\x89TWr" + updated.substr(4, 100));
        write_file(work + "/update.pak", u);
        for (const std::string& p : {ro, ro + "/pak0.pak", ro + "/pak0.bak", ro + "/pak0.bak.tarnwick-new", work,
                                     work + "/update.pak"}) {
            if (exists(p) && c.sticky && p.rfind(ro, 0) == 0) {
                chmod(p.c_str(), p == ro ? 01777 : 0666);
            } else if (exists(p)) {
                ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0) << p;
            }
        }
        if (!c.sticky) chmod(ro.c_str(), c.mode);
        // Taken off again whatever the case finds, or the folder could not be removed.
        struct appending {
            std::string file;
            ~appending() {
                if (!file.empty()) run_program({"chattr", "-a", file}, "/");
            }
        } append_only;
        if (c.append_only) {
            if (run_program({"chattr", "+a", ro + "/pak0.bak.tarnwick-new"}, dir()).status != 0) continue;
            append_only.file = ro + "/pak0.bak.tarnwick-new";
        }
        const auto before = snapshot(ro);
        std::vector<std::string> args = c.args;
        args.back() = c.run_in_ro ? "pak0.pak" : ro + "/pak0.pak";
        std::vector<std::string> wrapper = errors_into(path("errors"));
        if (c.read_only_mount) {
            if (!reason_cannot_trace().empty()) continue;
            wrapper.insert(wrapper.end(), {"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-o", "/dev/null",
                                           "-e", "trace=openat", "-e",
                                           "inject=openat:error=EROFS", "-P", ro + "/pak0.bak.tarnwick-new"});
        } else if (!c.inject.empty()) {
            if (!reason_cannot_trace().empty()) continue;
            wrapper.insert(wrapper.end(), {"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-o", "/dev/null", "-e"});
            for (const std::string& option : c.inject) wrapper.push_back(filled(option));
            wrapper.insert(wrapper.end(), kAsNobody.begin(), kAsNobody.end());
        } else {
            wrapper.insert(wrapper.end(), kAsNobody.begin(), kAsNobody.end());
        }

        const run_result run = run_tarnwick(args, c.run_in_ro ? ro : work, wrapper);
        if (c.message.empty()) {
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_EQ(read_file(ro + "/pak0.pak"), updated);
            EXPECT_EQ(read_file(ro + "/pak0.bak"), o);
            EXPECT_FALSE(exists(work + "/update.pak"));
            continue;
        }
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out.substr(run.out.find(kBanner)), kBanner + filled(c.message) + "\n");
        EXPECT_EQ(read_file(path("errors")), filled(c.errors));
        auto after = snapshot(ro);
        if (c.backup_made) {
            EXPECT_EQ(read_file(ro + "/pak0.bak"), o);
            after.erase(ro + "/pak0.bak");
        }
        EXPECT_EQ(after, before);
        EXPECT_EQ(read_file(work + "/update.pak"), u);
        // A dry run claims the backup's temporary name as the run does, and is refused alike, a
        // killed run's leftover that cannot be removed included.
        if (c.args.size() == 1 && !c.backup_made) {
            const run_result dry = run_tarnwick({"--dry-run", args.back()}, c.run_in_ro ? ro : work, wrapper);
            EXPECT_EQ(dry.status, 1);
            EXPECT_EQ(dry.out, run.out);
            EXPECT_EQ(snapshot(ro), before);
        }
    }
#endif
}

#ifndef _WIN32

// What surrounds a run (standard streams closed, going nowhere or into an
// archive) never changes what it writes, nor its exit status.
TEST_F(EndToEnd, SurroundingsNeverReachAnArchive) {
    const std::string o = build_pak({{"a", "1"}, {"b", random_bytes(9000, 3)}});
    const std::string u = build_pak(numbered(400, "update/member-", "u"));
    const auto merged = model_merge(o, u);
    ASSERT_TRUE(merged);
    // The reader of the pipe is gone before the tool starts; SIGPIPE is set
    // back to its default, which the tool must change itself.
    const std::string broken_pipe =
        "import os, signal, sys\nsignal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
        "r, w = os.pipe()\nos.close(r)\nos.dup2(w, 1)\nos.execvp(sys.argv[1], sys.argv[1:])";
    const struct {
        const char* label;
        std::vector<std::string> wrapper;
        bool with_update;
        int status;
        const char* refusal;  // on standard error, when the run is refused for its output
        std::vector<std::string> args = {"pak0.pak"};
        bool half_done_undo = false;  // an undo stopped after its first rename: refused before it is finished
    } cases[] = {
        {"stdout closed", {"sh", "-c", "exec \"$0\" \"$@\" >&-"}, true, 0, nullptr},
        {"stdout closed, no update.pak", {"sh", "-c", "exec \"$0\" \"$@\" >&-"}, false, 1, nullptr},
        {"all three closed", {"sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"}, true, 0, nullptr},
        {"all three closed, no update.pak", {"sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"}, false, 1, nullptr},
        {"stderr closed", {"sh", "-c", "exec \"$0\" \"$@\" 2>&-"}, true, 0, nullptr},
        {"reader gone", {"python3", "-c", broken_pipe}, true, 0, nullptr},
        {"full device", {"sh", "-c", "exec \"$0\" \"$@\" >/dev/full"}, true, 0, nullptr},
        {"into the target", {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.pak 2>err"}, true, 1, "pak0.pak"},
        {"into the backup", {"sh", "-c", "exec \"$0\" \"$@\" >pak0.bak 2>err"}, true, 1, "pak0.bak"},
        {"into update.pak", {"sh", "-c", "exec \"$0\" \"$@\" >>update.pak 2>err"}, true, 1, "update.pak"},
        {"into the backup, errors too", {"sh", "-c", "exec \"$0\" \"$@\" >pak0.bak 2>&1"}, true, 1, ""},
        {"errors into the target, a further argument", {"sh", "-c", "exec \"$0\" \"$@\" more.pak 2>>pak0.pak"},
         true, 0, nullptr},
        {"into the backup, errors closed", {"sh", "-c", "exec \"$0\" \"$@\" >pak0.bak 2>&-"}, true, 1, ""},
        {"an undo into the backup, opened for writing over it", {"sh", "-c", "exec \"$0\" \"$@\" 1<>pak0.bak 2>err"},
         true, 1, "pak0.bak", {"--undo", "pak0.pak"}},
        {"an undo into the target", {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.pak 2>err"}, true, 1, "pak0.pak",
         {"--undo", "pak0.pak"}},
        {"a dry run into the backup, opened for writing over it",
         {"sh", "-c", "exec \"$0\" \"$@\" 1<>pak0.bak 2>err"}, true, 1, "pak0.bak", {"--dry-run", "pak0.pak"}},
        {"a dry run into the target", {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.pak 2>err"}, true, 1, "pak0.pak",
         {"--dry-run", "pak0.pak"}},
        {"into the backup, after an undo stopped between its renames",
         {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.bak 2>err"}, true, 1, "pak0.bak", {"pak0.pak"}, true},
        {"into the undo's third name, after it stopped between its renames",
         {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.pak.tarnwick-undo 2>err"}, true, 1, "pak0.pak.tarnwick-undo",
         {"pak0.pak"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(target(), o);
        write_file(backup(), "");
        fs::remove(update());
        fs::remove(path("err"));
        if (c.with_update) write_file(update(), u);
        if (c.half_done_undo) {
            fs::remove(target());
            write_file(backup(), o);
            write_file(path("pak0.pak.tarnwick-undo"), merged->archive);
        }
        const auto before = snapshot(dir());
        const run_result run = run_tarnwick(c.args, dir(), c.wrapper);
        EXPECT_EQ(run.status, c.status);
        if (c.half_done_undo) {
            auto after = snapshot(dir());
            after.erase(path("err"));
            EXPECT_EQ(after, before);
            fs::remove(path("pak0.pak.tarnwick-undo"));
        } else {
            const bool updated = c.status == 0;
            EXPECT_TRUE(same_bytes(read_file(target()), updated ? merged->archive : o));
            EXPECT_TRUE(same_bytes(read_file(backup()), updated ? o : ""));
            EXPECT_EQ(exists(update()), c.with_update && !updated);
        }
        if (c.refusal && *c.refusal) {
            // A dry run refuses with a run's words.
            const bool undo = c.args[0] == "--undo";
            EXPECT_EQ(read_file(path("err")), (undo ? kTitle : backing_up("pak0.pak")) + kBanner +
                                                  (undo ? "Cannot undo the update of" : "Cannot update") +
                                                  " pak0.pak: standard output is written into " + c.refusal + "\n");
        }
    }
}

#endif
