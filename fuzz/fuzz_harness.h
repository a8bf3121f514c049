#pragma once

#include <bitset>
#include <cstddef>
#include <initializer_list>
#include <string>

namespace fuzz {

// What both harnesses keep across runs: the folder libFuzzer's relative
// paths (corpus, artifacts) point at, and a private folder for the files a
// run works on.
struct workspace {
    int home_dir;
    int work_dir;
    std::string work_path;
    bool trace;  // TARNWICK_FUZZ_TRACE set: tell the outcome of each run on stderr
};
extern workspace work;

// Ends the fuzzing process, naming the harness: a fault of the harness or a
// finding, never the product's refusal.
[[noreturn]] void harness_failure(const char* what, const std::string& detail = {});

// Makes the private folder under TMPDIR (`prefix`.XXXXXX), removes `names`
// from it and the folder itself at exit, and checks that the harness's
// fatal_error, which throws, is the one linked: one that exits would end
// fuzzing at the first refusal.
void open_workspace(const char* prefix, std::initializer_list<const char*> names);

// Files are written on every run, so in plain system calls: through the
// library's file streams that took a third of a run.
void write_whole_file(const char* path, const std::string& bytes);

// A leaked descriptor is no leak to LeakSanitizer, so the harnesses watch
// the descriptors. The system hands out the lowest free number, so whatever
// a run opens lands on the lowest numbers free before it: watching the
// first DESCRIPTOR_WINDOW numbers sees every leak while more are free there
// than a run holds at once (a few files).
constexpr std::size_t DESCRIPTOR_WINDOW = 128;
using descriptor_set = std::bitset<DESCRIPTOR_WINDOW>;
// Which descriptors of the window are open: one poll() marks each closed
// one invalid, where listing /proc/self/fd cost a tenth of a run.
descriptor_set open_descriptors();

} // namespace fuzz
