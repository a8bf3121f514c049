// What the end-to-end tests share: the fixture that runs the built tool in a
// temporary folder (EndToEnd), the one that traces and stops it (Interrupted),
// and the helpers of their tables.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "test_support.h"

namespace fs = std::filesystem;

namespace testkit {

inline const std::string kTooLarge = "Resulting pak file would be too large!\nContact Pak Author.\n";
inline const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
#ifdef _WIN32
// Windows has no ulimit: nothing caps the writes there.
inline const std::vector<std::string> kFileSizeCap = {};
#else
// Caps what a faulty build could write while it should be refusing.
inline const std::vector<std::string> kFileSizeCap = {"sh", "-c", "ulimit -f 40000 && exec \"$0\" \"$@\""};
#endif

#ifndef _WIN32
// A socket file that stays behind once its descriptor is closed.
bool make_socket(const std::string& path);
#endif

// LeakSanitizer cannot work under ptrace and would fail a traced run at its exit.
inline constexpr const char* kNoLeakCheck = "-EASAN_OPTIONS=detect_leaks=0";
inline constexpr const char* kUnderStrace = "strace -EASAN_OPTIONS=detect_leaks=0";
// With -f, the tool stops only at the calls traced, so a traced run costs
// little more than a plain one. Not for a signal injected: strace 6.1 then
// lets the run go on.
inline constexpr const char* kOnlyTracedCalls = "--seccomp-bpf";

// The columns a terminal gives UTF-8 text, for the characters these tests
// use: CJK ideographs (U+4E00 to U+9FFF, led by E4 to E9) take two. Text
// that is not UTF-8 has npos.
std::size_t display_columns(const std::string& text);

std::string backing_up(const std::string& target);

// A dry run without the line that says some programs could not be looked
// at: whether it appears depends on the processes of the machine.
std::string without_unseen_note(std::string out);

// A test's name for a row given by its label: letters and digits kept, the rest '_'.
std::string test_name_of(const ::testing::TestParamInfo<const char*>& row);

// The refusal of an archive another program holds open: on Linux it names
// the program, tests/hold_file (its name cut to 15 bytes, as Linux keeps
// it), or the emulator that runs it.
std::string held_refusal(const std::string& lead);

// A wrapper that sends the tool's standard error into `file`, where a shell can.
std::vector<std::string> errors_into(const std::string& file);

std::string with_le32(std::string pak, std::size_t at, std::int32_t value);

// Whether the tests may make symbolic links: Windows asks a privilege that wine does not give.
bool can_make_symlinks();
// Whether a shell can send the tool's standard error into a file (errors_into).
bool errors_can_be_caught();
// Whether "\\" separates folders in a path, as on Windows.
bool backslash_separates_folders();
// Whether a name keeps a trailing dot; Windows drops it, so that "pak0." is "pak0".
bool trailing_dots_are_kept();
// Whether the tests run as root, who may write in the root folder and switch users.
bool running_as_root();

// The variables that make the tool's exchange of two names fail before the
// kernel sees it, through the shim tests/lying_copy.cpp: `how` is "1" for the
// exchange alone, "all" for every rename flag. None where it cannot be preloaded.
std::vector<std::string> no_exchange_environment(const char* how);

struct refusal_case {
    const char* label;
    std::vector<std::string> args;  // relative to the case directory
    // 's'ymlink or 'h'ard link `from` to `to`, a symlink to `to` with no update.pak ('u'), a 'b'ig sparse
    // `from` without members, of `to` bytes or else 2^31, a 'd'irectory, a named 'p'ipe or a soc'k'et, an
    // archive `to` beside `from` 'm'arked by a cut-short rewrite or marked 'c'omplete but for its magic, 'n'o
    // `from` at all, or a symlink to `to` with no update.pak beside pak0.pak cut short while 'r'ewriting from
    // its backup pak0.bak
    char kind;
    const char *from, *to;
    std::string out;      // the whole output, or else...
    std::string mention;  // ...a part of the message after the banner
    int status = 1;
    std::string errors = "";  // on standard error, checked where a shell can catch it
    const char* held = "";    // a file another program holds open through the runs...
    bool held_before = false;  // ...or held and closed, its program ended, before them
    const char* held_by = "";  // the holder's name, where the system tells it, if not hold_file's
};

// Every file below `dir`, with its content (or size, for huge files) or link target.
std::map<std::string, std::string> snapshot(const std::string& dir);

std::vector<pak_member> random_members(std::mt19937& rng);
#ifndef _WIN32
// The system calls through which a run may change a file.
inline const char* const kFileCalls[] = {"openat", "write",  "pwrite64",  "ftruncate", "copy_file_range", "sync_file_range",
                                  "fdatasync", "fsync", "rename", "renameat2", "unlink"};

std::string traced_calls();

struct three_files {
    std::optional<std::string> target, backup, update;
};

// A run or an undo as the tables of stops and flushes take it: where it
// starts, what it is asked and the variables it gets.
struct scenario {
    std::string label;
    three_files start;
    std::optional<std::string> third;  // a half-done undo's pak0.pak.tarnwick-undo
    std::vector<std::string> command;
    std::vector<std::string> environment;
    std::int64_t member_bytes = -1;  // a fresh run's, whose writes into the target are counted
    bool from_disk = false;          // a fresh run's archive read from the disk, not the page cache
    const char* from = "";           // the folder under the test's own that the command runs in, if another
};

// The archives of every scenario: the original, the update and their merge.
struct scenario_archives {
    std::string original, update, result;
};
scenario_archives archives_of_scenarios();

// Puts the file on the disk and drops it from the page cache, as a restart
// would; false where the file system keeps it in memory all the same.
bool dropped_from_memory(const std::string& path);

// A trace of one process, its lines without the process id, padded with
// blanks, that -f puts first.
std::string without_pids(const std::string& trace);

// Whether a traced call (strace -y) changes what a stop leaves on the disk in
// `folder`: a write of a file there, a cut, a kernel copy, a rename, a
// removal, or an open that makes a file.
bool changes_files(const std::string& call, const std::string& line, const std::string& folder);
#endif

}  // namespace testkit

