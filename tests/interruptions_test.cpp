// Runs interrupted: killed before each call, ended by signals, held while
// another program changes their files or another run starts, and the order
// of their flushes; and what the next run makes of what they left.

#include <cctype>
#include <csignal>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "journal.h"
#include "end_to_end.h"

// The states an interrupted run can leave, as the next run finds them: the
// target marked in place of its header, its backup, and update.pak or not.
TEST_F(EndToEnd, TheNextRunFinishesAnInterruptedOne) {
    const std::string o = build_pak({{"a", "1"}, {"b", random_bytes(5000, 4)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", "dd"}});
    const auto merged = model_merge(o, u);
    ASSERT_TRUE(merged);
    const auto marked = [](std::string pak, const char* mark) { return pak.replace(0, 4, mark, 4); };
    const std::string rewriting = marked(merged->archive, "\x89TWr"), complete = marked(merged->archive, "\x89TWc");
    const std::string finishing = "The original is already in pak0.bak, saved by an interrupted run\n";
    // The next patch, put in place after the first was applied but for its header.
    const std::string u2 = build_pak({{"A", "patch two"}, {"e", "ee"}});
    // Another patch put in place of the first while it was being applied; it keeps "b" in place.
    const std::string u3 = build_pak({{"C", "patch three"}, {"e", "ee"}});
    // A next patch whose first member begins as the first patch's does.
    const std::string u4 = build_pak({{"B", "new b, longer"}, {"d", "dd"}});
    // A patch that replaces every member: the finished archive holds nothing else.
    const std::string u5 = build_pak({{"A", "5"}, {"B", "55"}, {"C", "555"}});
    // A patch of empty members that replaces every member: the result has no member data.
    const std::string u6 = build_pak({{"A", ""}, {"B", ""}, {"C", ""}});
    // The first patch again, a name in other case: another update.
    const std::string u7 = build_pak({{"b", "new b"}, {"d", "dd"}});
    // An archive without members whose directory's place lies past its end.
    const std::string empty = raw_header("PACK", 1000, 0);
    const std::string other = build_pak({{"other", "archive"}});
    // The original with its first member renamed: the same length and directory place.
    std::string renamed_member = o;
    renamed_member[static_cast<std::size_t>(entry_pos(o, 0))] = 'z';
    const std::string unknown_update =
        "Cannot finish the interrupted update of pak0.pak: it was rewritten whole with an update that update.pak no "
        "longer holds; put that update back as update.pak and run again, or get the original back with tarnwick "
        "--undo pak0.pak";
    const std::string foreign_backup =
        "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is not the original that update saved; "
        "nothing was changed. Put that original back as pak0.bak and run again";
    const struct {
        const char* label;
        std::string target;
        std::optional<std::string> backup, update;
        std::string message;  // empty: the run finishes the update
        // The original whose record a cut-short run appended to its target, for
        // the update u it was applying; none for a run cut short before it.
        std::optional<std::string> recorded = std::nullopt;
        bool damaged_record = false;  // a fingerprint byte of the record is off
        bool other_backup = false;    // the backup is an archive, but not the original
        bool unchanged = false;       // the stopped run had changed nothing but the mark
        std::string dry_run_says = "";  // where given, how the dry run's text goes on after its first line
    } cases[] = {
        {"cut short while rewriting", rewriting.substr(0, 40), o, u, "", o, false, false, false,
         "A run would finish the interrupted update of pak0.pak, which was cut short while it was rewritten: it would "
         "rewrite it whole from its backup pak0.bak:\n"},
        {"marked, and nothing else changed", marked(o, "\x89TWr"), o, u, "", std::nullopt, false, false, true,
         "A run would take off the mark of an interrupted run that had not changed pak0.pak, then back it up to "
         "pak0.bak and rewrite it:\n"},
        {"marked, and nothing else changed, then another update.pak", marked(o, "\x89TWr"), o, u2, "", std::nullopt,
         false, false, true},
        {"the mark's write torn, its fourth byte the mark's", marked(o, "PAWr"), o, u, "", std::nullopt, false, false,
         true},
        {"the mark's write torn, its fourth byte PACK's", marked(o, "\x89TCK"), o, u, "", std::nullopt, false, false,
         true},
        {"the magic's write torn over the complete mark, its fourth byte the mark's", marked(merged->archive, "PAWc"),
         o, std::nullopt, ""},
        {"the magic's write torn over the complete mark, its fourth byte PACK's", marked(merged->archive, "\x89TCK"),
         o, std::nullopt, ""},
        {"rewritten whole, its record cut away, then another update.pak", rewriting, o, u2, unknown_update},
        {"rewritten whole, its record cut away, then no update.pak", rewriting, o, std::nullopt, unknown_update},
        {"cut short while rewriting, then another update.pak", rewriting.substr(0, 3000), o, u3,
         "Cannot finish the interrupted update of pak0.pak: update.pak is not the update it was applying, which is no "
         "longer there; the original is in pak0.bak. Put the earlier update.pak back and run again",
         o},
        {"cut short while rewriting, then no update.pak", rewriting.substr(0, 40), o, std::nullopt,
         std::string("Error opening update.pak: ") + std::strerror(ENOENT), o},
        {"cut short while rewriting, its backup replaced by another archive", rewriting.substr(0, 40), other, u,
         foreign_backup, o},
        {"cut short before its record, its backup replaced by another archive", marked(o, "\x89TWr"), other, u,
         foreign_backup},
        {"cut short while rewriting, its backup another archive of the same size and directory place",
         rewriting.substr(0, 40), renamed_member, u, foreign_backup, o},
        {"cut short while rewriting, its record damaged", marked(o, "\x89TWr"), o, u, "", o, true},
        {"cut short before its record, its backup another archive whose directory starts at the same offset",
         marked(o, "\x89TWr"), with_le32(o, 8, get_le32(o, 8) - 64), u, foreign_backup},
        {"rewritten, update.pak still there", complete, o, u, "", std::nullopt, false, false, false,
         "A run would finish the interrupted update of pak0.pak: its members and directory are complete, only its "
         "header is missing; update.pak, which it holds, would be removed\n"},
        {"rewritten, update.pak removed", complete, o, std::nullopt, "", std::nullopt, false, false, false,
         "A run would finish the interrupted update of pak0.pak: its members and directory are complete, only its "
         "header is missing\n"},
        {"rewritten, then a new update.pak", complete, o, u2, "", std::nullopt, false, false, false,
         "A run would finish the interrupted update of pak0.pak, whose members and directory are complete, then back "
         "it up to pak0.bak and apply update.pak to it:\n"},
        {"rewritten, then a new update.pak with a longer first member", complete, o, u4, ""},
        {"rewritten from a patch that replaced every member, update.pak still there",
         marked(model_merge(o, u5)->archive, "\x89TWc"), o, u5, ""},
        {"rewritten, update.pak removed, backup gone", complete, std::nullopt, std::nullopt, ""},
        {"rewritten, update.pak removed, its backup another archive", complete, other, std::nullopt, "", std::nullopt,
         false, true},
        {"rewritten, update.pak still there, its backup another archive", complete, other, u, "", std::nullopt, false,
         true},
        {"rewritten from a patch of empty members only, update.pak still there",
         marked(model_merge(o, u6)->archive, "\x89TWc"), o, u6, ""},
        {"rewritten, then the same update.pak but for the case of a name", complete, o, u7, ""},
        {"cut short as its record was written, the backup without members and its directory's place at its end",
         marked(empty, "\x89TWr") + std::string(100, '\0'), empty, u, ""},
        // Since the seal places before it cuts, only a finished rewrite holds
        // the result's place without its record.
        {"cut short, the result's place without its record, the backup without members",
         marked(model_merge(empty, u)->archive, "\x89TWr").substr(0, 40), empty, u, foreign_backup},
        {"backup no archive", rewriting, "PK\x03\x04" + o.substr(4), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is not a pak file"},
        {"backup missing", rewriting.substr(0, 40), std::nullopt, u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is missing"},
        {"backup half-written itself", rewriting, rewriting, u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is itself an archive left "
         "half-written"},
        {"backup's directory cut off", rewriting, o.substr(0, o.size() - 10), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak has its directory outside the file"},
        {"backup's directory at a negative offset", rewriting, with_le32(o, 4, -64), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak has its directory outside the file"},
        {"backup's directory of negative length", rewriting, with_le32(o, 8, -64), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is not a pak file"},
        {"backup's magic wrong in its last byte", rewriting, "PACX" + o.substr(4), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is not a pak file"},
        {"backup too short", rewriting, std::string("PACK"), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is shorter than an archive header"},
        {"mark and length disagree", complete.substr(0, complete.size() - 1), o, std::nullopt,
         "Cannot finish the interrupted update of pak0.pak: its mark does not match its length"},
        {"mark and length disagree, one byte long", complete + '\0', o, std::nullopt,
         "Cannot finish the interrupted update of pak0.pak: its mark does not match its length"},
        {"mark's directory longer than 4096 entries", with_le32(complete, 8, 262144 + 64), o, std::nullopt,
         "Cannot finish the interrupted update of pak0.pak: its mark does not match its length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string target_bytes = c.recorded ? with_record(c.target, *c.recorded, u) : c.target;
        if (c.damaged_record) target_bytes[target_bytes.size() - 20] ^= 1;
        write_file(target(), target_bytes);
        fs::remove(backup());
        if (c.backup) write_file(backup(), *c.backup);
        fs::remove(update());
        if (c.update) write_file(update(), *c.update);
        // A dry run refuses as the run does, or says what it would do; it changes nothing.
        const auto before = snapshot(dir());
        const run_result dry = run_tarnwick({"pak0.pak", "--dry-run"}, dir(), errors_into(path("dry.err")));
        fs::remove(path("dry.err"));
        EXPECT_EQ(snapshot(dir()), before);
#ifndef _WIN32
        // It leaves nothing for the same command run again to finish.
        EXPECT_EQ(read_file(path("dry.err")).find("running the same command again"), std::string::npos);
#endif
        EXPECT_EQ(dry.status, c.message.empty() ? 0 : 1);
        // A rewrite cut short is made again whole, from the header on.
        if (c.message.empty() && c.target.rfind("\x89TWr", 0) == 0 && !c.unchanged) {
            const std::string shown = without_unseen_note(dry.out);
            EXPECT_EQ(shown.substr(shown.size() - std::min<std::size_t>(shown.size(), 16)), " from offset 12\n")
                << shown;
        }
        EXPECT_EQ(dry.out.find(c.message.empty() ? kTitle + "Dry run of the update of pak0.pak: nothing was changed\nA run would "
                                                 : kTitle + kBanner + c.message + "\n"),
                  0u)
            << dry.out;
        if (!c.dry_run_says.empty()) {
            const std::string said = without_unseen_note(dry.out.substr(dry.out.find('\n', kTitle.size()) + 1));
            EXPECT_EQ(said.substr(0, c.dry_run_says.size()), c.dry_run_says);
        }
        const run_result run = run_tarnwick({"pak0.pak"}, dir(), errors_into(path("run.err")));
        if (!c.message.empty()) {
            EXPECT_EQ(run.status, 1);
            // A marked target is never backed up, so the run never says so.
            EXPECT_EQ(run.out, kTitle + kBanner + c.message + "\n");
#ifndef _WIN32
            const std::string errors = read_file(path("run.err"));
            const std::string note = "tarnwick: pak0.pak is half-written and not playable; the original is in pak0.bak; "
                                     "running the same command again, once the cause is fixed, finishes the update\n";
            EXPECT_EQ(errors.substr(errors.size() - std::min(errors.size(), note.size())), note);
#endif
            fs::remove(path("run.err"));
            EXPECT_EQ(read_file(target()), target_bytes);
            EXPECT_EQ(exists(update()), c.update.has_value());
            continue;
        }
        // A rewrite cut short is made again from the backup with the update.pak
        // there now. An update.pak that a rewritten target does not hold is
        // applied to the finished archive, which becomes its backup.
        const std::string finished = c.unchanged ? o : "PACK" + c.target.substr(4);
        // The backup, where there is one, holds the original.
        const std::string& original = c.other_backup ? o : c.backup.value_or(o);
        const auto held = model_merge(original, c.update.value_or(u));
        ASSERT_TRUE(held);
        const bool new_update =
            c.update && c.target.rfind("\x89TWc", 0) == 0 && !c.unchanged && held->archive != finished;
        const auto applied = new_update ? model_merge(finished, *c.update) : held;
        ASSERT_TRUE(applied);
        std::string expected_out =
            success_stdout("pak0.pak", "pak0.bak", c.update ? applied->member_lines : "");
        const std::string backup_line = "Backup of original in pak0.bak\n";
        if (!c.backup || c.other_backup) {
            expected_out.replace(expected_out.find(backup_line), backup_line.size(),
                                 c.other_backup ? "No backup of the original: pak0.bak is another archive\n"
                                                : "No backup of the original: pak0.bak is missing\n");
        }
        // Only a run that backs an archive up says so.
        if (c.unchanged) {
            expected_out.insert(backing_up("pak0.pak").size(), "The interrupted run had not changed pak0.pak\n");
        } else if (new_update) {
            expected_out.insert(backing_up("pak0.pak").size(), "The interrupted update of pak0.pak was finished first\n");
        } else {
            expected_out.replace(kTitle.size(), backing_up("pak0.pak").size() - kTitle.size(),
                                 c.other_backup ? "Finishing the interrupted update of pak0.pak; its backup pak0.bak is "
                                                  "not the archive it was updated from\n"
                                 : c.backup     ? finishing
                                          : "Finishing the interrupted update of pak0.pak; its backup pak0.bak is missing\n");
        }
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, expected_out);
        EXPECT_TRUE(same_bytes(read_file(target()), applied->archive));
        EXPECT_EQ(exists(backup()), c.backup.has_value());
        if (c.backup) {
            EXPECT_TRUE(same_bytes(read_file(backup()), new_update ? finished : *c.backup));
        }
        EXPECT_FALSE(exists(update()));
    }
}

#ifndef _WIN32

// Every scenario stopped before each of its file-changing calls in turn, as
// its own trace counts them: nothing is lost at any stop, and the next
// command finishes what the stopped one was doing. A stopped run is finished
// by the same command; a stopped undo leaves the two archives under their
// names, exchanged or not, or, where three renames exchange them, each under
// one of the three names, and the next undo exchanges them or finishes the
// renames; a normal run then applies the update again.
class StopAnywhere : public Interrupted, public ::testing::WithParamInterface<const char*> {
protected:
    void expect_run_finishes(const scenario_archives& a) {
        const std::string third = path("pak0.pak.tarnwick-undo");
        if (!exists(third)) {
            expect_nothing_lost(a.original, a.update, a.result);
            expect_rerun_finishes(a.original, a.result);
            return;
        }
        // Stopped before it finished an interrupted undo: that undo is finished first.
        const three_files now = files();
        EXPECT_TRUE(same_bytes(read_file(third), a.result));
        EXPECT_TRUE(now.target == a.original || now.backup == a.original);
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(rerun.status, 0) << rerun.out;
        EXPECT_TRUE(same_bytes(read_file(target()), a.result));
        EXPECT_TRUE(same_bytes(read_file(backup()), a.original));
        EXPECT_FALSE(exists(update()));
        EXPECT_FALSE(exists(third));
    }

    // The undo of a rewrite cut short puts the original back in its place:
    // stopped, it leaves the cut-short archive beside its backup, or the
    // original alone, which a run then updates again.
    void expect_original_put_back(const scenario_archives& a, const scenario& s) {
        const three_files now = files();
        if (now.target != a.original) {
            EXPECT_EQ(now.target, s.start.target);
            EXPECT_EQ(now.backup, a.original);
            const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
            EXPECT_EQ(undo.status, 0) << undo.out;
            EXPECT_EQ(read_file(target()), a.original);
        }
        EXPECT_FALSE(exists(backup()));
        const run_result run = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_TRUE(same_bytes(read_file(target()), a.result));
        EXPECT_TRUE(same_bytes(read_file(backup()), a.original));
    }

    void expect_undo_finishes(const scenario_archives& a, const scenario& s) {
        const std::string &o = a.original, &result = a.result, third = path("pak0.pak.tarnwick-undo");
        const three_files now = files();
        const bool half_done = exists(third);
        const bool exchanged = now.target == o && !half_done;
        if (half_done) {
            EXPECT_TRUE(same_bytes(read_file(third), result));
            EXPECT_TRUE(now.target == o || now.backup == o);
        } else {
            EXPECT_TRUE(exchanged ? now.backup == result : now.backup == o) << "the backup changed alone";
            EXPECT_TRUE(exchanged || now.target == s.start.target || now.target == result);
        }
        const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
        EXPECT_EQ(undo.status, 0) << undo.out;
        EXPECT_TRUE(same_bytes(read_file(target()), exchanged ? result : o));
        EXPECT_FALSE(exists(third));
        const run_result run = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_TRUE(same_bytes(read_file(target()), result));
        EXPECT_TRUE(same_bytes(read_file(backup()), o));
    }
};

TEST_P(StopAnywhere, NothingIsLostAndTheNextCommandFinishes) {
    const scenario_archives a = archives_of_scenarios();
    std::optional<scenario> chosen;
    for (const scenario& s : scenarios())
        if (s.label == GetParam()) chosen = s;
    if (!chosen) GTEST_SKIP() << "the shim that refuses the exchange is preloaded only into a native Linux build";
    const scenario& s = *chosen;
    start(s);
    const auto points = stop_points();
    ASSERT_FALSE(points.empty());
    for (const auto& point : points) {
        SCOPED_TRACE(point.first + " #" + std::to_string(point.second));
        start(s);
        stop_at(point);
        EXPECT_EQ(last_status_, 128 + SIGKILL);
        if (s.command[0] == "--undo" && s.start.target->rfind("\x89TWr", 0) == 0) {
            expect_original_put_back(a, s);
        } else if (s.command[0] == "--undo") {
            expect_undo_finishes(a, s);
        } else {
            expect_run_finishes(a);
        }
    }
}

// One test per scenario, so that they run side by side.
INSTANTIATE_TEST_SUITE_P(Scenarios, StopAnywhere,
                         ::testing::Values("a fresh run", "a rewrite cut short, resumed",
                                           "a rewrite complete but for its magic, finished",
                                           "a mark on an unchanged archive, taken off", "an undo by exchange",
                                           "an undo of a rewrite complete but for its magic",
                                           "an undo of a rewrite cut short",
                                           "an interrupted undo finished by an undo",
                                           "an interrupted undo finished by a run, which then updates",
                                           "an undo by three renames", "an undo by three plain renames"),
                         test_name_of);

// A run ended by a signal while it copies removes its temporary backup,
// leaves a marked target alone, says on standard error what it leaves, and
// ends by that signal, so that the shell sees how it ended; the next run
// finishes the update.
TEST_F(Interrupted, ASignalLeavesNoTemporaryFileAndTheNextRunFinishes) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const std::string result = model_merge(o, u)->archive;
    // The next patch, put in place after the first was applied but for its header.
    const std::string u2 = build_pak({{"A", "patch two"}, {"e", random_bytes(4000, 5)}});
    const std::string complete = "\x89TWc" + result.substr(4);
    const std::string second = model_merge(result, u2)->archive;
    const std::string unchanged = "tarnwick: interrupted; pak0.pak is as it was; running the same command again updates it\n";
    const std::string marked = "tarnwick: interrupted; pak0.pak is half-written and not playable; the original is in "
                               "pak0.bak; running the same command again, once the cause is fixed, finishes the update\n";
    const std::string exchanged = "tarnwick: interrupted; pak0.pak and pak0.bak are exchanged: the undo is done, and "
                                  "their folder was being flushed\n";
    const std::string half_done =
        "tarnwick: interrupted; the undo of pak0.pak is half done; running the same command again finishes it\n";
    // Stopped before its record, as a run killed there leaves it.
    const std::string half_written = "\x89TWr" + o.substr(4);
    const struct {
        const char* label;
        int signal;
        three_files start;
        // Where the signal arrives: a call and its count, or the first such
        // call after the first traced line that holds a text, in a trace of
        // the row's own run, so that a call added elsewhere moves no row.
        std::string call;
        std::string said;  // on standard error
        std::string target, backup;  // right after the signal
        std::string finished, original;  // target and backup once the next run is over; "" for no next run
        std::vector<std::string> command = {"pak0.pak"};
        std::string second = "";  // another call that brings a second signal, while the first is handled
        bool three_renames = false;  // an undo on a file system without the exchange
        std::optional<std::string> undone = std::nullopt;  // the target once the next --undo is over, if one runs
        std::optional<std::string> log = std::nullopt;  // where given, all of standard output, sent into a file
    } cases[] = {
        // The first kernel copy makes the backup, the later ones rewrite the target.
        {"SIGINT while the backup is copied", SIGINT, {o, std::nullopt, u}, "copy_file_range:when=1", unchanged, o, "",
         result, o},
        {"SIGTERM while the backup is copied", SIGTERM, {o, std::nullopt, u}, "copy_file_range:when=1", unchanged, o,
         "", result, o},
        {"SIGHUP while the backup is copied", SIGHUP, {o, std::nullopt, u}, "copy_file_range:when=1", unchanged, o, "",
         result, o},
        {"SIGINT while the target is rewritten", SIGINT, {o, std::nullopt, u}, kRewriting, marked, "",
         o, result, o},
        {"SIGTERM while the target is rewritten", SIGTERM, {o, std::nullopt, u}, kRewriting, marked, "",
         o, result, o},
        {"SIGHUP while the target is rewritten", SIGHUP, {o, std::nullopt, u}, kRewriting, marked, "", o,
         result, o},
        {"SIGINT while a finished rewrite is backed up for the next patch", SIGINT, {complete, o, u2},
         "copy_file_range:when=1", unchanged, result, o, second, result},
        {"SIGINT while a finished rewrite is rewritten with the next patch", SIGINT, {complete, o, u2},
         kRewriting, marked, "", result, second, result},
        {"SIGINT during a dry run", SIGINT, {o, std::nullopt, u}, "flock:when=2", "tarnwick: interrupted\n", o, "",
         result, o, {"--dry-run", "pak0.pak"}},
        // A signal waits for the end of a mark's write and flush, and meets the note set after it.
        {"SIGINT while the mark is flushed", SIGINT, {o, std::nullopt, u}, kMarkFlushed, marked, "", o, result,
         o},
        {"SIGINT while the rewritten members are flushed and read back", SIGINT, {o, std::nullopt, u},
         "fdatasync after , 262144, ", marked, "", o, result, o},
        {"SIGINT while the result's directory place is flushed, the record still there", SIGINT, {o, std::nullopt, u},
         kPlaceFlushed, marked, "", o, result, o},
        {"SIGINT while the cut that drops the record is flushed", SIGINT, {o, std::nullopt, u}, kCutFlushed,
         marked, "", o, result, o},
        // Held back until the mark is flushed: every byte is written, and the mark is on.
        {"SIGINT while the complete mark is flushed", SIGINT, {o, std::nullopt, u}, kCompleteFlushed,
         "tarnwick: interrupted; pak0.pak is updated but still marked and not playable; the original is in pak0.bak; "
         "running the same command again, once the cause is fixed, finishes the update\n",
         "\x89TWc" + result.substr(4), o, result, o},
        {"SIGINT while the magic is flushed", SIGINT, {o, std::nullopt, u}, kMagicFlushed,
         "tarnwick: interrupted\n", result, o, "", ""},
        // A run stopped after its mark, before anything else changed: the mark comes off first.
        {"SIGTERM while the mark is taken off", SIGTERM, {"\x89TWr" + o.substr(4), o, u}, kMagicFlushed,
         unchanged, o, o, result, o},
        // A killed run says nothing more, but every line it printed is in the file.
        {"SIGKILL while the target is rewritten", SIGKILL, {o, std::nullopt, u}, kRewriting, "", "", o,
         result, o, {"pak0.pak"}, "", false, std::nullopt,
         backing_up("pak0.pak") + "Updating pak0.pak...\nUpdating B : 5 bytes\n"},
        {"SIGKILL while the magic is flushed", SIGKILL, {o, std::nullopt, u}, kMagicFlushed, "", result, o, "", "",
         {"pak0.pak"}, "", false, std::nullopt,
         backing_up("pak0.pak") + "Updating pak0.pak...\nUpdating B : 5 bytes\nUpdating d : 5000 bytes\n"},
        // Each of an undo's renames is a step a signal waits for: it meets the note of the names the step left.
        {"SIGINT as an undo exchanges", SIGINT, {result, o, u}, "renameat2:when=1", exchanged, o, result, result, o,
         {"--undo", "pak0.pak"}, "", false, result},
        {"SIGTERM as an undo exchanges", SIGTERM, {result, o, u}, "renameat2:when=1", exchanged, o, result, result, o,
         {"--undo", "pak0.pak"}, "", false, result},
        {"SIGHUP as an undo exchanges", SIGHUP, {result, o, u}, "renameat2:when=1", exchanged, o, result, result, o,
         {"--undo", "pak0.pak"}, "", false, result},
        {"SIGINT as an undo flushes its folder", SIGINT, {result, o, u}, "fsync:when=1", exchanged, o, result, result,
         o, {"--undo", "pak0.pak"}, "", false, result},
        {"SIGINT as an undo of a complete archive puts its magic on", SIGINT, {complete, o, u}, "fdatasync:when=1",
         "tarnwick: interrupted\n", result, o, result, o, {"--undo", "pak0.pak"}, "", false, o},
        {"SIGINT as an undo restores a half-written archive", SIGINT, {half_written, o, u}, "rename:when=1",
         "tarnwick: interrupted; the original from pak0.bak is back in the place of pak0.pak: the undo is done, and "
         "their folder was being flushed\n", o, "", result, o, {"--undo", "pak0.pak"}},
#ifdef TARNWICK_LYING_COPY
        {"SIGINT as an undo makes its first rename", SIGINT, {result, o, u}, "renameat2:when=1", half_done, "", o,
         result, o, {"--undo", "pak0.pak"}, "", true, o},
        {"SIGTERM as an undo makes its second rename", SIGTERM, {result, o, u}, "renameat2:when=2", half_done, o, "",
         result, o, {"--undo", "pak0.pak"}, "", true, o},
        {"SIGHUP as an undo makes its third rename", SIGHUP, {result, o, u}, "renameat2:when=3", exchanged, o, result,
         result, o, {"--undo", "pak0.pak"}, "", true, result},
        {"SIGINT as a run finishes an interrupted undo", SIGINT, {std::nullopt, o, u}, "renameat2:when=2", exchanged,
         o, result, result, o, {"pak0.pak"}, "", true},
#endif
        // The title, its rule and the backing-up line are the first three writes.
        {"SIGHUP while a SIGINT is handled", SIGINT, {o, std::nullopt, u}, "copy_file_range:when=1", unchanged, o, "",
         result, o, {"pak0.pak"}, "write:signal=" + std::to_string(SIGHUP) + ":when=4"},
    };
    const std::string third = path("pak0.pak.tarnwick-undo");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string where = located(c.call, c.start, c.command);
        restore(c.start);
        fs::remove(third);
        // A run that starts where an undo stopped after its first rename.
        if (!c.start.target) write_file(third, result);
        const std::string call = where.substr(0, where.find(':'));
        const std::string second_call = c.second.substr(0, c.second.find(':'));
        std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" >log 2>err", "sh", "strace", kNoLeakCheck, "-qq",
                                         "-o", "/dev/null", "-e",
                                         "trace=" + call + (c.second.empty() ? "" : "," + second_call), "-e",
                                         "inject=" + call + ":signal=" + std::to_string(c.signal) +
                                             where.substr(where.find(':'))};
        if (!c.second.empty()) argv.insert(argv.end(), {"-e", "inject=" + c.second});
#ifdef TARNWICK_LYING_COPY
        if (c.three_renames) {
            argv.insert(argv.end(), {"-E", "LD_PRELOAD=" TARNWICK_LYING_COPY, "-E", "TARNWICK_TEST_NO_EXCHANGE=1", "-E",
                                     "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"});
        }
#endif
        argv.push_back(tarnwick_exe());
        argv.insert(argv.end(), c.command.begin(), c.command.end());
        EXPECT_EQ(run_program(argv, dir()).status, 128 + c.signal);
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new")));
        const three_files now = files();
        const bool undoing = c.command[0] == "--undo" || !c.start.target;
        if (undoing) {
            // Each archive is under one of the three names; a half-done undo's third holds the update.
            EXPECT_TRUE(same_bytes(now.target.value_or(""), c.target));
            EXPECT_EQ(read_file(third), c.three_renames && (c.target.empty() || c.backup.empty()) ? result : "");
        } else if (c.target.empty()) {
            EXPECT_EQ(now.target.value_or("").substr(0, 4), "\x89TWr");
        } else {
            EXPECT_TRUE(same_bytes(now.target.value_or(""), c.target));
        }
        EXPECT_EQ(now.backup.value_or(""), c.backup);
        EXPECT_EQ(read_file(path("err")), c.said);
        if (c.log) {
            EXPECT_EQ(read_file(path("log")), *c.log);
        }
        if (c.undone) {
            const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
            EXPECT_EQ(undo.status, 0) << undo.out;
            EXPECT_TRUE(same_bytes(read_file(target()), *c.undone));
            EXPECT_FALSE(exists(third));
        }
        if (c.finished.empty()) continue;
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(rerun.status, 0) << rerun.out;
        EXPECT_TRUE(same_bytes(read_file(target()), c.finished));
        EXPECT_TRUE(same_bytes(read_file(backup()), c.original));
        EXPECT_FALSE(exists(update()));
    }
    // A signal the caller ignores, as nohup does, stays ignored.
    restore({o, std::nullopt, u});
    const run_result ignored = run_program(
        {"sh", "-c", "trap '' HUP; exec \"$@\" 2>err", "sh", "strace", kNoLeakCheck, "-qq", "-o", "/dev/null", "-e",
         "trace=copy_file_range", "-e", "inject=copy_file_range:signal=" + std::to_string(SIGHUP) + ":when=2",
         tarnwick_exe(), "pak0.pak"},
        dir());
    EXPECT_EQ(ignored.status, 0);
    EXPECT_EQ(read_file(path("err")), "");
    EXPECT_TRUE(same_bytes(read_file(target()), result));
}

// A file changed or replaced by something else while a run is held at one
// of its steps is caught before the next step that relies on it: before the
// backup takes its name nothing has changed; once the target is marked, the
// rerun refuses an update.pak other than the one it was applying; and an
// update.pak that is no longer the one applied stays. No such run ends in
// "completed" with bytes the user did not ask for.
TEST_F(Interrupted, AFileChangedDuringTheRunIsCaughtBeforeTheStepThatReliesOnIt) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const std::string next = build_pak({{"B", "next b"}, {"e", random_bytes(5000, 4)}});
    const std::string other = build_pak({{"other", random_bytes(7000, 6)}});
    // The same archive with one byte of a member's data changed.
    std::string retouched = o;
    retouched[100] = static_cast<char>(~retouched[100]);
    const auto merged = model_merge(o, u);
    ASSERT_TRUE(merged);
    const std::string changed_update = kBanner + "Cannot update pak0.pak: update.pak changed during the run\n";
    const std::string name_taken = kBanner + "Cannot update pak0.pak: another file took its name during the run\n";
    const std::string report = "\n---------------------------------------\nUpdate of pak0.pak completed!\n\n"
                               "Backup of original in pak0.bak\nThanks for using tarnwick!\n";
    const std::string marked = "\x89TWr";  // a target bearing the rewrite mark
    const std::string same_length = build_pak({{"B", "NEW B"}, {"d", random_bytes(5000, 4)}});
    const std::string changed_backup_part =
        "its backup pak0.bak was changed by another program and no longer holds the original";
    const std::string changed_backup = kBanner + "Cannot update pak0.pak: " + changed_backup_part +
                                       ", which may now be on no disk; pak0.pak is half-written and not playable. Put "
                                       "a copy of the original back as pak0.pak, or reinstall the archive\n";
    std::string changed_report = report;
    changed_report.replace(changed_report.find("Backup of original in pak0.bak"), 30,
                           "No backup of the original: pak0.bak was changed by another program during the run");
    const struct {
        const char* label;
        std::string hold;    // the call the run is held in, as strace counts it or after a traced line
        const char* change;  // run while the run is held
        int status;
        std::string out;     // the end of the held run's output
        std::string target;
        std::optional<std::string> backup, update;
        std::string said = "";  // the end of its standard error
        // What running the same command again then makes of the target.
        std::optional<std::string> rerun = std::nullopt;
        // For a marked target, a part of the refusal of a rerun.
        std::string rerun_refused = "update.pak is not the update it was applying";
        bool resumed = false;  // the held run finishes one cut short with its record
        bool undoing = false;  // the held run undoes the update
        bool plain_renames = false;  // ...on a system whose renames all replace
    } cases[] = {
        {"update.pak rewritten in place while the backup is copied", "copy_file_range:when=1",
         "cp next.pak update.pak", 1, changed_update, o, std::nullopt, next, "", model_merge(o, next)->archive},
        {"update.pak rewritten in place while the backup is flushed", "fdatasync:when=1", "cp next.pak update.pak", 1,
         changed_update, o, std::nullopt, next, "", model_merge(o, next)->archive},
        {"pak0.pak rewritten in place while the backup is copied", "copy_file_range:when=1", "cp retouched.pak pak0.pak",
         1, kBanner + "Cannot update pak0.pak: it changed during the run\n", retouched, std::nullopt, u, "",
         model_merge(retouched, u)->archive},
        // Another run may take the new file for a killed run's leftover before this one locks it.
        {"the backup's new file removed before it is locked", "flock:when=3", "rm pak0.bak.tarnwick-new", 1,
         kBanner + "Cannot update pak0.pak: its backup pak0.bak is in use by another run\n", o, std::nullopt, u, "",
         merged->archive},
        {"pak0.pak renamed over while the backup is copied", "copy_file_range:when=1", "mv other.pak pak0.pak", 1,
         name_taken, other, std::nullopt, u},
        {"pak0.pak renamed over while the backup is flushed", "fdatasync:when=1", "mv other.pak pak0.pak", 1,
         name_taken, other, std::nullopt, u},
        {"pak0.pak rewritten in place once its backup is named", "fsync:when=1", "cp retouched.pak pak0.pak", 1,
         kBanner + "Cannot update pak0.pak: it changed during the run\n", retouched, o, u, "",
         model_merge(retouched, u)->archive},
        {"pak0.pak renamed over while its mark is flushed", kMarkFlushed, "mv other.pak pak0.pak", 1, name_taken,
         other, o, u,
         "tarnwick: the half-written archive no longer has the name pak0.pak, which another file took; the original "
         "is in pak0.bak\n"},
        {"pak0.pak renamed over while it is rewritten", kRewriting, "mv other.pak pak0.pak", 1,
         name_taken, other, o, u},
        {"pak0.pak renamed over while its complete mark is flushed", kCompleteFlushed, "mv other.pak pak0.pak", 1,
         name_taken, other, o, u,
         "tarnwick: the updated archive, complete but for its header, no longer has the name pak0.pak, which another "
         "file took; the original is in pak0.bak\n"},
        {"pak0.pak renamed over while update.pak's removal is flushed", kRemovalFlushed, "mv other.pak pak0.pak", 1,
         name_taken, other, o, std::nullopt,
         "tarnwick: the updated archive, complete but for its header, no longer has the name pak0.pak, which another "
         "file took; the original is in pak0.bak\n"},
        {"update.pak rewritten in place while the target is rewritten", kRewriting,
         "cp next.pak update.pak", 1, changed_update, marked, o, next},
        {"update.pak rewritten in place with other bytes of the same length", kRewriting,
         "cp same-length.pak update.pak", 1, changed_update, marked, o, same_length},
        {"update.pak rewritten in place, its modification time put back", kRewriting,
         "cp -p update.pak kept.pak && cp same-length.pak update.pak && touch -r kept.pak update.pak", 1,
         changed_update, marked, o, same_length},
        {"update.pak renamed over while the target is rewritten", kRewriting, "mv next.pak update.pak", 0,
         "update.pak was replaced during the run and was not applied; it stays for the next run\n" + report,
         merged->archive, o, next},
        {"update.pak rewritten in place while the complete mark is flushed", kCompleteFlushed,
         "cp next.pak update.pak", 0,
         "update.pak changed during the run, after it was applied; it stays for the next run\n" + report,
         merged->archive, o, next},
        {"update.pak removed by something else while the complete mark is flushed", kCompleteFlushed,
         "rm update.pak", 0, "update.pak was removed by something else during the run\n" + report, merged->archive, o,
         std::nullopt},
        {"update.pak touched while the target is rewritten, its bytes the same", kRewriting,
         "touch -d @0 update.pak", 0, report, merged->archive, o, std::nullopt},
        {"update.pak rewritten and put back while the target is rewritten", kRewriting,
         "cp update.pak kept.pak && cp same-length.pak update.pak && cp kept.pak update.pak", 0, report,
         merged->archive, o, std::nullopt},
        // Once sealed the target has no record: the rerun proves it by update.pak's bytes.
        {"update.pak rewritten in place while the result's place is flushed", kPlaceFlushed,
         "cp same-length.pak update.pak", 1, changed_update, marked, o, same_length, "", std::nullopt,
         "it was rewritten whole with an update that update.pak no longer holds"},
        {"update.pak rewritten in place while the cut is flushed", kCutFlushed, "cp next.pak update.pak", 1,
         changed_update, marked, o, next, "", std::nullopt,
         "it was rewritten whole with an update that update.pak no longer holds"},
        // The backup is the rewrite's only source of the original's bytes.
        {"pak0.bak rewritten in place once it is named", "fsync:when=1", "cp retouched.pak pak0.bak", 1,
         kBanner + "Cannot update pak0.pak: its backup pak0.bak changed during the run\n", o, retouched, u, "",
         merged->archive},
        {"pak0.bak rewritten in place while the mark is flushed", kMarkFlushed, "cp retouched.pak pak0.bak", 1,
         changed_backup, marked, retouched, u, "", std::nullopt, changed_backup_part},
        {"pak0.bak rewritten in place while the target is rewritten", kRewriting,
         "cp retouched.pak pak0.bak", 1, changed_backup, marked, retouched, u, "", std::nullopt, changed_backup_part},
        {"pak0.bak replaced while the target is rewritten", kRewriting, "cp retouched.pak new.bak && "
         "mv new.bak pak0.bak", 1, changed_backup, marked, retouched, u, "", std::nullopt, changed_backup_part},
        {"pak0.bak rewritten in place while a resumed rewrite copies", "copy_file_range:when=1",
         "cp retouched.pak pak0.bak", 1, changed_backup, marked, retouched, u, "", std::nullopt, changed_backup_part,
         true},
        // An undo renames by names: one another program gave to another file is refused.
        {"pak0.pak renamed over once an undo has locked both files", "flock:when=3", "mv other.pak pak0.pak", 1,
         kBanner + "Cannot undo the update of pak0.pak: another file took the name pak0.pak during the undo; nothing "
                   "was changed\n",
         other, o, u, "", std::nullopt, "", false, true},
        {"pak0.bak renamed over once an undo has locked both files", "flock:when=3", "mv other.pak pak0.bak", 1,
         kBanner + "Cannot undo the update of pak0.pak: another file took the name pak0.bak during the undo; nothing "
                   "was changed\n",
         merged->archive, other, u, "", std::nullopt, "", false, true},
        // A plain rename would replace the file; the undo looks for it first.
        {"a file made at the spare name once a plainly renaming undo has locked both files", "flock:when=3",
         "echo notes >pak0.pak.tarnwick-undo", 1,
         kBanner + "Cannot undo the update of pak0.pak: renaming pak0.pak to pak0.pak.tarnwick-undo failed: " +
             std::strerror(EEXIST) + "; pak0.pak and pak0.bak are as they were before the undo\n",
         merged->archive, o, u, "", std::nullopt, "", false, true, true},
        {"pak0.bak rewritten in place while the result's place is flushed", kPlaceFlushed,
         "cp retouched.pak pak0.bak", 0, changed_report, merged->archive, retouched, std::nullopt},
        {"pak0.bak rewritten in place while the complete mark is flushed", kCompleteFlushed,
         "cp retouched.pak pak0.bak", 0, changed_report, merged->archive, retouched, std::nullopt},
    };
    std::map<std::string, std::string> held_at;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        three_files from{o, std::nullopt, u};
        if (c.undoing) from = {merged->archive, o, u};
        if (c.resumed) {
            // Cut short at byte 40, its record past the original and the result, as a run leaves it.
            std::string cut_short = marked + merged->archive.substr(4, 36);
            cut_short.resize(std::max(o.size(), merged->archive.size()), '\0');
            from = {with_record(cut_short, o, u), o, u};
        }
        std::string options;  // strace's -E options for the held run
        if (c.plain_renames) {
            const std::vector<std::string> environment = no_exchange_environment("all");
            if (environment.empty()) continue;
            for (const std::string& variable : environment) options += " -E " + variable;
        }
        // Rows that hold the same call from the same start share one trace.
        std::string& hold = held_at[c.hold + (c.resumed ? ", resumed" : c.undoing ? ", undoing" : "")];
        if (hold.empty()) hold = located(c.hold, from, {"pak0.pak"});
        const std::string command = c.undoing ? " --undo pak0.pak" : " pak0.pak";
        restore(from);
        fs::remove(path("pak0.pak.tarnwick-undo"));
        write_file(path("next.pak"), next);
        write_file(path("other.pak"), other);
        write_file(path("retouched.pak"), retouched);
        write_file(path("same-length.pak"), same_length);
        const std::string held_call = hold.substr(0, hold.find(':'));
        const std::string script =
            "rm -f held.out\n" + std::string(kUnderStrace) + options + " -qq -o held.out -e trace=" + held_call +
            " -e inject=" + hold + ":signal=STOP " + tarnwick_exe() + command + " >first.out 2>first.err & first=$!\n"
            "i=0; until grep -qs 'stopped by SIGSTOP' held.out || [ $i -gt 3000 ]; do i=$((i+1)); sleep 0.01; done\n"
            "held=$(tr -d ' ' </proc/$first/task/$first/children)\n" + c.change + "\nkill -CONT $held\nwait $first";
        EXPECT_EQ(run_program({"sh", "-c", script}, dir()).status, c.status);
        const std::string out = read_file(path("first.out")), said = read_file(path("first.err"));
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), c.out.size())), c.out) << out;
        EXPECT_EQ(said.substr(said.size() - std::min(said.size(), c.said.size())), c.said) << said;
        const three_files now = files();
        if (c.target == marked) {
            EXPECT_EQ(now.target.value_or("").substr(0, 4), marked);
        } else {
            EXPECT_TRUE(same_bytes(now.target.value_or(""), c.target));
        }
        EXPECT_EQ(now.backup, c.backup);
        EXPECT_EQ(now.update, c.update);
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new")));
        if (c.plain_renames) {
            EXPECT_EQ(read_file(path("pak0.pak.tarnwick-undo")), "notes\n");
        }
        if (c.rerun) {
            const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(rerun.status, 0) << rerun.out;
            EXPECT_TRUE(same_bytes(read_file(target()), *c.rerun));
            EXPECT_TRUE(same_bytes(read_file(backup()), c.target));
        }
        if (c.target != marked) continue;
        // The rerun refuses to finish with another update.pak than the one it
        // was applying, or from a changed backup, as --undo does.
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(rerun.status, 1);
        EXPECT_NE(rerun.out.find(c.rerun_refused), std::string::npos) << rerun.out;
        if (c.rerun_refused == changed_backup_part) {
            EXPECT_EQ(said.find("running the same command again"), std::string::npos) << said;
            const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
            EXPECT_EQ(undo.status, 1);
            EXPECT_NE(undo.out.find("Cannot undo the update of pak0.pak: " + changed_backup_part), std::string::npos)
                << undo.out;
            // What the refusal says the user can do.
            write_file(target(), o);
            const run_result fresh = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(fresh.status, 0) << fresh.out;
            EXPECT_TRUE(same_bytes(read_file(target()), merged->archive));
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
            continue;
        }
        write_file(update(), u);
        expect_rerun_finishes(o, merged->archive);
    }
}

// An update that leaves the archive shorter than it was: the record of what
// a cut-short rewrite is made from still ends the file, so that the next run
// tells the original from another archive of its size and directory place.
TEST_F(Interrupted, TheRecordEndsTheFileOfAnUpdateThatShrinksIt) {
    // An archive a run wrote, with its directory of 4096 entries.
    const std::string o = model_merge(build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}}),
                                      build_pak({}))->archive;
    const std::string u = build_pak({{"B", "b"}});
    const std::string result = model_merge(o, u)->archive;
    ASSERT_LT(result.size(), o.size());
    restore({o, std::nullopt, u});
    // The backup's copy, then update.pak's member: "a" stays in place.
    stop_at_copy(2);
    ASSERT_EQ(read_file(target()).substr(0, 4), "\x89TWr");
    EXPECT_EQ(read_file(target()).size(), o.size() + REWRITE_RECORD_SIZE);
    std::string other = o;
    other[static_cast<std::size_t>(entry_pos(o, 0))] = 'z';
    write_file(backup(), other);
    const run_result refused = run_tarnwick({"pak0.pak"}, dir());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("its backup pak0.bak is not the original that update saved"), std::string::npos)
        << refused.out;
    write_file(backup(), o);
    expect_rerun_finishes(o, result);
}

