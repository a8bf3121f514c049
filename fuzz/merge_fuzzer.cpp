// libFuzzer harness for the whole merge: each input is split into an original
// archive and an update archive (fuzz_input.h), which are written as the
// target, its backup and update.pak in a private directory; then the real
// open_for_update, open_for_read, plan_merge and write_merge run as the tool
// runs them.
//
// Beyond the sanitizers, every run is checked against the model of the format
// that the tests share (tests/pak_model.h): a merge that succeeds must write exactly the
// model's archive, a refused merge must leave the target byte for byte as it
// was, the model must agree on which inputs are refused, the backup and
// update.pak are never changed, and no descriptor outlives a run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "fuzz_fatal_error.h"
#include "fuzz_harness.h"
#include "fuzz_input.h"
#include "journal.h"
#include "merge.h"
#include "open_file.h"
#include "pak_format.h"
#include "pak_model.h"

namespace {

using fuzz::descriptor_set;
using fuzz::harness_failure;
using fuzz::open_descriptors;
using fuzz::write_whole_file;

constexpr char TARGET_NAME[] = "target.pak";
constexpr char UPDATE_ARCHIVE_NAME[] = "update.pak";
constexpr char BACKUP_NAME[] = "target.bak";

// Inputs whose merge would write more than this are skipped: a few bytes of
// directory can list one large member thousands of times, which only makes
// the run slow, not more interesting.
constexpr std::int64_t MAX_MODEL_OUTPUT = std::int64_t{16} * 1024 * 1024;

// The product's plan and the directory the output is read back into are too
// large for the sanitizer allocator's size classes: allocated per run, each
// is a fresh mapping whose pages the kernel faults in and clears, over a
// quarter of a run. The runs share one of each instead, cleared before use
// as the tool's value-initialised allocation is.
merge_plan shared_plan;
pak_directory shared_directory;

template <typename T>
T& cleared(T& storage)
{
    static_assert(std::is_trivially_copyable_v<T>, "cleared like a value-initialised T");
    std::memset(&storage, 0, sizeof storage);
    return storage;
}

std::array<char, std::size_t{64} * 1024> compare_buffer;

// True when the file at `path` holds exactly `bytes`.
bool file_holds(const char* path, const std::string& bytes)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        harness_failure("cannot open", path);
    }
    bool same = static_cast<std::size_t>(status.st_size) == bytes.size();
    std::size_t done = 0;
    while (same && done < bytes.size()) {
        const std::size_t count = std::min(compare_buffer.size(), bytes.size() - done);
        const ssize_t got = ::pread(fd, compare_buffer.data(), count, static_cast<off_t>(done));
        if (got <= 0) {
            harness_failure("cannot read", path);
        }
        same = std::memcmp(compare_buffer.data(), bytes.data() + done, static_cast<std::size_t>(got)) == 0;
        done += static_cast<std::size_t>(got);
    }
    (void)::close(fd);
    return same;
}

// A run holds a few files at once; the watched window needs this many free.
constexpr std::size_t RUN_DESCRIPTORS = 32;

void close_if_open(checked_file& file)
{
    if (file.handle != NO_FILE) {
        (void)::close(static_cast<int>(file.handle));
        file.handle = NO_FILE;
    }
}

// Runs the product as the driver does: plans from the target, then rewrites
// it from the backup; returns the message of the refusal, or nothing on success.
std::optional<std::string> run_merge()
{
    checked_file target{NO_FILE, TARGET_NAME};
    checked_file original{NO_FILE, BACKUP_NAME};
    checked_file update{NO_FILE, UPDATE_ARCHIVE_NAME};
    try {
        merge_plan& plan = cleared(shared_plan);
        progress_line progress{};
        target = open_for_update(TARGET_NAME);
        update = open_for_read(UPDATE_ARCHIVE_NAME);
        read_directory_at(target, read_archive_header(target), MAX_PAK_ENTRIES, plan.original);
        read_pak_directory(update, MAX_UPDATE_ENTRIES, plan.update);
        plan_merge(plan, {archive_length(target), archive_length(update), TARGET_NAME, UPDATE_ARCHIVE_NAME}, TARGET_NAME);
        original = open_for_read(BACKUP_NAME);
        write_stage(target, rewrite_stage::rewriting, rewrite_stage::none);
        write_merge(plan, original, update, target, plan.cut, progress, [](const pak_entry&) {});
        seal_merge(plan, target);
        write_stage(target, rewrite_stage::none, rewrite_stage::rewriting);
        close_file(original);
        close_file(update);
        close_file(target);
        return std::nullopt;
    } catch (const fuzz::fatal_error_thrown& refusal) {
        close_if_open(original);
        close_if_open(update);
        close_if_open(target);
        return refusal.message;
    }
}

