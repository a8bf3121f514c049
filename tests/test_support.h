// Shared helpers: a temporary directory per test, whole-file I/O, an archive
// builder that knows nothing of the product code, a reference model of a
// merge, and a runner for the built executable.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testkit {

inline const std::string kBanner = "************ ERROR ************\n";
inline const std::string kTitle =
    "Fenwold's Pak Update Utility V.0.9c\n---------------------------------------\n\n";

// Each test gets a fresh directory under the system temp dir, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

// Compares large byte strings without dumping them; reports the first difference.
::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected);

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);  // does not follow a final symlink
std::string random_bytes(std::size_t count, std::uint32_t seed);

// Escapes a literal for the POSIX regex that death tests match against.
std::string regex_literal(const std::string& text);
// Death tests see only stderr, while fatal errors are reported on stdout.
void stdout_to_stderr();
// Regex for a fatal error whose whole message is known.
std::string fatal_exactly(const std::string& message);
// Regex for a fatal error whose own wording is free but must mention `part`.
std::string fatal_mentioning(const std::string& part);

void put_le32(std::string& bytes, std::size_t at, std::int32_t value);
std::int32_t get_le32(const std::string& bytes, std::size_t at);

struct pak_member {
    std::string name;  // raw name field: padded with zeros, cut at 56 bytes
    std::string data;
};

// Header, data and directory. Without rng the data follow the header in
// directory order and the directory comes last; with rng the data are
// shuffled, separated by junk and the directory lands between any two members.
std::string build_pak(const std::vector<pak_member>& members, std::mt19937* rng = nullptr);
std::string raw_header(const std::string& magic, std::int32_t dir_offset, std::int32_t dir_length);
std::string raw_entry(const std::string& name, std::int32_t file_offset, std::int32_t file_length);
// Offset of entry i of a well-formed archive built above.
std::size_t entry_pos(const std::string& pak, int index);

struct merge_result {
    std::string archive;
    std::string member_lines;  // the "Updating <name> : <n> bytes" lines
};
// What a successful run must write, derived from the format alone.
merge_result model_merge(const std::string& original, const std::string& update);

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

}  // namespace testkit
