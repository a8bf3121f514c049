// Calls that fail under a run: a full disk, copies that lie, an update.pak
// that cannot be removed, and every file-changing call failed in turn.

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "backup.h"
#include "end_to_end.h"


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
    std::vector<std::string> wrapper = errors_into(path("errors"));
    wrapper.insert(wrapper.end(), kAsNobody.begin(), kAsNobody.end());
#endif

    const run_result run = run_tarnwick({rw + "/pak0.pak"}, dir(), wrapper);
    // Why, on standard error; and nothing about a half-written archive, which it is not.
    if (errors_can_be_caught()) {
        EXPECT_EQ(read_file(path("errors")), "tarnwick: cannot remove update.pak: " + std::string(std::strerror(EACCES)) + "\n");
    }
    const auto expected = model_merge(o, u);
    ASSERT_TRUE(expected);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, success_stdout(rw + "/pak0.pak", rw + "/pak0.bak", expected->member_lines) + kBanner +
                           "Failed to remove update.pak! Remove by hand.\n\n");
    EXPECT_TRUE(same_bytes(read_file(rw + "/pak0.pak"), expected->archive));
    EXPECT_EQ(read_file(rw + "/pak0.bak"), o);
    EXPECT_EQ(read_file(update()), u);

    // Run again, the update is found applied: nothing is rewritten, and the backup stays the original's.
    const run_result rerun = run_tarnwick({rw + "/pak0.pak"}, dir(), wrapper);
    EXPECT_EQ(rerun.status, 1);
    EXPECT_EQ(rerun.out, kTitle + rw + "/pak0.pak already holds the update in update.pak: nothing was rewritten, no "
                                       "backup was made\n\n---------------------------------------\n"
                                       "Thanks for using tarnwick!\n" +
                             kBanner + "Failed to remove update.pak! Remove by hand.\n\n");
    EXPECT_TRUE(same_bytes(read_file(rw + "/pak0.pak"), expected->archive));
    EXPECT_EQ(read_file(rw + "/pak0.bak"), o);
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
        EXPECT_FALSE(exists(path("out/pak0.bak.tarnwick-new"))) << "a failed backup left its temporary file";
    }
    // The user frees space and runs the same command again: the half-written
    // target is finished from the backup, never copied over it.
    const std::string o = read_file(path("out/pak0.bak")), u = read_file(path("out/update.pak"));
    for (const char* name : {"pak0.pak", "pak0.bak", "update.pak"}) fs::copy_file(path("out/") + name, path("in/") + name, fs::copy_options::overwrite_existing);
    const run_result rerun = run_on_small_disk("2m");
    EXPECT_EQ(rerun.status, 0) << rerun.out;
    EXPECT_TRUE(same_bytes(read_file(path("out/pak0.pak")), model_merge(o, u)->archive));
    EXPECT_EQ(read_file(path("out/pak0.bak")), o);
    EXPECT_FALSE(exists(path("out/update.pak")));
}

