// --undo: what it refuses, what it restores, and an undo after a run stopped anywhere.

#include <string>
#include <vector>

#include "end_to_end.h"

// --undo refuses a backup it cannot tie to the archive, and then changes
// nothing; a target cut short while it was rewritten gets its original back.
// Where two names cannot be exchanged in one step, three renames through
// pak0.pak.tarnwick-undo do it; a rename that fails is taken back, and an
// undo left half done is finished first by the next undo, run or dry run.
TEST_F(EndToEnd, UndoRefusesWhatItCannotTieAndRestoresACutShortTarget) {
    const std::string o = build_pak({{"a", "1"}, {"b", random_bytes(5000, 4)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", "dd"}});
    const std::string result = model_merge(o, u)->archive;
    const std::string other = build_pak({{"other", "archive"}});
    const std::string cannot = "Cannot undo the update of pak0.pak: ";
    const std::string cannot_finish = "Cannot finish the interrupted undo of pak0.pak: ";
    const std::string as_before = "; pak0.pak and pak0.bak are as they were before the undo";
    const std::string finished = "Finished the interrupted undo of pak0.pak first: it and pak0.bak are exchanged\n";
    // The words of the rerun, which refuses the same backups.
    const std::string not_saved = "its backup pak0.bak is not the original that update saved; nothing was changed. "
                                  "Put that original back as pak0.bak and run again";
    const std::string twice = build_pak({{"A", "1"}, {"A", "2"}});
    const std::string twice_updated = model_merge(twice, build_pak({{"A", "33"}, {"B", "4"}}))->archive;
    const std::string third = path("pak0.pak.tarnwick-undo");
    std::string held_archive = held_refusal("Cannot update pak0.pak: ");
    held_archive.pop_back();
    // Wrappers that make renameat2 fail, where the tool can be traced: the
    // first call is the one-step exchange, the next three the renames. With
    // no rename flags at all, the renames are plain ones.
    std::vector<std::string> no_exchange, exchange_fails, second_fails, third_fails, no_rename_back, no_flags,
        no_flags_second_fails, no_flags_third_fails;
#ifndef _WIN32
    if (reason_cannot_trace().empty()) {
        const auto failing = [](const std::string& when, const char* error) {
            return std::vector<std::string>{"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-o", "/dev/null",
                                            "-e", "trace=renameat2",
                                            "-e", "inject=renameat2:error=" + std::string(error) + ":when=" + when};
        };
        no_exchange = failing("1", "EINVAL");
        exchange_fails = failing("1", "EIO");
        no_flags = failing("1+", "EINVAL");
        const auto plain_fails = [](const char* when) {
            return std::vector<std::string>{"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-o", "/dev/null",
                                            "-e", "trace=renameat2,rename", "-e", "inject=renameat2:error=EINVAL", "-e",
                                            "inject=rename:error=EIO:when=" + std::string(when)};
        };
        no_flags_second_fails = plain_fails("2");
        no_flags_third_fails = plain_fails("3");
#ifdef TARNWICK_LYING_COPY
        // The exchange refused before the kernel sees it, so that the calls
        // counted are the renames.
        const auto shim = [](std::vector<std::string> wrapper) {
            wrapper.insert(wrapper.end(), {"-E", "LD_PRELOAD=" TARNWICK_LYING_COPY, "-E", "TARNWICK_TEST_NO_EXCHANGE=1",
                                           "-E", "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"});
            return wrapper;
        };
        // Standard error goes to a file, where a note must say the undo is
        // half done, and nothing once the names are put back.
        const auto errors_caught = [](const std::vector<std::string>& wrapper) {
            std::vector<std::string> caught = {"sh", "-c", "exec \"$@\" 2>err", "sh"};
            caught.insert(caught.end(), wrapper.begin(), wrapper.end());
            return caught;
        };
        second_fails = errors_caught(shim(failing("2", "EIO")));
        third_fails = errors_caught(shim(failing("3", "EIO")));
        // The second fails, and so does its undoing.
        no_rename_back = errors_caught(shim(failing("2..3", "EIO")));
#endif
    }
#endif
    const struct {
        const char* label;
        std::optional<std::string> target, backup;
        std::string message;  // empty: the undo goes ahead
        std::vector<std::string> wrapper = {};
        bool linked = false;  // the backup a hard link to the target
        bool wrapped = false;  // skipped where its wrapper cannot run
        std::optional<std::string> third = std::nullopt;  // a half-done undo's pak0.pak.tarnwick-undo
        std::vector<std::string> command = {"--undo", "pak0.pak"};
        bool half_done = false;  // refused with the undo half done, which the next one finishes
        // pak0.pak, or the backup a half-done undo puts in its place, held open by another program through the run
        bool held = false;
    } cases[] = {
        {"no backup", result, std::nullopt, cannot + "its backup pak0.bak is missing"},
        {"a backup that is no archive", result, "PK\x03\x04" + o.substr(4), cannot + "its backup pak0.bak is not a pak file"},
        {"a backup of another archive", result, other,
         cannot + "its backup pak0.bak is not the archive it was updated from"},
        {"a backup left half-written itself", result, "\x89TWr" + o.substr(4),
         cannot + "its backup pak0.bak is itself an archive left half-written"},
        {"a backup complete but for its magic itself", result, "\x89TWc" + result.substr(4),
         cannot + "its backup pak0.bak is itself an archive left half-written"},
        {"cut short while rewriting, before its record", "\x89TWr" + o.substr(4, 100), o, ""},
        {"cut short while rewriting, before its record, its header with another directory length",
         "\x89TWr" + with_le32(o, 8, 64).substr(4, 100), o, cannot + not_saved},
        {"a backup that is the archive itself", result, std::nullopt, cannot + "its backup pak0.bak is the same file",
         {}, true},
        {"updated from a backup that holds a name twice", twice_updated, twice, ""},
        {"a backup whose dropped member nothing after the kept ones replaces", build_pak({{"a", "1"}, {"c", "3"}}),
         build_pak({{"a", "1"}, {"A", "22"}}), cannot + "its backup pak0.bak is not the archive it was updated from"},
        {"complete but for its magic, and a byte longer than its mark says", "\x89TWc" + result.substr(4) + '\0', o,
         cannot + "its mark does not match its length"},
        {"cut short while rewriting, its backup another archive", "\x89TWr" + o.substr(4, 100), other,
         cannot + not_saved},
        {"a file system without the exchange: three renames", result, o, "", no_exchange, false, true},
        {"the exchange fails for another reason", result, o,
         cannot + "exchanging pak0.pak and pak0.bak failed: " + std::strerror(EIO) + as_before, exchange_fails,
         false, true},
        {"the second rename fails, and the first is taken back", result, o,
         cannot + "renaming pak0.bak to pak0.pak failed: " + std::strerror(EIO) + as_before, second_fails, false,
         true},
        {"the third rename fails, and both are taken back", result, o,
         cannot + "renaming pak0.pak.tarnwick-undo to pak0.bak failed: " + std::strerror(EIO) + as_before,
         third_fails, false, true},
        {"a file system without rename flags: three plain renames", result, o, "", no_flags, false, true},
        {"without rename flags, the second rename fails, and the first is taken back", result, o,
         cannot + "renaming pak0.bak to pak0.pak failed: " + std::strerror(EIO) + as_before, no_flags_second_fails,
         false, true},
        {"without rename flags, the third rename fails, and both are taken back", result, o,
         cannot + "renaming pak0.pak.tarnwick-undo to pak0.bak failed: " + std::strerror(EIO) + as_before,
         no_flags_third_fails, false, true},
        // Refused before its magic goes on: a refused undo changes nothing.
        {"complete but for its magic, its backup another archive", "\x89TWc" + result.substr(4), other,
         cannot + "its backup pak0.bak is not the archive it was updated from"},
        {"the second rename fails, and so does taking the first back", result, o,
         cannot + "renaming pak0.bak to pak0.pak failed: " + std::strerror(EIO) +
             ", and so did putting the names back; the undo is half done: running the same command again finishes it",
         no_rename_back, false, true, std::nullopt, {"--undo", "pak0.pak"}, true},
        // A rename changes no byte a game reads; Windows refuses to rename a file open in another program.
        {"the archive held open by another program", result, o,
#ifdef _WIN32
         cannot + "renaming pak0.pak to pak0.pak.tarnwick-undo failed: another program has it open" + as_before,
#else
         "",
#endif
         {}, false, false, std::nullopt, {"--undo", "pak0.pak"}, false, true},
        {"half done, the archive at the third name", std::nullopt, o, "", {}, false, false, result},
        {"half done, the backup at the archive's name too", o, std::nullopt, "", {}, false, false, result},
        {"half done, then a run", std::nullopt, o, "", {}, false, false, result, {"pak0.pak"}},
#ifndef _WIN32
        // Found only once the undo is finished: the file the game holds is then the archive.
        {"half done, then a run, the backup held open by another program", std::nullopt, o,
         held_archive, {}, false, false, result,
         {"pak0.pak"}, false, true},
#endif
        {"half done, then a dry run", o, std::nullopt, "", {}, false, false, result, {"--dry-run", "pak0.pak"}},
        {"half done, the third name beside both others", result, o,
         cannot_finish + "pak0.pak.tarnwick-undo, pak0.pak and pak0.bak all exist, so which of them holds what "
                         "cannot be told; nothing was changed. Keep the archive and its backup under their names and "
                         "move pak0.pak.tarnwick-undo away",
         {}, false, false, result},
        {"half done, the third name alone", std::nullopt, std::nullopt,
         cannot_finish + "it left pak0.pak.tarnwick-undo, but neither pak0.pak nor pak0.bak exists; nothing was changed",
         {}, false, false, result},
        {"half done, the third name an archive left half-written", std::nullopt, o,
         cannot_finish + "pak0.pak.tarnwick-undo is itself an archive left half-written; nothing was changed", {},
         false, false, "\x89TWr" + result.substr(4)},
        {"half done, the third name another archive", std::nullopt, o,
         cannot_finish + "pak0.pak.tarnwick-undo is not an update of pak0.bak, nor pak0.bak of it; nothing was changed",
         {}, false, false, other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.wrapped && c.wrapper.empty()) continue;
        for (const std::string& file : {target(), backup(), third, update()}) fs::remove(file);
        if (c.target) write_file(target(), *c.target);
        if (c.backup) write_file(backup(), *c.backup);
        if (c.third) write_file(third, *c.third);
        if (c.command[0] != "--undo") write_file(update(), u);
        if (c.linked) fs::create_hard_link(target(), backup());
        std::unique_ptr<held_open> holder;
        if (c.held) holder = std::make_unique<held_open>(c.target ? target() : backup(), dir() + ".holding");
        const auto before = snapshot(dir());
        const run_result undo = run_tarnwick(c.command, dir(), c.wrapper);
        holder.reset();
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new")));
        if (c.half_done) {
            EXPECT_EQ(undo.status, 1);
            EXPECT_EQ(undo.out.substr(undo.out.find(kBanner)), kBanner + c.message + "\n");
            EXPECT_EQ(read_file(path("err")),
                      "tarnwick: the undo of pak0.pak is half done; running the same command again finishes it\n");
            fs::remove(path("err"));
            EXPECT_FALSE(exists(target()));
            EXPECT_EQ(read_file(third), *c.target);
            const run_result again = run_tarnwick(c.command, dir());
            EXPECT_EQ(again.out, kTitle + finished);
        } else if (!c.message.empty()) {
            EXPECT_EQ(undo.status, 1);
            EXPECT_EQ(undo.out.substr(undo.out.find(kBanner)), kBanner + c.message + "\n");
            EXPECT_EQ(read_file(path("err")), "");
            fs::remove(path("err"));
            // A holder refuses the run only after the undo it finished.
            if (!(c.held && c.third)) {
                EXPECT_EQ(snapshot(dir()), before);
                continue;
            }
        }
        const bool exchanges = !c.target || c.target->rfind("\x89TWr", 0) != 0;
        EXPECT_EQ(undo.status, c.half_done || !c.message.empty() ? 1 : 0) << undo.out;
        if (c.third) {
            EXPECT_EQ(undo.out.substr(0, kTitle.size() + finished.size()), kTitle + finished);
            EXPECT_FALSE(exists(third));
            const bool applied = c.command[0] == "pak0.pak" && c.message.empty();
            EXPECT_TRUE(same_bytes(read_file(target()), applied ? result : o));
            EXPECT_TRUE(same_bytes(read_file(backup()), applied ? o : result));
            EXPECT_EQ(exists(update()), c.command[0] != "--undo" && !applied);
            if (c.command[0] == "--dry-run") {
                EXPECT_EQ(undo.out.substr(kTitle.size() + finished.size()).rfind(
                              "Dry run of the update of pak0.pak: nothing else was changed\n", 0), 0u) << undo.out;
            }
        } else if (exchanges) {
            EXPECT_FALSE(exists(third));
            EXPECT_EQ(read_file(target()), *c.backup);
            EXPECT_EQ(read_file(backup()), *c.target);
        } else {
            EXPECT_EQ(undo.out, kTitle + "Undoing the update of pak0.pak...\npak0.pak was half-written by an "
                                         "interrupted update: the original from pak0.bak is back in its place, and "
                                         "the half-written file was dropped\n");
            EXPECT_EQ(read_file(target()), o);
            EXPECT_FALSE(exists(backup()));
        }
    }
}

#ifndef _WIN32

// --undo proves what the rerun proves: after a run is stopped anywhere, with
// update.pak still there or not, it gives the original back, or finds that
// nothing needs undoing because the archive still is the original.
TEST_F(Interrupted, AnUndoAfterAStopAnywhereGivesTheOriginalBack) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const three_files fresh{o, std::nullopt, u};
    bool update_kept = false;
    for (const auto& point : stop_points(fresh)) {
        // Undo never reads update.pak: every other stop removes it, as a user may.
        update_kept = !update_kept;
        SCOPED_TRACE(point.first + " #" + std::to_string(point.second) + (update_kept ? "" : ", update.pak removed"));
        restore(fresh);
        stop_at(point);
        if (!update_kept) fs::remove(update());
        const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
        EXPECT_TRUE(same_bytes(read_file(target()), o)) << undo.out;
        if (undo.status != 0) {
            EXPECT_NE(undo.out.find("its backup pak0.bak is missing"), std::string::npos) << undo.out;
        }
    }
}

#endif