// In every scenario a file's changes are on disk before a rename relies on
// them, each rename before the next, and the last before the run ends. In a
// fresh run, besides, the backup is on disk before the target changes, and
// the mark before the bytes it covers; update.pak goes only once the new
// members and directory are on disk; the header that ends the run is flushed
// before the run ends. A patch that only adds members or replaces late ones
// writes into the target no more than its members, the directory, the
// header's magic (4 bytes, three times) and directory place (8), and the
// record of what the rewrite is made from.
TEST_F(Interrupted, FlushesComeBeforeWhatDependsOnThem) {
    const std::string big_a = random_bytes(100000, 5), big_b = random_bytes(100000, 6);
    const std::string late = build_pak({{"e", ""}, {"a", big_a}, {"b", big_b}, {"c", "old c"}});
    const struct {
        const char* label;
        std::string original, update;
        std::int64_t member_bytes;  // of update.pak
        // pak0.pak, larger than one piece of a copy, is read from the disk: its
        // backup is read back as it is copied. Last: a file system that
        // cannot drop it from memory skips the row.
        bool from_disk = false;
    } fresh_cases[] = {
        {"a member replaced", build_pak({{"a", "1"}, {"b", "2"}}), build_pak({{"B", "new"}}), 3},
        {"members added", build_pak({{"a", big_a}, {"b", big_b}}), build_pak({{"c", "new c"}, {"d", "dd"}}), 7},
        {"the last member replaced, after an empty one that points past it",
         with_le32(late, entry_pos(late, 0) + 56, 0x10000000), build_pak({{"C", "new c"}, {"d", "dd"}}), 7},
        {"members added to an archive read from the disk", build_pak({{"a", random_bytes((17 << 20) + 5, 7)}}),
         build_pak({{"c", "new c"}, {"d", "dd"}}), 7, true},
    };
    std::vector<scenario> cases;
    for (const scenario& other : scenarios()) {
        if (other.label != "a fresh run") cases.push_back(other);
        // An undo flushes the archive's folder, not the one it runs in.
        if (other.command[0] != "--undo") continue;
        scenario moved = other;
        moved.label += ", run from another folder";
        moved.command.back() = "../pak0.pak";
        moved.from = "elsewhere";
        cases.push_back(moved);
    }
    for (const auto& c : fresh_cases)
        cases.push_back({c.label, {c.original, std::nullopt, c.update}, std::nullopt, {"pak0.pak"}, {},
                         c.member_bytes, c.from_disk});
    const std::string folder = fs::canonical(dir()).string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        start(c);
        if (c.from_disk && !dropped_from_memory(target()))
            GTEST_SKIP() << "the file system keeps " << target() << " in memory";
        std::istringstream trace(recorded_run());
        ASSERT_EQ(last_status_, 0);
        // "flush pak0.pak", "change pak0.pak", "remove update.pak", "flush .", and "start pak0.pak" where
        // writing out begins early
        std::vector<std::string> events;
        std::set<std::size_t> marks;  // events that write a mark: 4 bytes at offset 0
        std::size_t place = 0, cut = 0;  // the directory's place written into the header, the cut to length
        std::int64_t written = 0;     // into the target
        for (std::string line; std::getline(trace, line);) {
            const std::string call = line.substr(0, line.find('('));
            std::string file = line.substr(line.find('(') + 1);
            if (call == "copy_file_range") file = file.substr(file.find("], ") + 3);
            if (call == "unlink") {
                events.push_back("remove " + file.substr(1, file.find('"', 1) - 1));
                continue;
            }
            if (call.rfind("rename", 0) == 0) {
                // strace pads a short call out to a column before its result.
                if (line.substr(line.rfind(") ") + 1).find_first_not_of(" =0") != std::string::npos) continue;
                const std::size_t to = file.rfind('"', file.rfind('"') - 1) + 1;
                events.push_back("rename " + file.substr(to, file.find('"', to) - to));
                continue;
            }
            const auto open = file.find('<'), close = file.find('>');
            if (open == std::string::npos || close < open || call == "openat") continue;
            file = file.substr(open + 1, close - open - 1);
            file = file == folder ? "." : file.substr(file.rfind('/') + 1);
            // The backup is made under a temporary name, then renamed.
            if (file == "pak0.bak.tarnwick-new") file = "pak0.bak";
            if (file != "." && file != "pak0.pak" && file != "pak0.bak") continue;
            const bool flush = call == "fsync" || call == "fdatasync";
            if (call == "pwrite64" && line.find(", 4, 0) = ") != std::string::npos) marks.insert(events.size());
            if (call == "pwrite64" && line.find(", 8, 4) = ") != std::string::npos) place = events.size();
            if (call == "ftruncate") cut = events.size();
            events.push_back((flush ? "flush " : call == "sync_file_range" ? "start " : "change ") + file);
            if (file == "pak0.pak" && (call == "write" || call == "pwrite64" || call == "copy_file_range"))
                written += std::max(0LL, std::stoll(line.substr(line.rfind(" = ") + 3)));
        }
        // Index of the first `event` at or after `from`, or events.size().
        const auto first = [&](const std::string& event, std::size_t from = 0) {
            while (from < events.size() && events[from] != event) ++from;
            return from;
        };
        std::size_t last_rename = events.size();
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].rfind("rename ", 0) != 0) continue;
            if (last_rename < events.size()) {
                EXPECT_LT(first("flush .", last_rename), i) << "no flush of the folder between " << events[last_rename]
                                                            << " #" << last_rename << " and " << events[i] << " #" << i;
            }
            last_rename = i;
        }
        if (last_rename < events.size()) {
            EXPECT_LT(first("flush .", last_rename), events.size()) << events[last_rename] << " is never flushed";
        }
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].rfind("change ", 0) != 0) continue;
            const std::size_t flushed = first("flush " + events[i].substr(7), i);
            EXPECT_LT(flushed, events.size()) << events[i] << " #" << i << " is never flushed";
            for (std::size_t j = i; j < flushed && j < events.size(); ++j)
                EXPECT_NE(events[j].rfind("rename ", 0), 0u) << events[j] << " #" << j << " before the flush of "
                                                             << events[i] << " #" << i;
        }
        if (c.member_bytes < 0) continue;
        EXPECT_LE(written, c.member_bytes + 262144 + 3 * 4 + 8 + REWRITE_RECORD_SIZE);
        // Index of the last `event` before `end`, or events.size().
        const auto last_before = [&](const std::string& event, std::size_t end) {
            std::size_t found = events.size();
            for (std::size_t i = 0; i < end; ++i)
                if (events[i] == event) found = i;
            return found;
        };
        const std::size_t target_changes = first("change pak0.pak"), removal = first("remove update.pak");
        ASSERT_LT(removal, events.size());
        EXPECT_LT(first("flush pak0.bak"), first("rename pak0.bak"));
        EXPECT_LT(first("rename pak0.bak"), first("flush ."));
        EXPECT_LT(first("flush ."), target_changes);
        // The mark is on disk before any byte it stands for changes, and so is
        // the record written after it.
        EXPECT_LT(first("flush pak0.pak", target_changes), first("change pak0.pak", target_changes + 1));
        const std::size_t record = first("change pak0.pak", target_changes + 1);
        EXPECT_LT(first("flush pak0.pak", record), first("change pak0.pak", record + 1));
        const std::size_t data_flushed = last_before("flush pak0.pak", removal);
        EXPECT_LT(data_flushed, removal);
        EXPECT_LT(last_before("change pak0.pak", removal), data_flushed);
        const std::size_t folder_flushed = first("flush .", removal);
        EXPECT_LT(folder_flushed, first("change pak0.pak", removal));
        EXPECT_EQ(events.back(), "flush pak0.pak");
        EXPECT_EQ(events[events.size() - 2], "change pak0.pak");
        // The seal places before it cuts the record away, and the cut is on
        // disk before the complete mark.
        ASSERT_LT(place, cut);
        EXPECT_LT(first("flush pak0.pak", place), cut);
        EXPECT_LT(first("flush pak0.pak", cut), *marks.upper_bound(cut));
        // Writing out begun early is no flush: a flush of the file still
        // comes after it, before any mark, rename or removal relies on it.
        EXPECT_LT(first("start pak0.bak"), first("rename pak0.bak"));
        EXPECT_LT(first("start pak0.pak"), removal);
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].rfind("start ", 0) != 0) continue;
            const std::size_t flushed = first("flush " + events[i].substr(6), i);
            ASSERT_LT(flushed, events.size()) << "no flush after " << events[i] << " #" << i;
            for (std::size_t j = i; j < flushed; ++j)
                EXPECT_TRUE(events[j].rfind("rename ", 0) != 0 && events[j].rfind("remove ", 0) != 0 &&
                            marks.count(j) == 0)
                    << events[j] << " #" << j << " before the flush after " << events[i] << " #" << i;
        }
    }
}

