// What a terminal shows: names escaped, and the progress line.

#include <csignal>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "end_to_end.h"

#ifndef _WIN32

// On a terminal a hostile member name is shown escaped; into a pipe it passes as it is.
TEST_F(EndToEnd, ControlBytesInNamesAreEscapedOnATerminal) {
    // Every byte below a space, and DEL, is escaped; the last of them too.
    const std::string hostile = "x\x1b]0;pwned\a\rFAKE\x1f\x7f\\\xc3\xa9";
    const std::string shown = "x\\x1b]0;pwned\\x07\\x0dFAKE\\x1f\\x7f\\\xc3\xa9";
    const std::string u = build_pak({{hostile, "abc"}});
    const std::string damaged = with_le32(u, entry_pos(u, 0) + 60, -1);
    const std::string command = tarnwick_exe() + " pak0.pak";
    const struct {
        const char* label;
        std::string update;
        std::vector<std::string> wrapper;
        std::string line;
    } cases[] = {
        {"pipe", u, {}, "Updating " + hostile + " : 3 bytes\n"},
        {"terminal", u, {"script", "-qec", command, "/dev/null"}, "Updating " + shown + " : 3 bytes\r\n"},
        {"terminal, message", damaged, {"script", "-qec", command, "/dev/null"}, "member 1 (" + shown + ")"},
        // Escaping follows standard output alone.
        {"terminal, errors into a file", u, {"script", "-qec", command + " 2>err", "/dev/null"},
         "Updating " + shown + " : 3 bytes\r\n"},
        {"pipe, errors on a terminal", u, {"script", "-qec", command + " | cat", "/dev/null"},
         "Updating " + hostile + " : 3 bytes\r\n"},
        // In the order the lines are printed: the further argument is reported before the refusal.
        {"terminal, a further argument, message", damaged, {"script", "-qec", command + " more.pak", "/dev/null"},
         "ignored; one archive is updated per run\r\nBacking up update target pak0.pak...\r\n" + kBanner.substr(0, kBanner.size() - 1) +
             "\r\nDamaged archive update.pak: member 1 ("},
    };
    if (std::string(TARNWICK_EMULATOR).size() > 0) GTEST_SKIP() << "script cannot start the tool through an emulator";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(target(), build_pak({}));
        write_file(update(), c.update);
        const run_result run = c.wrapper.empty() ? run_tarnwick({"pak0.pak"}, dir())
                                                 : run_program(c.wrapper, dir());
        EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
    }
}

#endif

// A run slowed down by strace lasts well over a second: on a terminal a
// progress line comes and goes on standard error; elsewhere nothing is written
// there, and standard output is the same either way. On a narrow terminal no
// redraw, nor the blanks that erase one, reaches the last column. How the
// line fits a width is TextWidth's to test.
// One test per row, so that their waits overlap.
class Terminal : public EndToEnd, public ::testing::WithParamInterface<const char*> {};