using namespace testkit;

class EndToEnd : public TempDirTest {
protected:
    std::string target() const { return path("pak0.pak"); }
    std::string backup() const { return path("pak0.bak"); }
    std::string update() const { return path("update.pak"); }

    // Runs an update expected to succeed and checks stdout and all three files.
    void expect_success(const std::string& original, const std::string& update_pak,
                        const std::string& target_path, const std::string& backup_path,
                        const std::vector<std::string>& wrapper = {}) {
        write_file(target_path, original);
        write_file(update(), update_pak);
        const auto expected = model_merge(original, update_pak);
        ASSERT_TRUE(expected) << "the model refuses the pair";
#ifndef _WIN32
        const mode_t mask = umask(0);
        umask(mask);
        struct stat info {};
        ASSERT_EQ(stat(target_path.c_str(), &info), 0);
        const mode_t target_mode = info.st_mode & 07777;
#endif
        const run_result run = run_tarnwick({target_path}, dir(), wrapper);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, success_stdout(target_path, backup_path, expected->member_lines));
        EXPECT_TRUE(same_bytes(read_file(target_path), expected->archive));
        EXPECT_TRUE(same_bytes(read_file(backup_path), original));
        EXPECT_FALSE(exists(update()));
#ifndef _WIN32
        // The backup is a new file, with the mode cp gives one; the target keeps its own.
        EXPECT_EQ(stat(backup_path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask);
        EXPECT_EQ(stat(target_path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, target_mode);
#endif
    }

    // Why the tool cannot run under strace (or script) here, or "".
    std::string reason_cannot_trace() {
        if (std::string(TARNWICK_EMULATOR).size() > 0) return "strace and script would take the emulator for the tool";
        if (run_program({"strace", "-o", "/dev/null", "true"}, dir()).status != 0)
            return "strace is missing or may not trace here";
        return "";
    }

    std::string reason_cannot_drop_privileges() {
        if (!running_as_root()) return "needs root to switch to an unprivileged user";
        fs::permissions(dir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
        std::vector<std::string> probe = kAsNobody;
        probe.insert(probe.end(), {"test", "-x", tarnwick_exe()});
        return run_program(probe, dir()).status == 0 ? "" : "setpriv cannot run the tool as uid 65534";
    }

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
            // Under an emulator, every program bears the emulator's name.
            if (*c.held_by && std::string(TARNWICK_EMULATOR).size() > 0) continue;
            const std::string d = path("case" + std::to_string(index++)), from = d + "/" + c.from;
            fs::create_directory(d);
            for (const char* name : {"/pak0.pak", "/own.bak", "/update.pak"})
                write_file(d + name, build_pak({{name, "x"}}));
            std::error_code made;
            // A link in a folder of its own has an archive beside it.
            if (std::strchr(c.from, '/') && fs::create_directory(fs::path(from).parent_path(), made))
                write_file(fs::path(from).parent_path().string() + "/pak0.pak", build_pak({{"sub", "x"}}));
            if (c.kind == 'd') fs::remove(from, made);
            if (c.kind == 's') fs::create_symlink(c.to, from, made);
            if (c.kind == 'h') fs::create_hard_link(d + "/" + c.to, from, made);
            if (c.kind == 'd') fs::create_directory(from, made);
            if (c.kind == 'r') {
                const std::string original = read_file(d + "/pak0.pak");
                write_file(d + "/pak0.bak", original);
                write_file(d + "/pak0.pak", "\x89TWr" + original.substr(4, 20));
            }
            if (c.kind == 'u' || c.kind == 'r') {
                fs::remove(d + "/update.pak");
                fs::create_symlink(c.to, from, made);
            }
#ifndef _WIN32
            if (c.kind == 'p' && mkfifo(from.c_str(), 0600) != 0) made.assign(errno, std::generic_category());
            if (c.kind == 'k' && !make_socket(from)) made.assign(errno, std::generic_category());
#endif
            if (c.kind == 'n') fs::remove(from);
            if (c.kind == 'm' || c.kind == 'c') {
                write_file(d + "/" + c.to, build_pak({{"to", "x"}}));
                // The original the marked archive still needs, in its own folder.
                const std::string original = fs::path(from).parent_path().string() + "/own.bak";
                if (!exists(original)) write_file(original, build_pak({{"own", "x"}}));
                const std::string rewritten = build_pak({{"cut short", "x"}});
                write_file(from, (c.kind == 'm' ? "\x89TWr" : "\x89TWc") + rewritten.substr(4));
            }
            if (c.kind == 'b') {
                write_file(from, raw_header("PACK", 12, 0));
                fs::resize_file(from, *c.to ? std::stoull(c.to) : std::uintmax_t{1} << 31, made);
            }
            ASSERT_FALSE(made) << made.message();
            std::unique_ptr<held_open> holder;
            if (*c.held) holder = std::make_unique<held_open>(d + "/" + c.held, path("holding"), c.held_by);
            if (c.held_before) holder.reset();
            const auto before = snapshot(d);
#ifdef _WIN32
            const run_result run = run_tarnwick(c.args, d, kFileSizeCap);
#else
            fs::remove(path("errors"));
            std::vector<std::string> wrapper = kFileSizeCap;
            wrapper[2] += " 2>../errors";
            const run_result run = run_tarnwick(c.args, d, wrapper);
            std::string errors = c.errors;
            const std::size_t folder = errors.find("{folder}");
            if (folder != std::string::npos) errors.replace(folder, 8, fs::canonical(d).string());
            EXPECT_EQ(read_file(path("errors")), errors);
#endif
            EXPECT_EQ(run.status, c.status);
            const std::string prefix = c.args.empty() ? "" : backing_up(c.args[0]) + kBanner;
            if (!c.out.empty()) {
                EXPECT_EQ(without_unseen_note(run.out), c.out);
            } else if (c.mention.empty()) {
                EXPECT_EQ(run.out, prefix + "Error opening " + c.args[0] + no_such);
            } else {
                EXPECT_EQ(run.out.substr(0, prefix.size()), prefix) << run.out;
                EXPECT_NE(run.out.find(c.mention, prefix.size()), std::string::npos) << run.out;
                EXPECT_EQ(run.out.find("Updating"), std::string::npos) << run.out;
            }
            EXPECT_EQ(snapshot(d), before);
            // A dry run refuses what the run refuses, in the same words.
            if (c.status == 1 && c.args.size() == 1 && c.args[0].rfind("-", 0) != 0) {
                const run_result dry = run_tarnwick({"--dry-run", c.args[0]}, d, kFileSizeCap);
                EXPECT_EQ(dry.status, 1);
                EXPECT_EQ(dry.out, run.out);
                EXPECT_EQ(snapshot(d), before);
            }
        }
    }
};