// A second run started while a first one is held at each stage of its work
// is refused and changes nothing; the first ends as if it were alone.
TEST_F(Interrupted, ASecondRunNeverOverlapsTheFirst) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}});
    const std::string u = build_pak({{"A", "new a"}, {"d", random_bytes(5000, 3)}});
    const auto merged = model_merge(o, u);
    ASSERT_TRUE(merged);
    const std::string tool = tarnwick_exe();
    // The exchange refused before the kernel sees it: the undo's renames are
    // then the calls strace counts. Without the shim its rows are skipped.
    std::optional<std::string> no_exchange;
#ifdef TARNWICK_LYING_COPY
    no_exchange = " -E TARNWICK_TEST_NO_EXCHANGE=1 -E LD_PRELOAD=" TARNWICK_LYING_COPY
                  " -E ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0";
#endif
    // A run on the marked pak0.pak holds pak0.bak's lock from its copy to its report.
    const std::string live_sibling = "Cannot update ../pak0: ../pak0.pak, whose original is in ../pak0.bak, is being "
                                     "updated by another run; run it again when that run ends";
    const struct {
        const char* label;
        std::string hold;         // the call the first run is held in, as strace counts it or after a traced line
        std::string second;       // the second run's command line, in the case folder
        std::string refusal;
        bool resuming = false;    // pak0.pak was cut short while rewriting; pak0.bak holds the original
        std::string first = "pak0.pak";  // or an undo of the update, which pak0.pak then holds
        std::optional<std::string> environment = "";  // strace's -E and -P options for the first run
        bool completing = false;  // pak0.pak was left complete but for its magic; pak0.bak holds the original
    } cases[] = {
        {"same target, while the backup is copied", "copy_file_range:when=1", tool + " pak0.pak",
         "Cannot update pak0.pak: another run is updating it"},
        {"same target, while rewriting", kRewriting, tool + " pak0.pak",
         "Cannot update pak0.pak: another run is updating it"},
        {"another target sharing update.pak, while flushing", kRecordFlushed, tool + " pak1.pak",
         "Cannot update pak1.pak: update.pak is in use by another run"},
        {"a target sharing the backup name, while the backup is copied", "copy_file_range:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a dry run of a target sharing the backup name, while the backup is copied", "copy_file_range:when=1",
         "cd other && " + tool + " --dry-run ../pak0",
         "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a dry run of the same target, while rewriting", kRewriting, tool + " --dry-run pak0.pak",
         "Cannot update pak0.pak: another run is updating it"},
        {"an undo of the same target, while rewriting", kRewriting, tool + " --undo pak0.pak",
         "Cannot undo the update of pak0.pak: another run is updating it"},
        {"a target sharing the backup name, while rewriting", kRewriting,
         "cd other && " + tool + " ../pak0", live_sibling},
        {"a target sharing the backup name, while a rewrite cut short is made again", "copy_file_range:when=1",
         "cd other && " + tool + " ../pak0",
         live_sibling, true},
        {"same target, once an undo has exchanged it with its backup", "renameat2:when=1", tool + " pak0.pak",
         "Cannot update pak0.pak: another run is updating it", false, "--undo pak0.pak"},
        {"same target, while an undo by three renames has moved it away", "renameat2:when=1", tool + " pak0.pak",
         "Cannot finish the interrupted undo of pak0.pak: pak0.pak.tarnwick-undo is in use by another run", false,
         "--undo pak0.pak", no_exchange},
        {"a target sharing the backup name, while an undo by three renames has left that name free",
         "renameat2:when=2", "cd other && " + tool + " ../pak0",
         "Cannot update ../pak0: its backup ../pak0.bak is in use by another run", false,
         "--undo pak0.pak", no_exchange},
        // An undo holds the backup's temporary name from before it opens anything.
        {"a target sharing the backup name, while an undo locks the backup's temporary name", "flock:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak"},
        {"a target sharing the backup name, while an undo opens the archive", "openat:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak", " -P pak0.pak"},
        {"a target sharing the backup name, while an undo locks the archive", "flock:when=2",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak"},
        {"a target sharing the backup name, while an undo opens the backup", "openat:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak", " -P pak0.bak"},
        {"a target sharing the backup name, while an undo locks the backup", "flock:when=3",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak"},
        // The first run's report names the backup: it must still be the original when printed.
        {"a target sharing the backup name, while the backup is flushed", "fdatasync:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a target sharing the backup name, while the backup is given its name", "rename:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a target sharing the backup name, while the backup's name is flushed", "fsync:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a target sharing the backup name, while the mark is flushed", kMarkFlushed,
         "cd other && " + tool + " ../pak0", live_sibling},
        {"a target sharing the backup name, while the complete mark is flushed", kCompleteFlushed,
         "cd other && " + tool + " ../pak0", live_sibling},
        {"a target sharing the backup name, while update.pak's removal is flushed", kRemovalFlushed,
         "cd other && " + tool + " ../pak0", live_sibling},
        {"a target sharing the backup name, while the magic is flushed", kMagicFlushed,
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        // Its report names the backup, whose lock it holds until then.
        {"a target sharing the backup name, while the report is printed", "write after completed!",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a target sharing the backup name, while a complete rewrite is finished", "fdatasync:when=1",
         "cd other && " + tool + " ../pak0", live_sibling, false, "pak0.pak", "", true},
        {"a target sharing the backup name, while a complete rewrite's magic is flushed", "fdatasync:when=2",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "pak0.pak", "", true},
        {"a dry run of a target sharing the backup name, while a complete rewrite is finished", "fdatasync:when=1",
         "cd other && " + tool + " --dry-run ../pak0",
         "Cannot update ../pak0: ../pak0.pak, whose original is in ../pak0.bak, is being updated by another run; "
         "run it again when that run ends",
         false, "pak0.pak", "", true},
    };
    std::map<std::string, std::string> held_at;  // rows that hold the same call share one trace
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string d = path("case" + std::to_string(index++));
        fs::create_directories(d + "/other");
        for (const std::string name : {"/pak0.pak", "/pak1.pak"}) write_file(d + name, o);
        // Other bytes than the original's, that a wrongly replaced backup would show.
        write_file(d + "/pak0", u);
        write_file(d + "/update.pak", u);
        write_file(d + "/other/update.pak", u);
        std::string first_out = success_stdout("pak0.pak", "pak0.bak", merged->member_lines);
        if (!c.environment) continue;
        const bool undoing = c.first != "pak0.pak";
        if (undoing) {
            write_file(d + "/pak0.pak", merged->archive);
            write_file(d + "/pak0.bak", o);
            first_out = kTitle + "Undoing the update of pak0.pak...\nExchanged pak0.pak and pak0.bak: each now holds "
                                 "what the other held; --undo again exchanges them back\n";
        }
        if (c.resuming || c.completing) {
            write_file(d + "/pak0.pak", c.resuming ? with_record("\x89TWr" + merged->archive.substr(4, 36), o, u)
                                                   : "\x89TWc" + merged->archive.substr(4));
            write_file(d + "/pak0.bak", o);
            first_out.replace(kTitle.size(), backing_up("pak0.pak").size() - kTitle.size(),
                              "The original is already in pak0.bak, saved by an interrupted run\n");
        }
        const std::string sums = "find . -type f ! -name '*.out' ! -name '*.sum' -exec cksum {} + | sort";
        // A fresh run's call is found in a trace of its own, beside the case folders.
        const bool fresh = !undoing && !c.resuming && !c.completing;
        std::string& hold = held_at[c.hold];
        if (hold.empty()) hold = fresh ? located(c.hold, {o, std::nullopt, u}, {"pak0.pak"}) : c.hold;
        const std::string held_call = hold.substr(0, hold.find(':'));
        const std::string script =
            std::string(kUnderStrace) + *c.environment + " -qq -o held.out -e trace=" + held_call + " -e inject=" +
            hold + ":signal=STOP " + tool + " " + c.first + " >first.out 2>&1 & first=$!\n"
            // Held stopped at that call until the second run is over, whatever the machine's speed.
            "i=0; until grep -qs 'stopped by SIGSTOP' held.out || [ $i -gt 3000 ]; do i=$((i+1)); sleep 0.01; done\n"
            "held=$(tr -d ' ' </proc/$first/task/$first/children)\n" +
            sums + " >before.sum\n(" + c.second + ") >second.out 2>&1; echo $? >>second.out\n" + sums +
            " >after.sum\nkill -CONT $held\nwait $first";
        const run_result run = run_program({"sh", "-c", script}, d);
        std::string first_said = read_file(d + "/first.out");
        // strace -P names the path it resolved a relative one into.
        if (first_said.rfind("strace: Requested path", 0) == 0) first_said.erase(0, first_said.find('\n') + 1);
        EXPECT_EQ(run.status, 0) << first_said;
        EXPECT_EQ(first_said, first_out);
        EXPECT_TRUE(same_bytes(read_file(d + "/pak0.pak"), undoing ? o : merged->archive));
        EXPECT_TRUE(same_bytes(read_file(d + "/pak0.bak"), undoing ? merged->archive : o));
        const std::string second = read_file(d + "/second.out");
        EXPECT_NE(second.find(kBanner + c.refusal + "\n"), std::string::npos) << second;
        EXPECT_EQ(second.substr(second.size() - 2), "1\n") << second;
        EXPECT_EQ(read_file(d + "/before.sum"), read_file(d + "/after.sum"));
    }
}

#endif