TEST_P(Terminal, ProgressShowsOnlyOnATerminal) {
    const std::string reason = reason_cannot_trace();
    if (!reason.empty()) GTEST_SKIP() << reason;
    const std::string o = build_pak({{"a", random_bytes(9000, 1)}});
    const std::string u = build_pak(numbered(5, "new", "data"));
    // Two kept runs to move: the second halves the rate, which then loses a digit.
    const std::string o_big =
        build_pak({{"x", "1"}, {"big", random_bytes(8 << 20, 2)}, {"y", "2"}, {"small", "s"}});
    const std::string u_big = build_pak({{"X", "3"}, {"Y", "4"}});
    // Each kernel copy delayed; a second and more, and the backup's single copy is drawn too.
    // A signal injected beside the delay needs every call stopped (kOnlyTracedCalls).
    const auto slow = [](const std::string& delay, const std::string& archive) {
        const bool signal = delay.find("signal=") != std::string::npos;
        const std::string only = std::string(" -f -e trace=copy_file_range ") + kOnlyTracedCalls;
        return std::string(kUnderStrace) + (signal ? "" : only) + " -o held.out -e inject=copy_file_range:delay_exit=" +
               delay + " " + tarnwick_exe() + " '" + archive + "'";
    };
    // Backed up to pak0.bak: the short destination leaves its room to the long path.
    const std::string ascii_path = "pak0.an-extension-of-fifty-characters-all-in-ascii";
    const struct {
        const char* label;
        std::string archive, original, update;
        std::vector<std::string> argv;
        std::string shown;    // in the terminal's text, or on standard error
        std::size_t columns;  // of the terminal, when set
        bool output_in_file = false;
        bool interrupted = false;  // by SIGINT while the line is shown
        std::size_t narrowed = 0;  // the columns the terminal narrows to between the first draw and its erase
    } cases[] = {
        {"terminal", "pak0.pak", o, u, {"script", "-qec", slow("400000", "pak0.pak"), "/dev/null"},
         "\rRewriting pak0.pak: ", 0},
        // Held at the backup's flush, after its copy was drawn, while the terminal narrows.
        {"terminal of 62 columns, narrowed to 50 before an erase, a long path in ASCII", ascii_path, o,
         build_pak({{"new", "data"}}),
         {"script", "-qec",
          "stty cols 62\n" + slow("1050000 -e inject=fdatasync:signal=STOP:when=1", ascii_path) + " & first=$!\n"
              "i=0; until grep -qs 'stopped by SIGSTOP' held.out || [ $i -gt 3000 ]; do i=$((i+1)); sleep 0.01; done\n"
              "held=$(tr -d ' ' </proc/$first/task/$first/children)\nstty cols 50; kill -CONT $held; wait $first",
          "/dev/null"},
         "\rCopying ", 62, false, false, 50},
        {"errors on a terminal, output into a file", "pak0.pak", o, u,
         {"script", "-qec", slow("200000", "pak0.pak") + " >out", "/dev/null"}, "\rRewriting pak0.pak: ", 0, true},
        {"output on a terminal, errors into a file", "pak0.pak", o, u,
         {"script", "-qec", slow("200000", "pak0.pak") + " 2>err", "/dev/null"}, "", 0},
        // Nothing is drawn in a run's first second, however many copies it makes.
        {"a run of under a second", "pak0.pak", o, u,
         {"script", "-qec", tarnwick_exe() + " pak0.pak", "/dev/null"}, "", 0},
        {"two copies of under a second, more than one together", "pak0.pak", o, build_pak({{"new", "data"}}),
         {"script", "-qec", slow("600000", "pak0.pak"), "/dev/null"}, "\rRewriting pak0.pak: ", 0},
        {"a redraw shorter than the one before", "pak0.pak", o_big, u_big,
         {"script", "-qec", slow("500000", "pak0.pak"), "/dev/null"}, "\rRewriting pak0.pak: 8.0 of 8.0 MiB", 0},
        // Stopped as the directory is written, after the last member's copy was drawn.
        {"interrupted while the line is shown", "pak0.pak", o, u,
         {"script", "-qec", slow("260000 -e inject=pwrite64:signal=INT:when=3", "pak0.pak"), "/dev/null"},
         "\rRewriting pak0.pak: ", 0, false, true},
    };
    int rows = 0;
    for (const auto& c : cases) {
        if (c.label != std::string(GetParam())) continue;
        ++rows;
        write_file(path(c.archive), c.original);
        write_file(update(), c.update);
        fs::remove(path("err"));
        const run_result run = run_program(c.argv, dir());
        EXPECT_EQ(run.status, c.interrupted ? 128 + SIGINT : 0);
        // The erase is blanks only; what follows it starts in the first column.
        EXPECT_EQ(run.out.find('\0'), std::string::npos);
        EXPECT_EQ(run.out.find("\rtarnwick: interrupted; ") != std::string::npos, c.interrupted) << run.out;
        if (c.shown.empty()) {
            EXPECT_EQ(read_file(path("err")), "");
            EXPECT_EQ(run.out.find(" MiB/s"), std::string::npos) << run.out;
        } else {
            EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
            EXPECT_NE(run.out.find(" MiB/s"), std::string::npos) << run.out;
        }
        std::istringstream drawn(c.shown.empty() ? "" : run.out);
        std::set<std::string> verbs;
        std::size_t drawn_before = 0;  // columns of the line on the terminal
        std::size_t columns = c.columns;  // of the terminal as the part is drawn
        for (std::string part; std::getline(drawn, part, '\r');) {
            const std::size_t figures_end = part.find(" MiB/s");
            const bool redraw = figures_end != std::string::npos;
            const bool blank = !part.empty() && part.find_first_not_of(' ') == std::string::npos;
            const std::size_t width = display_columns(part);
            if (redraw || blank) {
                // A redraw or an erase covers all of the line before it, as far as the terminal still
                // shows it, and nothing follows a redraw.
                EXPECT_GE(width, columns == 0 ? drawn_before : std::min(drawn_before, columns - 1)) << part;
                if (redraw) {
                    EXPECT_EQ(part.find_first_not_of(' ', figures_end + 6), std::string::npos) << part;
                }
            } else {
                // Other text starts in the first column, never after the erased line.
                EXPECT_NE(part.substr(0, 1), " ") << part;
            }
            drawn_before = redraw ? display_columns(part.substr(0, figures_end + 6)) : 0;
            const std::size_t room = columns;
            if (redraw && c.narrowed != 0) columns = c.narrowed;
            if (room == 0 || !(redraw || blank)) continue;
            EXPECT_LE(width, room - 1) << part;
            if (!redraw) continue;
            // The check of the backup is drawn too when the hold outlasts a
            // second, as on a loaded machine; its short name fits whole.
            const std::string verb = part.substr(0, part.find(' '));
            if (verb == "Checking") continue;
            EXPECT_NE(part.find("..."), std::string::npos) << part;
            verbs.insert(verb);
        }
        if (c.interrupted) continue;
        if (c.columns != 0) {
            EXPECT_EQ(verbs, (std::set<std::string>{"Copying", "Rewriting"})) << run.out;
        }
        EXPECT_TRUE(same_bytes(read_file(path(c.archive)), model_merge(c.original, c.update)->archive));
        if (c.output_in_file) {
            const std::string drawn_aside = read_file(path("out"));
            write_file(path(c.archive), c.original);
            write_file(update(), c.update);
            EXPECT_EQ(drawn_aside, run_tarnwick({c.archive}, dir()).out);
        }
    }
    EXPECT_EQ(rows, 1) << "no row " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Rows, Terminal,
                         ::testing::Values("terminal",
                                           "terminal of 62 columns, narrowed to 50 before an erase, a long path in "
                                           "ASCII",
                                           "errors on a terminal, output into a file",
                                           "output on a terminal, errors into a file", "a run of under a second",
                                           "two copies of under a second, more than one together",
                                           "a redraw shorter than the one before", "interrupted while the line is shown"),
                         test_name_of);