// The product reads back what it wrote, as the next run of the tool would.
void check_output_reads_back(std::size_t expected_count)
{
    pak_directory& directory = cleared(shared_directory);
    checked_file output{NO_FILE, TARGET_NAME};
    try {
        output = open_for_read(TARGET_NAME);
        const std::int32_t count = read_pak_directory(output, MAX_PAK_ENTRIES, directory);
        close_file(output);
        if (static_cast<std::size_t>(count) != expected_count) {
            harness_failure("the written archive reads back with another member count");
        }
    } catch (const fuzz::fatal_error_thrown& refusal) {
        close_if_open(output);
        harness_failure("the written archive does not read back", refusal.message);
    }
}

void check_run(const fuzz::archive_pair& pair, const std::optional<pakmodel::merge_plan>& plan)
{
    const std::optional<std::string> refusal = run_merge();
    if (fuzz::work.trace) {
        (void)std::fprintf(stderr, "merge_fuzzer: %s%s\n", refusal ? "refused: " : "merged",
                           refusal ? refusal->c_str() : "");
    }
    if (!file_holds(BACKUP_NAME, pair.original)) {
        harness_failure("the backup changed");
    }
    if (!file_holds(UPDATE_ARCHIVE_NAME, pair.update)) {
        harness_failure("update.pak changed");
    }
    if (refusal) {
        if (!file_holds(TARGET_NAME, pair.original)) {
            harness_failure("a refused merge changed the target", *refusal);
        }
        if (plan) {
            harness_failure("a merge the format allows was refused", *refusal);
        }
        return;
    }
    if (!plan) {
        harness_failure("a merge the format forbids succeeded");
    }
    if (!file_holds(TARGET_NAME, pakmodel::carry_out(*plan, pair.original, pair.update).archive)) {
        harness_failure("the merged archive differs from the model's");
    }
    check_output_reads_back(plan->entries.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    // The product reports every member on standard output. A buffer of the
    // harness's own, or the first report would allocate one that is never
    // freed, and libFuzzer would take the run for a leak and repeat it.
    static std::array<char, BUFSIZ> output_buffer;
    if (std::freopen("/dev/null", "w", stdout) == nullptr ||
        std::setvbuf(stdout, output_buffer.data(), _IOFBF, output_buffer.size()) != 0) {
        harness_failure("cannot silence standard output");
    }
    fuzz::open_workspace("tarnwick-fuzz", {TARGET_NAME, BACKUP_NAME, UPDATE_ARCHIVE_NAME});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::archive_pair pair = fuzz::split_input(data, size);
    const std::optional<pakmodel::merge_plan> plan = pakmodel::plan_merge(pair.original, pair.update);
    if (plan && plan->output_size > MAX_MODEL_OUTPUT) {
        return -1;
    }
    const descriptor_set descriptors_before = open_descriptors();
    if (fuzz::DESCRIPTOR_WINDOW - descriptors_before.count() < RUN_DESCRIPTORS) {
        harness_failure("too many descriptors open to watch a run");
    }
    // update.pak is looked up in the current directory, but libFuzzer's own
    // paths may be relative: change directory only for the run.
    if (::fchdir(fuzz::work.work_dir) != 0) {
        harness_failure("cannot enter the work directory");
    }
    write_whole_file(TARGET_NAME, pair.original);
    write_whole_file(BACKUP_NAME, pair.original);
    write_whole_file(UPDATE_ARCHIVE_NAME, pair.update);
    check_run(pair, plan);
    if (::fchdir(fuzz::work.home_dir) != 0) {
        harness_failure("cannot return to the starting directory");
    }
    const descriptor_set descriptors_after = open_descriptors();
    if ((descriptors_after & ~descriptors_before).any()) {
        harness_failure("a run left a file descriptor open");
    }
    if (descriptors_after != descriptors_before) {
        harness_failure("a run closed a descriptor it did not open");
    }
    return 0;
}
