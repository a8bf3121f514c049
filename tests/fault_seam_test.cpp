// Failing, stopping and interrupting the n-th file-system call of a kind in
// process, through the test build tarnwick-faults: the same table runs
// natively and under wine, with each platform's system error codes and the
// words its mapping gives them.
#include <cerrno>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testkit;

namespace {

// What a file holds after a run: the original, the update, the result, an
// archive bearing the rewrite or the complete mark, the original bearing the
// rewrite mark as a run stopped right after its mark leaves it, or nothing.
enum class held { original, update, result, rewrite_mark, complete_mark, marked_original, nothing };
struct three_held {
    held target, backup, update;
};

// A call counted from the clean run's trace: the nth call of `kind` after
// the call `after` ("" for the start), or before it for a negative nth. So
// a row follows the code when a call is added, and the platforms, whose
// copies differ, share it.
struct call_place {
    const char* kind;
    int nth;
    const char* after;
};

// A system error as each platform's own code, and the words it reaches the
// user in.
struct system_error {
    unsigned long posix, windows;
    const char* posix_words;
    const char* windows_words;
};
const system_error kIoError{EIO, 23 /* ERROR_CRC */, "Input/output error", "Input/output error"};
const system_error kDiskFull{ENOSPC, 112 /* ERROR_DISK_FULL */, "No space left on device",
                             "No space left on device"};
const system_error kAccessDenied{EACCES, 5 /* ERROR_ACCESS_DENIED */, "Permission denied", "Permission denied"};
const system_error kPathNotFound{ENOENT, 3 /* ERROR_PATH_NOT_FOUND */, "No such file or directory",
                                 "No such file or directory"};
// A rename is the folder's to refuse: POSIX names the folder, Windows denies access for other reasons too.
const system_error kFolderRefuses{EACCES, 5 /* ERROR_ACCESS_DENIED */,
                                  "its folder <folder> refuses the change (Permission denied)", "Permission denied"};
const system_error kSharingViolation{EBUSY, 32 /* ERROR_SHARING_VIOLATION */, "Device or resource busy",
                                     "another program has it open"};
// What a Linux file system without the exchange answers; Windows has none.
const std::string kNoExchange = "exchange 1 95;";

enum class run_kind { update, undo_by_exchange, undo_by_renames };

struct fault_row {
    const char* what;
    run_kind run;
    call_place place;
    std::optional<system_error> error;  // else "stop", "interrupt" or "busy", by `ending`
    const char* ending;
    int status;  // 0, 1, or -1 for killed and -2 for interrupted
    std::string out;  // after the title and the first line
    std::string errors;
    three_held after;
    bool claim_left = false;  // a stop leaves the claim on the backup's temporary name, as a kill does
    // Where given, a second call fails the same way: one counted as `place` is, or with no `after`, the
    // call of `place`'s kind this many after the first.
    std::optional<call_place> also = std::nullopt;
    // Where given, the undo starts half done: its first rename moved pak0.pak, holding this, to the spare name.
    held spare = held::nothing;
    held earlier = held::nothing;  // where given, an update starts over this earlier backup
    held target = held::original;  // what an update starts from
    const char* also_ending = nullptr;  // where given, the second call is stopped or interrupted instead
};

const std::string kBackingUp = "Backing up update target pak0.pak...\n";
const std::string kUpdating = kBackingUp + "Updating pak0.pak...\n";
const std::string kUndoing = "Undoing the update of pak0.pak...\n";
const std::string kExchanged =
    kUndoing + "Exchanged pak0.pak and pak0.bak: each now holds what the other held; --undo again exchanges them back\n";
const std::string kHalfWritten =
    "tarnwick: pak0.pak is half-written and not playable; the original is in pak0.bak; running the same command "
    "again, once the cause is fixed, finishes the update\n";
const std::string kMarking =
    "tarnwick: pak0.pak is half-written and not playable, or still as it was; the original is in pak0.bak; running "
    "the same command again, once the cause is fixed, finishes the update\n";
const std::string kUnmarking = "tarnwick: pak0.pak is as it was, or still marked and not playable; the original is in "
                               "pak0.bak; running the same command again updates it\n";
const std::string kFinishing =
    "tarnwick: pak0.pak is updated, or complete but for its header: if it does not load, run the same command again\n";
const std::string kUndoHalfDone = "the undo of pak0.pak is half done; running the same command again finishes it\n";
const std::string kCompleted =
    "Update of pak0.pak completed!\n\nBackup of original in pak0.bak\nThanks for using tarnwick!\n";

std::string failed(const std::string& before, const std::string& message) {
    return before + kBanner + message + "\n";
}

// The table's reasons are put in by error_words(row) where the row has one.
const std::string kReason = "<reason>";

std::vector<fault_row> rows() {
    const std::string members = "Updating B : 5 bytes\nUpdating d : 5000 bytes\n";
    const std::string done = kUpdating + members + "\n---------------------------------------\n" + kCompleted;
    const std::string not_put_back = ", and so did putting the names back; the undo is half done: running the same "
                                     "command again finishes it";
    return {
        // The run's commit steps: the backup's copy, flush and name.
        {"the backup's flush", run_kind::update, {"flush", 1, ""}, kIoError, "", 1,
         failed(kBackingUp, "Error writing pak0.bak: " + kReason), "",
         {held::original, held::nothing, held::update}},
        // The read-back beside the flush, on a thread of its own.
        {"the backup's read-back", run_kind::update, {"read", -2, "rename 1"}, kIoError, "", 1,
         failed(kBackingUp, "Error reading pak0.bak: " + kReason), "", {held::original, held::nothing, held::update}},
        // Another run may put its backup in place while this one makes its temporary file.
        {"the earlier backup's lock, once the backup's name is claimed", run_kind::update, {"lock", 1, "open 6"},
         std::nullopt, "busy", 1,
         failed(kBackingUp, "Cannot update pak0.pak: its backup pak0.bak is in use by another run"), "",
         {held::original, held::update, held::update}, false, std::nullopt, held::nothing, held::update},
        {"the backup's rename", run_kind::update, {"rename", 1, ""}, kIoError, "", 1,
         failed(kBackingUp, "Error writing pak0.bak: " + kReason), "",
         {held::original, held::nothing, held::update}},
        {"the backup's rename, stopped", run_kind::update, {"rename", 1, ""}, std::nullopt, "stop", -1, kBackingUp,
         "", {held::original, held::nothing, held::update}, true},
        {"the backup's folder flush", run_kind::update, {"flush-folder", 1, ""}, kIoError, "", 1,
         failed(kBackingUp, "Error writing .: " + kReason), "", {held::original, held::original, held::update}},
        // The marks and the rewrite.
        {"the rewrite mark", run_kind::update, {"write", 1, "rename 1"}, kDiskFull, "", 1,
         failed(kUpdating, "Error writing pak0.pak: " + kReason),
         kMarking,
         {held::original, held::original, held::update}},
        {"the rewrite mark's flush", run_kind::update, {"flush", 1, "rename 1"}, kIoError, "", 1,
         failed(kUpdating, "Error writing pak0.pak: " + kReason),
         kMarking,
         {held::rewrite_mark, held::original, held::update}},
        {"the record's flush", run_kind::update, {"flush", 2, "rename 1"}, kIoError, "", 1,
         failed(kUpdating, "Error writing pak0.pak: " + kReason), kHalfWritten,
         {held::rewrite_mark, held::original, held::update}},
        {"the rewrite, stopped", run_kind::update, {"write", -1, "truncate 1"}, std::nullopt, "stop", -1,
         kUpdating + members, "", {held::rewrite_mark, held::original, held::update}},
        {"the rewrite, interrupted", run_kind::update, {"write", -1, "truncate 1"}, std::nullopt, "interrupt", -2,
         kUpdating + members, "tarnwick: interrupted; " + kHalfWritten.substr(10),
         {held::rewrite_mark, held::original, held::update}},
        {"the cut to length", run_kind::update, {"truncate", 1, ""}, kIoError, "", 1,
         failed(kUpdating + members, "Error writing pak0.pak: " + kReason), kHalfWritten,
         {held::rewrite_mark, held::original, held::update}},
        // The seal: the complete mark, the removal of update.pak, the magic.
        {"the complete mark's flush", run_kind::update, {"flush", 1, "truncate 1"}, kIoError, "", 1,
         failed(kUpdating + members, "Error writing pak0.pak: " + kReason), kHalfWritten,
         {held::rewrite_mark, held::original, held::update}},
        {"update.pak's removal", run_kind::update, {"remove", 1, "truncate 1"}, kIoError, "", 1,
         failed(done, "Failed to remove update.pak! Remove by hand.\n"),
         "tarnwick: cannot remove update.pak: " + kReason + "\n", {held::result, held::original, held::update}},
        {"update.pak's removal, and the close", run_kind::update, {"remove", 1, "truncate 1"}, kIoError, "", 1,
         failed(kUpdating + members, "Error writing pak0.pak: " + kReason),
         "tarnwick: pak0.pak is updated, and update.pak could not be removed (" + kReason +
             "); only closing it failed\n",
         {held::result, held::original, held::update}, false, {{"close", 1, "remove 1"}}},
        {"update.pak's removal's folder flush", run_kind::update, {"flush-folder", 1, "remove 1"}, kIoError, "", 1,
         failed(kUpdating + members, "Error writing .: " + kReason),
         "tarnwick: pak0.pak is updated but still marked and not playable; the original is in pak0.bak; running the "
         "same command again, once the cause is fixed, finishes the update\n",
         {held::complete_mark, held::original, held::nothing}},
        {"update.pak's removal, stopped", run_kind::update, {"remove", 1, "truncate 1"}, std::nullopt, "stop", -1,
         kUpdating + members, "", {held::complete_mark, held::original, held::update}},
        {"the magic", run_kind::update, {"write", 1, "remove 1"}, kIoError, "", 1,
         failed(kUpdating + members, "Error writing pak0.pak: " + kReason),
         kFinishing,
         {held::complete_mark, held::original, held::nothing}},
        {"the magic's flush", run_kind::update, {"flush", 1, "remove 1"}, kIoError, "", 1,
         failed(kUpdating + members, "Error writing pak0.pak: " + kReason),
         kFinishing,
         {held::result, held::original, held::nothing}},
        {"the archive's status, once it is locked", run_kind::update, {"status", 1, "lock 1"}, kIoError, "", 1,
         failed(kBackingUp, "Error reading the status of pak0.pak: " + kReason), "",
         {held::original, held::nothing, held::update}},
        // The mark of a run stopped before it changed anything comes off first.
        {"the mark's removal", run_kind::update, {"write", 1, ""}, kIoError, "", 1,
         failed(kBackingUp, "Error writing pak0.pak: " + kReason), kUnmarking,
         {held::marked_original, held::original, held::update}, false, std::nullopt, held::nothing, held::original,
         held::marked_original},
        {"the mark's removal's flush", run_kind::update, {"flush", 1, ""}, kIoError, "", 1,
         failed(kBackingUp, "Error writing pak0.pak: " + kReason), kUnmarking,
         {held::original, held::original, held::update}, false, std::nullopt, held::nothing, held::original,
         held::marked_original},
        // An archive that already holds the update is compared with it, member by member: a read that fails
        // there is an error, never a difference that would back up the updated archive as the original.
        {"a read comparing update.pak with the archive that holds it", run_kind::update, {"read", -4, "remove 1"},
         kIoError, "", 1, failed(kBackingUp, "Error reading update.pak: " + kReason), "",
         {held::result, held::original, held::update}, false, std::nullopt, held::nothing, held::original,
         held::result},
        // The Windows layer's mapping of the errors users read most.
        // The first open looks for what a stopped undo left.
        {"a sharing violation at the archive's open", run_kind::update, {"open", 2, ""}, kSharingViolation, "", 1,
         failed(kBackingUp, "Error opening pak0.pak: " + kReason), "", {held::original, held::nothing, held::update}},
        {"access denied at the rewrite mark", run_kind::update, {"write", 1, "rename 1"}, kAccessDenied, "", 1,
         failed(kUpdating, "Error writing pak0.pak: " + kReason),
         kMarking,
         {held::original, held::original, held::update}},
        {"a full disk at the record", run_kind::update, {"write", 2, "rename 1"}, kDiskFull, "", 1,
         failed(kUpdating, "Error writing pak0.pak: " + kReason), kHalfWritten,
         {held::rewrite_mark, held::original, held::update}},
        {"access denied at the backup's rename", run_kind::update, {"rename", 1, ""}, kFolderRefuses, "", 1,
         failed(kBackingUp, "Error writing pak0.bak: " + kReason), "", {held::original, held::nothing, held::update}},
        {"a path not found at the backup's rename", run_kind::update, {"rename", 1, ""}, kPathNotFound, "", 1,
         failed(kBackingUp, "Error writing pak0.bak: " + kReason), "", {held::original, held::nothing, held::update}},
        // The undo's steps: by exchange where the system has one, else by three renames.
        // Another run, on an archive sharing the backup, is making its backup; the name stays that run's.
        {"the claim on the backup's temporary name", run_kind::undo_by_exchange, {"lock", 1, ""}, std::nullopt,
         "busy", 1, failed("", "Cannot undo the update of pak0.pak: its backup pak0.bak is in use by another run"), "",
         {held::result, held::original, held::update}, true},
        {"the exchange", run_kind::undo_by_exchange, {"exchange", 1, ""}, kIoError, "", 1,
         failed(kUndoing, "Cannot undo the update of pak0.pak: exchanging pak0.pak and pak0.bak failed: " + kReason +
                              "; pak0.pak and pak0.bak are as they were before the undo"),
         "", {held::result, held::original, held::update}},
        {"the exchange's folder flush", run_kind::undo_by_exchange, {"flush-folder", 1, "exchange 1"}, kIoError, "",
         1, failed(kExchanged, "Error writing .: " + kReason),
         "tarnwick: pak0.pak and pak0.bak are already exchanged; only the flush of their folder failed, so do not "
         "undo again\n",
         {held::original, held::result, held::update}},
        {"the second rename", run_kind::undo_by_renames, {"rename", 2, ""}, kIoError, "", 1,
         failed(kUndoing, "Cannot undo the update of pak0.pak: renaming pak0.bak to pak0.pak failed: " + kReason +
                              "; pak0.pak and pak0.bak are as they were before the undo"),
         "", {held::result, held::original, held::update}},
        {"the second rename's flush", run_kind::undo_by_renames, {"flush-folder", 2, ""}, kIoError, "", 1,
         failed(kUndoing, "Error writing .: " + kReason), "tarnwick: " + kUndoHalfDone,
         {held::original, held::nothing, held::update}},
        {"the third rename, and the first put-back", run_kind::undo_by_renames, {"rename", 3, ""}, kIoError, "", 1,
         failed(kUndoing, "Cannot undo the update of pak0.pak: renaming pak0.pak.tarnwick-undo to pak0.bak failed: " +
                              kReason + not_put_back),
         "tarnwick: " + kUndoHalfDone, {held::original, held::nothing, held::update}, false, {{"rename", 1, nullptr}}},
        {"the third rename, and the second put-back", run_kind::undo_by_renames, {"rename", 3, ""}, kIoError, "", 1,
         failed(kUndoing, "Cannot undo the update of pak0.pak: renaming pak0.pak.tarnwick-undo to pak0.bak failed: " +
                              kReason + not_put_back),
         "tarnwick: " + kUndoHalfDone, {held::nothing, held::original, held::update}, false, {{"rename", 2, nullptr}}},
        // Putting a name back is a step Ctrl-C waits for; once the names are as they were, nothing is left to say.
        {"the second rename, and Ctrl-C at its put-back", run_kind::undo_by_renames, {"rename", 2, ""}, kIoError, "",
         -2, kUndoing, "tarnwick: interrupted\n", {held::result, held::original, held::update}, false,
         {{"rename", 1, nullptr}}, held::nothing, held::nothing, held::original, "interrupt"},
        // A file at the spare name that cannot be opened may be what a stopped undo left: the undo goes on.
        {"the open of a half-done undo's spare name", run_kind::undo_by_renames, {"open", 1, ""}, kAccessDenied, "",
         0, "Finished the interrupted undo of pak0.pak first: it and pak0.bak are exchanged\n", "",
         {held::original, held::result, held::update}, false, std::nullopt, held::result},
        {"the second rename, stopped", run_kind::undo_by_renames, {"rename", 2, ""}, std::nullopt, "stop", -1,
         kUndoing, "", {held::nothing, held::original, held::update}, true},
        {"Ctrl-C at the first rename", run_kind::undo_by_renames, {"rename", 1, ""}, std::nullopt, "interrupt", -2,
         kUndoing, "tarnwick: interrupted; " + kUndoHalfDone, {held::nothing, held::original, held::update}},
        {"Ctrl-C at the second rename", run_kind::undo_by_renames, {"rename", 2, ""}, std::nullopt, "interrupt", -2,
         kUndoing, "tarnwick: interrupted; " + kUndoHalfDone, {held::original, held::nothing, held::update}},
        {"Ctrl-C at the third rename", run_kind::undo_by_renames, {"rename", 3, ""}, std::nullopt, "interrupt", -2,
         kUndoing,
         "tarnwick: interrupted; pak0.pak and pak0.bak are exchanged: the undo is done, and their folder was being "
         "flushed\n",
         {held::original, held::result, held::update}},
    };
}

class FaultSeam : public TempDirTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        o_ = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}, {"c", "333"}});
        u_ = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
        result_ = model_merge(o_, u_)->archive;
    }

    std::string bytes_of(held what) const {
        switch (what) {
        case held::original: return o_;
        case held::update: return u_;
        case held::result: return result_;
        case held::rewrite_mark: return "\x89TWr";
        case held::complete_mark: return "\x89TWc" + result_.substr(4);
        case held::marked_original: return "\x89TWr" + o_.substr(4);
        case held::nothing: break;
        }
        return "";
    }

    void lay_out(const three_held& state, held spare = held::nothing) {
        for (const char* name : {"pak0.pak", "pak0.bak", "update.pak", "pak0.bak.tarnwick-new",
                                 "pak0.pak.tarnwick-undo"})
            std::filesystem::remove(std::filesystem::u8path(path(name)));
        for (const auto& [name, what] : {std::pair{"pak0.pak", state.target}, std::pair{"pak0.bak", state.backup},
                                         std::pair{"update.pak", state.update}})
            if (what != held::nothing) write_file(path(name), bytes_of(what));
        if (spare != held::nothing) write_file(path("pak0.pak.tarnwick-undo"), bytes_of(spare));
    }

    // The file holds `what`; of a marked archive only the mark is told.
    void expect_holds(const char* name, held what) {
        SCOPED_TRACE(name);
        const std::string bytes = read_file(path(name));
        if (what == held::nothing)
            EXPECT_FALSE(exists(path(name)));
        else if (what == held::rewrite_mark)
            EXPECT_EQ(bytes.substr(0, 4), "\x89TWr");
        else
            EXPECT_TRUE(same_bytes(bytes, bytes_of(what)));
    }

    static std::vector<std::string> command_of(run_kind run) {
        if (run == run_kind::update) return {"pak0.pak"};
        return {"--undo", "pak0.pak"};
    }
    std::string forced_path(run_kind run) const {
        return run == run_kind::undo_by_renames && !built_for_windows() ? kNoExchange : "";
    }

    // The absolute number of the call `place` means, from a clean run's trace.
    int call_number(const fault_row& row, const call_place& place) {
        lay_out(start_of(row), row.spare);
        std::string trace;
        set_trace(true);
        run_tarnwick_faults(command_of(row.run), dir(), forced_path(row.run), trace);
        set_trace(false);
        std::vector<std::string> calls;
        std::istringstream lines(trace);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("tarnwick-faults: ", 0) == 0) calls.push_back(line.substr(17));
        const std::string kind = place.kind;
        std::size_t at = std::string(place.after).empty() ? 0 : calls.size();
        for (std::size_t i = 0; i < calls.size() && at == calls.size(); ++i)
            if (calls[i] == place.after) at = i + 1;
        EXPECT_LT(at, calls.size() + 1) << "no call " << place.after;
        int seen = 0;
        const int step = place.nth > 0 ? 1 : -1;
        for (auto i = static_cast<long>(at) - (step < 0 ? 2 : 0); i >= 0 && i < static_cast<long>(calls.size());
             i += step) {
            const std::string& call = calls[static_cast<std::size_t>(i)];
            if (call.rfind(kind + " ", 0) == 0 && (seen += step) == place.nth)
                return std::stoi(call.substr(kind.size() + 1));
        }
        ADD_FAILURE() << "no " << kind << " " << place.nth << " after \"" << place.after << "\":\n" << trace;
        return 0;
    }

    static three_held start_of(const fault_row& row) {
        if (row.run == run_kind::update) return {row.target, row.earlier, held::update};
        if (row.spare != held::nothing) return {held::nothing, held::original, held::update};
        return {held::result, held::original, held::update};
    }

    static std::string words(const system_error& error) {
        return built_for_windows() ? error.windows_words : error.posix_words;
    }
    std::string with_reason(std::string text, const fault_row& row) const {
        for (std::size_t at; row.error && (at = text.find(kReason)) != std::string::npos;)
            text.replace(at, kReason.size(), words(*row.error));
        const std::string folder = "<folder>";
        for (std::size_t at; (at = text.find(folder)) != std::string::npos;)
            text.replace(at, folder.size(), std::filesystem::canonical(dir()).string());
        return text;
    }
    static int expected_status(int status) {
        return status == -1 ? killed_status() : status == -2 ? interrupted_status() : status;
    }

    static void set_trace(bool on) { set_environment("TARNWICK_FAULT_TRACE", on ? "1" : ""); }

    std::string o_, u_, result_;
};