#ifndef _WIN32

// The calls of a run that Interrupted::located finds after a traced line of
// its own: the first copy after the rewrite mark, and the flushes after the
// marks, the record, the directory's place, the cut, update.pak's removal
// and the magic (or PACK written back over a mark taken off).
inline const std::string kRewriting = "copy_file_range after \"\\211TWr\", 4, 0)";
inline const std::string kMarkFlushed = "fdatasync after \"\\211TWr\", 4, 0)";
inline const std::string kRecordFlushed = "fdatasync after , 56, ";
inline const std::string kPlaceFlushed = "fdatasync after , 8, 4)";
inline const std::string kCutFlushed = "fdatasync after ftruncate(";
inline const std::string kCompleteFlushed = "fdatasync after \"\\211TWc\", 4, 0)";
inline const std::string kRemovalFlushed = "fsync after unlink(\"update.pak\")";
inline const std::string kMagicFlushed = "fdatasync after \"PACK\", 4, 0)";

class Interrupted : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        const std::string reason = reason_cannot_trace();
        if (!reason.empty()) GTEST_SKIP() << reason;
    }

    three_files files() const {
        return {pakmodel::read_file(target()), pakmodel::read_file(backup()), pakmodel::read_file(update())};
    }
    void restore(const three_files& state) {
        for (const auto& [file, bytes] : {std::pair{target(), state.target}, std::pair{backup(), state.backup},
                                          std::pair{update(), state.update}}) {
            fs::remove(file);
            if (bytes) write_file(file, *bytes);
        }
    }

    // Runs the tool under strace with `options` and returns the trace.
    std::string traced_run(const std::vector<std::string>& options) {
        last_status_ = run_program(strace_argv("trace=" + traced_calls(), options), run_folder()).status;
        return read_file(path("trace"));
    }
    std::string run_folder() const { return run_in_.empty() ? dir() : run_in_; }
    std::vector<std::string> strace_argv(const std::string& calls, const std::vector<std::string>& options) {
        std::vector<std::string> argv = {"strace", kNoLeakCheck, "-qq", "-o", path("trace"), "-e", calls};
        argv.insert(argv.end(), options.begin(), options.end());
        for (const std::string& variable : environment_) argv.insert(argv.end(), {"-E", variable});
        argv.push_back(tarnwick_exe());
        argv.insert(argv.end(), command_.begin(), command_.end());
        return argv;
    }

    // The trace (strace -y) of a run that is neither stopped nor held, which
    // stops the tool at the traced calls only.
    std::string recorded_run() { return without_pids(traced_run({kOnlyTracedCalls, "-f", "-y"})); }

    // Every point at which a run from `state` can be stopped: before the
    // n-th call of each kind of file-changing call it makes. A stop before a
    // call that changes nothing a stop leaves on the disk (a flush, writing
    // out begun early, an open that makes no file, a line on standard output)
    // leaves what a stop before the next change leaves, and is not made
    // again; the last call stands for a run stopped once all its changes are in.
    std::vector<std::pair<std::string, int>> stop_points(const three_files& state) {
        restore(state);
        return stop_points();
    }
    // The same of the start already laid out.
    std::vector<std::pair<std::string, int>> stop_points() {
        std::istringstream trace(recorded_run());
        const std::string folder = fs::canonical(dir()).string();
        std::map<std::string, int> counts;
        std::vector<std::pair<std::string, int>> points;
        for (std::string line; std::getline(trace, line);) {
            const std::string call = line.substr(0, line.find('('));
            const int n = ++counts[call];
            if (changes_files(call, line, folder)) points.emplace_back(call, n);
            if (trace.peek() == EOF && (points.empty() || points.back() != std::pair{call, n}))
                points.emplace_back(call, n);
        }
        return points;
    }

    // "call:when=n" as strace's inject takes it, for `at` given so or as
    // "call after text": the first such call after a traced line holding
    // the text, in a run of `command` from `from`. So a row follows the
    // code when a call is added.
    std::string located(const std::string& at, const three_files& from, const std::vector<std::string>& command) {
        const std::size_t after = at.find(" after ");
        if (after == std::string::npos) return at;
        const std::string call = at.substr(0, after), text = at.substr(after + 7);
        restore(from);
        command_ = command;
        std::istringstream trace(recorded_run());
        int count = 0;
        bool seen = false;
        for (std::string line; std::getline(trace, line);) {
            const bool counted = line.rfind(call + "(", 0) == 0 && ++count > 0;
            if (seen && counted) return call + ":when=" + std::to_string(count);
            seen = seen || line.find(text) != std::string::npos;
        }
        ADD_FAILURE() << "no " << call << " after " << text << " in the trace";
        return call + ":when=1";
    }

    // The tool is held before the call, its line begun in the trace, and
    // killed there. strace stops it at that call alone; an injected SIGKILL
    // would have it stop at every call, and cost five times as much.
    void stop_at(const std::pair<std::string, int>& point) {
        const auto& [call, n] = point;
        fs::remove(path("trace"));
        std::atomic<bool> ended{false};
        std::thread run([&] {
            last_status_ = run_program(strace_argv("trace=" + call,
                                                   {kOnlyTracedCalls, "-f", "-e",
                                                    "inject=" + call + ":delay_enter=100000000:when=" + std::to_string(n)}),
                                       run_folder())
                               .status;
            ended = true;
        });
        while (!ended) {
            // The n-th line, begun, or ended with no result while the call waits.
            const std::string trace = read_file(path("trace"));
            std::istringstream lines(trace);
            std::vector<std::string> calls;
            for (std::string line; std::getline(lines, line);) calls.push_back(line);
            const auto at = static_cast<std::size_t>(n - 1);
            if (calls.size() > at && ((calls.size() == at + 1 && trace.back() != '\n') ||
                                      calls[at].rfind(" = ?") == calls[at].size() - 4)) {
                kill_traced(std::stoi(calls[at]));
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        run.join();
    }

    // A tool held by strace dies of SIGKILL only once strace lets it go, and
    // strace 6.1 would first wait out the delay: strace is killed too. The
    // call the tool was held before is then never made.
    static void kill_traced(int tool) {
        const std::string status = read_file("/proc/" + std::to_string(tool) + "/status");
        const std::size_t tracer = status.find("TracerPid:");
        kill(tool, SIGKILL);
        if (tracer != std::string::npos) kill(std::stoi(status.substr(tracer + 10)), SIGKILL);
        // Dead once a zombie or gone: its files are closed, its locks let go.
        for (std::string stat; !(stat = read_file("/proc/" + std::to_string(tool) + "/stat")).empty() &&
                               stat.substr(stat.rfind(')') + 2, 1) != "Z";)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // Stops `command_` before its n-th kernel copy, as a kill does, in the
    // seam's test build: a traced run stops at every call on the way.
    void stop_at_copy(int n) {
        std::string errors;
        last_status_ = run_tarnwick_faults(command_, dir(), "copy " + std::to_string(n) + " stop", errors).status;
    }

    // At every instant the original is whole in the target or its backup,
    // the update in update.pak or the target, and a target that is neither
    // the original nor the result bears the rewrite mark, or the complete
    // mark once all but its magic is the result's.
    void expect_nothing_lost(const std::string& o, const std::string& u, const std::string& result) {
        const three_files now = files();
        EXPECT_TRUE(now.target == o || now.backup == o);
        EXPECT_TRUE(now.update == u || (now.target && now.target->substr(4) == result.substr(4)));
        if (now.target != o && now.target != result) {
            const std::string target = now.target.value_or("");
            const std::string magic = target.substr(0, 4);
            const bool complete = target.size() >= 4 && target.substr(4) == result.substr(4);
            EXPECT_TRUE(magic == "\x89TWr" || (complete && magic == "\x89TWc")) << magic;
        }
    }

    // A run stopped after its last change to a file has finished; any other
    // is finished by running the same command again.
    void expect_rerun_finishes(const std::string& o, const std::string& result) {
        if (read_file(target()) == result && !exists(update())) {
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
            return;
        }
        // A dry run plans what the rerun does and changes nothing, a killed run's leftover included.
        const auto before = snapshot(dir());
        const run_result dry = run_tarnwick({"--dry-run", "pak0.pak"}, dir());
        EXPECT_EQ(dry.status, 0) << dry.out;
        EXPECT_EQ(snapshot(dir()), before);
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(rerun.status, 0) << rerun.out;
        EXPECT_NE(rerun.out.find("Update of pak0.pak completed!"), std::string::npos) << rerun.out;
        EXPECT_TRUE(same_bytes(read_file(target()), result));
        EXPECT_TRUE(same_bytes(read_file(backup()), o));
        EXPECT_FALSE(exists(update()));
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new"))) << "a killed run's temporary file stayed";
    }

    // Every scenario, each from its own start: a fresh run, a cut-short
    // rewrite resumed, a complete mark finished, a mark on an unchanged archive
    // taken off, an undo by exchange, of a complete mark, by three renames and
    // by three plain ones, and an interrupted undo finished by an undo and by
    // a run. The rewrite cut short is what a run stopped at its third kernel
    // copy leaves.
    std::vector<scenario> scenarios() {
        const scenario_archives a = archives_of_scenarios();
        const std::string &o = a.original, &u = a.update, &result = a.result;
        const std::string complete = "\x89TWc" + result.substr(4);
        restore({o, std::nullopt, u});
        command_ = {"pak0.pak"};
        environment_.clear();
        stop_at_copy(3);
        const three_files cut_short = files();
        EXPECT_EQ(cut_short.target.value_or("").substr(0, 4), "\x89TWr") << "no run was stopped while rewriting";
        const std::vector<std::string> run = {"pak0.pak"}, undo = {"--undo", "pak0.pak"};
        std::vector<scenario> list = {
            {"a fresh run", {o, std::nullopt, u}, std::nullopt, run, {}},
            {"a rewrite cut short, resumed", cut_short, std::nullopt, run, {}},
            {"a rewrite complete but for its magic, finished", {complete, o, u}, std::nullopt, run, {}},
            {"a mark on an unchanged archive, taken off", {"\x89TWr" + o.substr(4), o, u}, std::nullopt, run, {}},
            {"an undo by exchange", {result, o, u}, std::nullopt, undo, {}},
            {"an undo of a rewrite complete but for its magic", {complete, o, u}, std::nullopt, undo, {}},
            {"an undo of a rewrite cut short", cut_short, std::nullopt, undo, {}},
            {"an interrupted undo finished by an undo", {std::nullopt, o, u}, result, undo, {}},
            {"an interrupted undo finished by a run, which then updates", {std::nullopt, o, u}, result, run, {}},
        };
        if (const auto environment = no_exchange_environment("1"); !environment.empty())
            list.push_back({"an undo by three renames", {result, o, u}, std::nullopt, undo, environment});
        if (const auto environment = no_exchange_environment("all"); !environment.empty())
            list.push_back({"an undo by three plain renames", {result, o, u}, std::nullopt, undo, environment});
        return list;
    }

    // Lays out where `s` starts, and asks the traced runs what it asks.
    void start(const scenario& s) {
        restore(s.start);
        fs::remove(path("pak0.pak.tarnwick-undo"));
        if (s.third) write_file(path("pak0.pak.tarnwick-undo"), *s.third);
        command_ = s.command;
        environment_ = s.environment;
        run_in_ = *s.from ? path(s.from) : "";
        if (*s.from) fs::create_directories(run_in_);
    }

    int last_status_ = 0;
    std::vector<std::string> command_ = {"pak0.pak"};  // what the traced runs are asked
    std::vector<std::string> environment_;             // and the variables they get
    std::string run_in_;                               // and the folder they run in, if not dir()
};

#endif