// On a file system whose kernel copies write other bytes than they report
// (tests/lying_copy.cpp, preloaded), a copy that differs from its source is
// redone and the run ends as usual; one that differs again is a write failure
// that keeps the earlier backup, or the marked target and update.pak, for a
// rerun. Kernel copy 1 makes the backup, 2 moves the kept members, 3 and 4
// put in the update's members; an archive over one piece of a copy (16 MiB)
// is backed up in two copies, read back as they are made.
TEST_F(EndToEnd, CopiesThatLieAreCaught) {
#ifndef TARNWICK_LYING_COPY
    GTEST_SKIP() << "the shim that makes kernel copies lie is preloaded only into a native Linux build";
#else
    if (std::string(TARNWICK_LYING_COPY).find_first_of(" :") != std::string::npos)
        GTEST_SKIP() << "LD_PRELOAD splits a path at spaces and colons: " << TARNWICK_LYING_COPY;
    const std::string small_o =
        build_pak({{"a", random_bytes(6000, 1)}, {"b", random_bytes(9000, 2)}, {"c", random_bytes(5000, 3)}});
    const std::string small_u = build_pak({{"A", random_bytes(7000, 4)}, {"d", random_bytes(5000, 5)}});
    const auto small_merged = model_merge(small_o, small_u);
    ASSERT_TRUE(small_merged);
    // Over three read-back buffers of 1 MiB each. The original ends in a
    // zero byte 1 MiB after a zero byte of "z". "A" replaces "a", so kernel
    // copy 2 moves "z" and "b", and copy 3 is "A", 2.5 MiB.
    const std::string big_o = build_pak(
        {{"a", random_bytes(3 << 19, 11)}, {"z", std::string(1 << 20, '\0')}, {"b", random_bytes(1 << 19, 12)}});
    const std::string big_u = build_pak({{"A", random_bytes(5 << 19, 13)}});
    const auto big_merged = model_merge(big_o, big_u);
    ASSERT_TRUE(big_merged);
    const std::string huge_o = build_pak({{"a", random_bytes((17 << 20) + 5, 14)}, {"b", random_bytes(9000, 15)}});
    const std::string huge_u = build_pak({{"B", random_bytes(7000, 16)}, {"d", "dd"}});
    const auto huge_merged = model_merge(huge_o, huge_u);
    ASSERT_TRUE(huge_merged);
    const std::string earlier = build_pak({{"earlier", "the backup of an earlier run"}});
    const std::string temp = "pak0.bak.tarnwick-new";
    const struct {
        const char* label;
        const char* how;        // TARNWICK_TEST_LIE
        const char* calls;      // TARNWICK_TEST_LIE_CALLS
        std::string first_lie;  // the shim's first log line
        const char* failing;    // a redone copy lies too, and the run fails naming this file; or nullptr
        bool big = false;             // the archives over three read-back buffers
        const char* write_size = "";  // TARNWICK_TEST_LIE_SIZE: writes of this size lie instead of copies
        bool no_threads = false;      // no thread can be started to read copies back beside their flush
        bool huge = false;            // the archive over one piece of a copy
    } cases[] = {
        {"zeros in the backup", "zero", "1", "copy 1 " + temp, nullptr},
        {"zeros in the kept members", "zero", "2", "copy 2 pak0.pak", nullptr},
        {"the backup shifted", "shift", "1", "copy 1 " + temp, nullptr},
        {"half an update member, the whole reported", "short", "3", "copy 3 pak0.pak", nullptr},
        {"half the backup, the whole reported", "short", "1", "copy 1 " + temp, nullptr},
        {"every write of the backup", "zero", "all", "copy 1 " + temp, "pak0.bak"},
        {"every write of the rewrite", "zero", "2-", "copy 2 pak0.pak", "pak0.pak"},
        {"the first byte of a large backup", "first", "1", "copy 1 " + temp, nullptr, true},
        {"the first byte of a large backup's second read-back buffer", "at:1048576", "1", "copy 1 " + temp, nullptr,
         true},
        {"the last byte of a large backup", "last", "1", "copy 1 " + temp, nullptr, true},
        {"a large backup one byte short, the whole reported", "short-last", "1", "copy 1 " + temp, nullptr, true},
        {"the first byte of a large update member", "first", "3", "copy 3 pak0.pak", nullptr, true},
        {"the first byte of a large update member's second read-back buffer", "at:1048576", "3", "copy 3 pak0.pak",
         nullptr, true},
        {"the last byte of a large update member", "last", "3", "copy 3 pak0.pak", nullptr, true},
        {"the first empty entry of the directory", "at:192", "1", "write 1 pak0.pak", nullptr, true, "262144"},
        {"the last byte of the directory", "last", "1", "write 1 pak0.pak", nullptr, true, "262144"},
        {"zeros in the backup, no thread to read it back", "zero", "1", "copy 1 " + temp, nullptr, false, "", true},
        {"zeros in the kept members, no thread to read them back", "zero", "2", "copy 2 pak0.pak", nullptr, false, "",
         true},
        {"the first byte of a huge backup, read back while the rest is copied", "first", "1", "copy 1 " + temp,
         nullptr, false, "", false, true},
        {"the last byte of a huge backup", "last", "2", "copy 2 " + temp, nullptr, false, "", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string& o = c.huge ? huge_o : c.big ? big_o : small_o;
        const std::string& u = c.huge ? huge_u : c.big ? big_u : small_u;
        const auto& merged = c.huge ? huge_merged : c.big ? big_merged : small_merged;
        write_file(target(), o);
        write_file(backup(), earlier);
        write_file(update(), u);
        fs::remove(path("lies"));
        // An AddressSanitizer build wants its runtime loaded before any
        // other library; the shim needs none, so that check is turned off.
        const run_result run = run_tarnwick(
            {"pak0.pak"}, dir(),
            {"env", "LD_PRELOAD=" TARNWICK_LYING_COPY, "ASAN_OPTIONS=verify_asan_link_order=0",
             std::string("TARNWICK_TEST_LIE=") + c.how, std::string("TARNWICK_TEST_LIE_CALLS=") + c.calls,
             std::string("TARNWICK_TEST_LIE_WRITES=") + (c.failing ? "1" : "0"),
             std::string("TARNWICK_TEST_LIE_SIZE=") + c.write_size,
             std::string("TARNWICK_TEST_NO_THREADS=") + (c.no_threads ? "1" : "0"),
             "TARNWICK_TEST_LIE_LOG=" + path("lies")});
        const std::string lies = read_file(path("lies"));
        ASSERT_EQ(lies.substr(0, c.first_lie.size() + 1), c.first_lie + "\n")
            << "the tool's kernel copies are not where this test lies";
        EXPECT_FALSE(exists(path(temp)));
        if (c.failing == nullptr) {
            EXPECT_EQ(run.status, 0);
            // The copy made again is flushed before it is relied on.
            const std::size_t redone = lies.rfind("\nwrote ");
            ASSERT_NE(redone, std::string::npos) << lies;
            const std::string file = lies.substr(redone + 7, lies.find('\n', redone + 1) - redone - 7);
            EXPECT_NE(lies.find("\nflush " + file + "\n", redone), std::string::npos) << lies;
            EXPECT_EQ(run.out, success_stdout("pak0.pak", "pak0.bak", merged->member_lines));
            EXPECT_TRUE(same_bytes(read_file(target()), merged->archive));
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
            EXPECT_FALSE(exists(update()));
            continue;
        }
        const bool backup_failed = std::string(c.failing) == "pak0.bak";
        EXPECT_NE(lies.find(std::string("\nwrite ") + c.failing), std::string::npos)
            << "the tool's own writes into " << c.failing << " never came to lie too\n" << lies;
        EXPECT_EQ(run.status, 1);
        const std::string start = backing_up("pak0.pak") + (backup_failed ? kBanner : "Updating pak0.pak...\n");
        EXPECT_EQ(run.out.rfind(start, 0), 0u) << run.out;
        // The message is the last thing the run prints.
        const std::string message =
            kBanner + "Error writing " + c.failing + ": the file system returned other bytes than were copied\n";
        EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), message.size())), message) << run.out;
        EXPECT_TRUE(same_bytes(read_file(update()), u));
        if (backup_failed) {
            EXPECT_TRUE(same_bytes(read_file(target()), o));
            EXPECT_TRUE(same_bytes(read_file(backup()), earlier));
        } else {
            EXPECT_NE(read_file(target()).substr(0, 4), "PACK");
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
        }
        if (run.status != 1) continue;
        // On a sound file system the same command finishes the update.
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        std::string expected = success_stdout("pak0.pak", "pak0.bak", merged->member_lines);
        if (!backup_failed) {
            expected.replace(kTitle.size(), backing_up("pak0.pak").size() - kTitle.size(),
                             "The original is already in pak0.bak, saved by an interrupted run\n");
        }
        EXPECT_EQ(rerun.status, 0);
        EXPECT_EQ(rerun.out, expected);
        EXPECT_TRUE(same_bytes(read_file(target()), merged->archive));
        EXPECT_TRUE(same_bytes(read_file(backup()), o));
        EXPECT_FALSE(exists(update()));
        EXPECT_FALSE(exists(path(temp)));
    }