TEST_P(FaultSeam, AFailedStoppedOrInterruptedCallIsToldAndLosesNothing) {
    const bool updates = std::string(GetParam()) == "update";
    for (const fault_row& row : rows()) {
        if ((row.run == run_kind::update) != updates) continue;
        // Windows has no exchange: its undo makes the three renames.
        if (row.run == run_kind::undo_by_exchange && built_for_windows()) continue;
        SCOPED_TRACE(row.what);
        const int n = call_number(row, row.place);
        const std::string what =
            row.error ? std::to_string(built_for_windows() ? row.error->windows : row.error->posix) : row.ending;
        std::string fault = forced_path(row.run) + row.place.kind + " " + std::to_string(n) + " " + what;
        if (row.also) {
            const int also = row.also->after ? call_number(row, *row.also) : n + row.also->nth;
            fault += std::string(";") + row.also->kind + " " + std::to_string(also) + " " +
                     (row.also_ending ? row.also_ending : what);
        }
        lay_out(start_of(row), row.spare);
        std::string errors;
        const run_result run = run_tarnwick_faults(command_of(row.run), dir(), fault, errors);
        EXPECT_EQ(run.status, expected_status(row.status));
        EXPECT_EQ(run.out, kTitle + with_reason(row.out, row));
        EXPECT_EQ(errors, with_reason(row.errors, row));
        expect_holds("pak0.pak", row.after.target);
        expect_holds("pak0.bak", row.after.backup);
        expect_holds("update.pak", row.after.update);
        EXPECT_EQ(exists(path("pak0.bak.tarnwick-new")), row.claim_left);
        // Nothing is lost: the same command run again ends the work left.
        const bool undo = row.run != run_kind::update;
        const bool finished = undo ? read_file(path("pak0.pak")) == o_ && read_file(path("pak0.bak")) == result_
                                   : read_file(path("pak0.pak")) == result_ && !exists(path("update.pak"));
        if (!finished) {
            const run_result again = run_tarnwick(command_of(row.run), dir());
            EXPECT_EQ(again.status, 0) << again.out;
        }
        expect_holds("pak0.pak", undo ? held::original : held::result);
        expect_holds("pak0.bak", undo ? held::result : held::original);
        expect_holds("update.pak", undo ? held::update : held::nothing);
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new")));
        EXPECT_FALSE(exists(path("pak0.pak.tarnwick-undo")));
    }
}

// One test per command, so that they run side by side.
INSTANTIATE_TEST_SUITE_P(Commands, FaultSeam, ::testing::Values("update", "undo"),
                         [](const ::testing::TestParamInfo<const char*>& command) { return command.param; });

}  // namespace
