// Shared helpers: a temporary directory per test, whole-file I/O, and a
// runner for the built executable; archives and the expected merge come from
// the model in pak_model.h.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pak_model.h"

namespace testkit {

inline const std::string kBanner = "************ ERROR ************\n";
inline const std::string kTitle =
    "Fenwold's Pak Update Utility V." TARNWICK_VERSION "\n---------------------------------------\n\n";

// Each test gets a fresh directory under the system temp dir, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }
    // The target's bytes with the record a run appends before it rewrites
    // from `original` with `update`, made by the tool's own code.
    std::string with_record(const std::string& target_bytes, const std::string& original,
                            const std::string& update) const;

private:
    std::string dir_;
};

// Compares large byte strings without dumping them; reports the first difference.
::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected);

// Whole-file I/O for tests: a write that fails fails the test, a missing file reads as empty.
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);  // does not follow a final symlink

// Escapes a literal for the POSIX regex that death tests match against.
std::string regex_literal(const std::string& text);
// Death tests see only stderr, while fatal errors are reported on stdout.
void stdout_to_stderr();
// Regex for a fatal error whose whole message is known.
std::string fatal_exactly(const std::string& message);
// Regex for a fatal error whose own wording is free but must mention `part`.
std::string fatal_mentioning(const std::string& part);

// `count` members named `prefix` and their number, each holding `data`.
std::vector<pakmodel::pak_member> numbered(int count, const char* prefix, const std::string& data);

using pakmodel::build_pak;
using pakmodel::entry_pos;
using pakmodel::get_le32;
using pakmodel::merge_result;
using pakmodel::model_merge;
using pakmodel::pak_member;
using pakmodel::put_le32;
using pakmodel::random_bytes;
using pakmodel::raw_entry;
using pakmodel::raw_header;

std::string success_stdout(const std::string& target, const std::string& backup,
                           const std::string& member_lines);

struct run_result {
    int status;  // exit status, or 128 + signal number
    std::string out;
};
// Runs argv[0] (looked up in PATH) in cwd and captures its standard output.
run_result run_program(const std::vector<std::string>& argv, const std::string& cwd);
// Runs the built tool, behind `wrapper` (e.g. setpriv) and the cross emulator.
run_result run_tarnwick(const std::vector<std::string>& args, const std::string& cwd,
                        const std::vector<std::string>& wrapper = {});
std::string tarnwick_exe();

// Another program (tests/hold_file.cpp) holding `file` open for reading, as
// a game holds its pak files, from construction until release(); `flag` is
// the file, outside any folder a test compares, that keeps it holding.
struct held_open {
    // Held by a program named `as` where it is given: a link of that name
    // beside `flag` starts it.
    held_open(const std::string& file, const std::string& flag, const std::string& as = "");
    ~held_open() { release(); }
    void release();  // waits until the program has closed the file and ended
    std::string flag;
    std::atomic<bool> ended{false};
    std::thread holder;
};

}  // namespace testkit

namespace testkit {

// Runs the test build tarnwick-faults (src/fileio/file_system_faults.cpp) in
// cwd with TARNWICK_FAULT set to `fault`; its standard error goes to `errors`.
run_result run_tarnwick_faults(const std::vector<std::string>& args, const std::string& cwd,
                               const std::string& fault, std::string& errors);
// Sets a variable of the environment the programs started from now on see.
void set_environment(const std::string& name, const std::string& value);
bool built_for_windows();
// The status of a run killed, or ended by Ctrl-C, as run_program reports it.
int killed_status();
int interrupted_status();

}  // namespace testkit