#endif
}

#ifndef _WIN32

// The calls through which a run changes a file, each made to fail in turn:
// every write at an offset, cut to length, flush, rename, exchange, kernel
// copy and removal that a trace of the scenario shows, at its n-th call, with
// EIO (ENOSPC for a write). The call is failed instead of being made
// (strace's inject), so the table proves what the tool reports and how it
// recovers, not what a disk holds after a flush that really failed.
namespace {

// The names the calls have on this CPU; a trace shows which of them a run makes.
const char* const kFailableCalls[] = {"pwrite64", "ftruncate", "copy_file_range", "fdatasync", "fsync",
                                      "rename",   "renameat",  "renameat2",       "unlink",    "unlinkat"};

struct failing_call {
    std::string call;
    int n;
    std::string file;  // as the tool names it in a message
    std::string path = "";  // for a read, the file whose n-th read fails
};

// A strace line's quoted names, in order.
std::vector<std::string> quoted_names(const std::string& line) {
    std::vector<std::string> names;
    for (std::size_t open = line.find('"'); open != std::string::npos;) {
        const std::size_t close = line.find('"', open + 1);
        names.push_back(line.substr(open + 1, close - open - 1));
        open = line.find('"', close + 1);
    }
    return names;
}

// The file a traced call changes, by the name the run gives it: the folder
// is ".", and the backup made under its temporary name is the backup.
std::string changed_file(const std::string& line, const std::string& folder) {
    std::string file;
    const std::vector<std::string> names = quoted_names(line.substr(0, line.find(") = ")));
    const std::size_t open = line.find('<');
    if (line.rfind("rename", 0) == 0) {
        // An exchange writes both; a rename writes its destination.
        file = line.find("RENAME_EXCHANGE") != std::string::npos ? names.front() : names.back();
    } else if (line.rfind("unlink", 0) == 0) {
        file = names.back();
    } else if (open != std::string::npos && open < line.find(',')) {
        file = line.substr(open + 1, line.find('>', open) - open - 1);
        file = file == folder ? "." : file.substr(file.rfind('/') + 1);
    }
    const std::string temp = BACKUP_TEMP_SUFFIX;
    if (file.size() > temp.size() && file.compare(file.size() - temp.size(), temp.size(), temp) == 0)
        file.resize(file.size() - temp.size());
    return file;
}

}  // namespace

class FailingCalls : public Interrupted, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        Interrupted::SetUp();
        o_ = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}, {"c", "333"}});
        u_ = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
        result_ = model_merge(o_, u_)->archive;
    }

    // Every call of `state`'s run that can fail, with the file it changes;
    // `clean_out` receives what the run prints when nothing fails.
    std::vector<failing_call> failing_calls(const three_files& state, std::string& clean_out) {
        restore(state);
        std::vector<std::string> argv = {"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-y",
                                         "-o",     path("trace"), "-e",             "trace="};
        for (const char* call : kFailableCalls) argv.back() += std::string(call) + ",";
        argv.back().pop_back();
        argv.push_back(tarnwick_exe());
        argv.insert(argv.end(), command_.begin(), command_.end());
        const run_result clean = run_program(argv, dir());
        EXPECT_EQ(clean.status, 0) << clean.out;
        clean_out = clean.out;
        std::istringstream trace(without_pids(read_file(path("trace"))));
        const std::string folder = fs::canonical(dir()).string();
        std::map<std::string, int> counts;
        std::vector<failing_call> calls;
        for (std::string line; std::getline(trace, line);) {
            const std::string call = line.substr(0, line.find('('));
            calls.push_back({call, ++counts[call], changed_file(line, folder)});
        }
        return calls;
    }

    // Runs `command_` from `state` with `call` failing; its output and errors
    // go to out_ and errors_.
    int run_failing(const three_files& state, const failing_call& call) {
        restore(state);
        const char* error = call.call == "pwrite64" ? "ENOSPC" : "EIO";
        std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" 2>err", "sh", "strace", kNoLeakCheck, kOnlyTracedCalls,
                                         "-f", "-qq", "-o", path("injected"), "-e", "trace=" + call.call, "-e",
                                         "inject=" + call.call + ":error=" + error + ":when=" + std::to_string(call.n)};
        if (!call.path.empty()) argv.insert(argv.end(), {"-P", call.path});
        // A name as the run spells it, for the calls that take names rather than open files.
        if (!call.path.empty() && call.path[0] != '/') argv.insert(argv.end(), {"-P", path(call.path)});
        argv.push_back(tarnwick_exe());
        argv.insert(argv.end(), command_.begin(), command_.end());
        const run_result run = run_program(argv, dir());
        out_ = run.out;
        errors_ = read_file(path("err"));
        EXPECT_NE(read_file(path("injected")).find(std::string(error) + " ("), std::string::npos) << "not failed";
        return run.status;
    }

    // The failure is reported last, naming the file and the reason, and
    // no update is said to be complete.
    void expect_failure_reported(const failing_call& call) {
        const std::string reason = std::strerror(call.call == "pwrite64" ? ENOSPC : EIO);
        const std::string said =
            kBanner + (call.call == "pread64" ? "Error reading " : "Error writing ") + call.file + ": " + reason + "\n";
        // An undo's rename says which rename failed, and what it left.
        const bool undo_rename = command_[0] == "--undo" && call.call.rfind("rename", 0) == 0;
        if (undo_rename) {
            const std::string last_line = out_.substr(out_.rfind(kBanner) + kBanner.size());
            EXPECT_EQ(last_line.rfind("Cannot undo the update of pak0.pak: ", 0), 0u) << out_;
            EXPECT_NE(last_line.find(reason), std::string::npos) << out_;
            EXPECT_NE(last_line.find(call.file), std::string::npos) << out_;
        } else {
            EXPECT_EQ(out_.substr(out_.size() - std::min(out_.size(), said.size())), said) << out_;
        }
        EXPECT_EQ(out_.find("completed!"), std::string::npos) << out_;
    }

    // After a failed run: standard error tells what is left, nothing is
    // lost, and the same command run again, if anything is left to do,
    // ends the update.
    void expect_run_ends_clean() {
        const three_files now = files();
        // What standard error says is left is what is left. A note is set
        // before the write it speaks of, so one that names both sides of it
        // is true whichever side the failure left.
        const std::string mark = now.target.value_or("").substr(0, 4);
        const bool half_written = errors_.find("half-written") != std::string::npos;
        if (mark == "\x89TWr") {
            // A mark on the original's bytes, which the run was taking off, is "still marked".
            EXPECT_TRUE(half_written || errors_.find("still marked and not playable") != std::string::npos)
                << errors_;
        } else if (mark == "\x89TWc") {
            EXPECT_TRUE(half_written || errors_.find("complete but for its header") != std::string::npos ||
                        errors_.find("is updated but still marked and not playable") != std::string::npos)
                << errors_;
        } else {
            EXPECT_EQ(errors_.find("half-written and not playable;"), std::string::npos) << errors_;
        }
        expect_nothing_lost(o_, u_, result_);
        if (now.target != result_ || now.update) {
            const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(rerun.status, 0) << rerun.out;
        }
        EXPECT_TRUE(same_bytes(read_file(target()), result_));
        EXPECT_TRUE(same_bytes(read_file(backup()), o_));
        EXPECT_FALSE(exists(update()));
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new"))) << "a failed run's temporary file stayed";
    }

    // Fails each call of the run from `state` in turn, after a dry run from
    // there has made none of them and changed no file.
    void fail_each_call_of_run(const three_files& state) {
        command_ = {"--dry-run", "pak0.pak"};
        std::string dry_out;
        restore(state);
        auto before = snapshot(dir());
        std::vector<failing_call> dry_calls = failing_calls(state, dry_out);
        // It claims the backup's temporary name as the run does, and gives it
        // up at once: the one removal it makes is of that name.
        const std::string dry_trace = read_file(path("trace"));
        dry_calls.erase(std::remove_if(dry_calls.begin(), dry_calls.end(),
                                       [&dry_trace](const failing_call& c) {
                                           return c.call.rfind("unlink", 0) == 0 && c.n == 1 &&
                                                  dry_trace.find("\"pak0.bak.tarnwick-new\")") != std::string::npos;
                                       }),
                        dry_calls.end());
        EXPECT_TRUE(dry_calls.empty()) << dry_trace;
        auto after = snapshot(dir());
        before.erase(path("trace"));
        after.erase(path("trace"));
        EXPECT_TRUE(after == before) << "a dry run changed a file";
        command_ = {"pak0.pak"};
        std::string clean_out;
        const std::vector<failing_call> calls = failing_calls(state, clean_out);
        ASSERT_FALSE(calls.empty());
        for (const failing_call& call : calls) {
            SCOPED_TRACE(call.call + " #" + std::to_string(call.n) + " on " + call.file);
            const int status = run_failing(state, call);
            if (call.call == "copy_file_range") {
                // Redone through the program's own loop: nothing to say.
                EXPECT_EQ(status, 0) << out_;
                EXPECT_EQ(out_, clean_out);
                EXPECT_EQ(errors_, "");
            } else if (call.file == "update.pak") {
                // The update is complete; only update.pak could not go.
                EXPECT_EQ(status, 1);
                EXPECT_EQ(out_, clean_out + kBanner + "Failed to remove update.pak! Remove by hand.\n\n");
                EXPECT_EQ(errors_, "tarnwick: cannot remove update.pak: " + std::string(std::strerror(EIO)) + "\n");
                EXPECT_TRUE(same_bytes(read_file(update()), u_));
            } else {
                EXPECT_EQ(status, 1);
                expect_failure_reported(call);
            }
            // Found complete, the archive has every byte written.
            if (state.target->rfind("\x89TWc", 0) == 0) {
                EXPECT_EQ(errors_.find("half-written"), std::string::npos) << errors_;
            }
            expect_run_ends_clean();
        }
    }

    // Fails the first read of each file a fresh run reads: the archive, update.pak
    // and the new backup, which is read back beside its flush and then read
    // back again as the source of the rewritten members.
    void fail_first_reads(const three_files& state) {
        command_ = {"pak0.pak"};
        // Once named, the backup is read as the original of the archive rewritten from it.
        for (const auto& [path, file] : {std::pair{"pak0.pak", "pak0.pak"}, std::pair{"update.pak", "update.pak"},
                                         std::pair{"pak0.bak.tarnwick-new", "pak0.bak"},
                                         std::pair{"pak0.bak", "pak0.pak"}}) {
            // The path as the kernel gives it: the new backup does not exist yet for strace to resolve.
            const failing_call call{"pread64", 1, file, fs::canonical(dir()).string() + "/" + path};
            SCOPED_TRACE(std::string("the first read of ") + path);
            EXPECT_EQ(run_failing(state, call), 1);
            expect_failure_reported(call);
            expect_run_ends_clean();
        }
    }

    // Fails each status read of the archive in turn, of its name or of the
    // file open on it: an error, never an answer ("took its name",
    // "replaced"). The system's own calls fail, so that the platform's layer
    // is tried too; the seam's sweep tries the other names.
    void fail_each_stat(const three_files& state) {
        command_ = {"pak0.pak"};
        const std::string name = "pak0.pak";
        restore(state);
        const run_result counted =
            run_program({"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-o", path("trace"), "-e",
                         "trace=newfstatat", "-P", name, "-P", path(name), tarnwick_exe(), "pak0.pak"},
                        dir());
        ASSERT_EQ(counted.status, 0) << counted.out;
        const std::string trace = read_file(path("trace"));
        const int count = static_cast<int>(std::count(trace.begin(), trace.end(), '\n'));
        for (int n = 1; n <= count; ++n) {
            SCOPED_TRACE(std::string("the status read #") + std::to_string(n) + " of " + name);
            // The look before an open leaves what it cannot tell to the open, which then succeeds.
            const int status = run_failing(state, {"newfstatat", n, name, name});
            // strace says where it found a name given as the run spells it.
            for (std::size_t at; (at = errors_.find("strace: ")) != std::string::npos;)
                errors_.erase(at, errors_.find('\n', at) + 1 - at);
            if (status == 0) {
                EXPECT_EQ(out_, counted.out);
                continue;
            }
            expect_status_failure_ends_clean(state);
        }
    }

    // The same of every status read, of a folder's names too, where each
    // is made to fail in the seam's test build, without a tracer.
    void fail_each_status_in_seam(const three_files& state) {
        command_ = {"pak0.pak"};
        restore(state);
        std::string calls;
        set_environment("TARNWICK_FAULT_TRACE", "1");
        const run_result counted = run_tarnwick_faults(command_, dir(), "", calls);
        set_environment("TARNWICK_FAULT_TRACE", "");
        ASSERT_EQ(counted.status, 0) << counted.out;
        int count = 0;
        for (std::size_t at = 0; (at = calls.find("tarnwick-faults: status ", at)) != std::string::npos; ++at) ++count;
        ASSERT_GT(count, 0);
        for (int n = 1; n <= count; ++n) {
            SCOPED_TRACE(std::string("the status read #") + std::to_string(n));
            restore(state);
            const run_result run =
                run_tarnwick_faults(command_, dir(), "status " + std::to_string(n) + " " + std::to_string(EIO), errors_);
            out_ = run.out;
            // The look before an open leaves what it cannot tell to the open, which then succeeds.
            if (run.status == 0) {
                EXPECT_EQ(out_, counted.out);
                continue;
            }
            expect_status_failure_ends_clean(state);
        }
    }

    void expect_status_failure_ends_clean(const three_files& state) {
        const std::string last = out_.substr(std::min(out_.size(), out_.rfind(kBanner)));
        EXPECT_NE(last.find(std::strerror(EIO)), std::string::npos) << out_;
        for (const char* answer : {"took its name", "was replaced", "removed by something else", "completed!"})
            EXPECT_EQ(out_.find(answer), std::string::npos) << out_;
        // Until the plan has read the files, a failure adds no note, and has changed nothing.
        const three_files now = files();
        if (errors_.empty() && now.target == state.target && now.backup == state.backup &&
            now.update == state.update)
            errors_ = "half-written";
        expect_run_ends_clean();
    }

    // Fails the archive's last close, after its magic is on the disk: the
    // failure says the update is in, and what became of update.pak.
    void fail_last_close() {
        command_ = {"pak0.pak"};
        const std::string applied = ", and update.pak was removed";
        for (const auto& [state, said] : {std::pair{three_files{o_, std::nullopt, u_}, applied},
                                          std::pair{three_files{"\x89TWc" + result_.substr(4), o_, u_}, applied},
                                          std::pair{three_files{"\x89TWc" + result_.substr(4), o_, std::nullopt},
                                                    std::string()}}) {
            SCOPED_TRACE(state.target->substr(0, 4));
            // The archive's last close: the look for programs holding it closes a handle on it first.
            restore(state);
            const std::string canonical = fs::canonical(target()).string();
            ASSERT_EQ(run_program({"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-o", path("trace"), "-e",
                                   "trace=close", "-P",
                                   canonical, tarnwick_exe(), "pak0.pak"},
                                  dir())
                          .status,
                      0);
            const std::string trace = read_file(path("trace"));
            const int closes = static_cast<int>(std::count(trace.begin(), trace.end(), '\n'));
            EXPECT_EQ(run_failing(state, {"close", closes, "pak0.pak", canonical}), 1);
            EXPECT_EQ(out_.substr(out_.find(kBanner)),
                      kBanner + "Error writing pak0.pak: " + std::strerror(EIO) + "\n");
            EXPECT_EQ(errors_, "tarnwick: pak0.pak is updated" + said + "; only closing it failed\n");
            EXPECT_TRUE(same_bytes(read_file(target()), result_));
            EXPECT_FALSE(exists(update()));
        }
    }

    // Fails each call of an undo from `updated`, the target an update left,
    // whose clean end is `undone`.
    void fail_each_call_of_undo(const three_files& updated, const three_files& undone, const std::string& done) {
        command_ = {"--undo", "pak0.pak"};
        std::string clean_out;
        std::vector<failing_call> calls = failing_calls(updated, clean_out);
        ASSERT_FALSE(calls.empty());
        EXPECT_NE(clean_out.find(done), std::string::npos) << clean_out;
        // Its claim on the backup's temporary name goes last. A removal of it
        // that fails leaves what a killed run leaves, which the next run removes.
        EXPECT_EQ(calls.back().call.rfind("unlink", 0), 0u) << calls.back().call;
        calls.pop_back();
        // The names it gave the archives are on disk before it ends.
        EXPECT_EQ(calls.back().call + " " + calls.back().file, "fsync .");
        for (const failing_call& call : calls) {
            SCOPED_TRACE(call.call + " #" + std::to_string(call.n) + " on " + call.file + " of " +
                         updated.target->substr(0, 4));
            EXPECT_EQ(run_failing(updated, call), 1);
            expect_failure_reported(call);
            // Both archives stay whole; an undo that happened says so.
            const three_files now = files();
            const bool undone_now = now.target == o_;
            EXPECT_EQ(out_.find(done) != std::string::npos, undone_now) << out_;
            // A failed last flush leaves the undo done, and says so, lest it be undone again.
            EXPECT_EQ(errors_.find("only the flush of their folder failed") != std::string::npos,
                      undone_now && call.file == ".")
                << errors_;
            if (undone_now) {
                EXPECT_TRUE(now.backup == undone.backup);
            } else {
                EXPECT_TRUE(now.target == updated.target || now.target == result_);
                EXPECT_TRUE(now.backup == o_);
                const run_result again = run_tarnwick(command_, dir());
                EXPECT_EQ(again.status, 0) << again.out;
            }
            EXPECT_TRUE(same_bytes(read_file(target()), o_));
            EXPECT_TRUE(files().backup == undone.backup);
            EXPECT_TRUE(same_bytes(read_file(update()), u_));
            // The update applies again as it did the first time.
            const run_result run = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_TRUE(same_bytes(read_file(target()), result_));
            EXPECT_TRUE(same_bytes(read_file(backup()), o_));
        }
    }

    // A target cut short while it was rewritten, as a run stopped there leaves it.
    std::string cut_short() {
        command_ = {"pak0.pak"};
        restore({o_, std::nullopt, u_});
        stop_at_copy(3);
        const std::string target_bytes = read_file(target());
        EXPECT_EQ(target_bytes.substr(0, 4), "\x89TWr");
        return target_bytes;
    }

    std::string out_, errors_;
    std::string o_, u_, result_;
};

TEST_P(FailingCalls, AFailedCallIsReportedAndLosesNothing) {
    const std::string scenario = GetParam();
    if (scenario == "fresh") {
        fail_each_call_of_run({o_, std::nullopt, u_});
        fail_first_reads({o_, std::nullopt, u_});
        fail_last_close();
    } else if (scenario == "fresh, its status reads") {
        fail_each_stat({o_, std::nullopt, u_});
        fail_each_status_in_seam({o_, std::nullopt, u_});
    } else if (scenario == "over an earlier backup, its status reads") {
        fail_each_status_in_seam({o_, result_, u_});
    } else if (scenario == "already applied") {
        fail_each_call_of_run({result_, o_, u_});
    } else if (scenario == "unmarked") {
        // Marked, then stopped before any other byte changed: the mark comes off first.
        fail_each_call_of_run({"\x89TWr" + o_.substr(4), o_, u_});
    } else if (scenario == "resumed") {
        fail_each_call_of_run({cut_short(), o_, u_});
    } else if (scenario == "complete") {
        const std::string complete = "\x89TWc" + result_.substr(4);
        fail_each_call_of_run({complete, o_, u_});
        fail_each_call_of_run({complete, o_, std::nullopt});
        fail_each_status_in_seam({complete, o_, u_});
    } else if (scenario == "undo") {
        const std::string exchanged = "Exchanged pak0.pak and pak0.bak";
        fail_each_call_of_undo({result_, o_, u_}, {o_, result_, u_}, exchanged);
        fail_each_call_of_undo({"\x89TWc" + result_.substr(4), o_, u_}, {o_, result_, u_}, exchanged);
        fail_each_call_of_undo({cut_short(), o_, u_}, {o_, std::nullopt, u_}, "is back in its place");
    }
}

// One test per scenario, so that they run side by side.
INSTANTIATE_TEST_SUITE_P(Scenarios, FailingCalls,
                         ::testing::Values("fresh", "fresh, its status reads", "over an earlier backup, its status reads",
                                           "already applied", "unmarked", "resumed", "complete", "undo"),
                         test_name_of);

#endif
