// libFuzzer harness for the whole merge: each input is split into an original
// archive and an update archive (fuzz_input.h), which are written as the
// target, its backup and update.pak in a private directory; then the real
// open_for_update, open_for_read and merge_update run as the tool runs them.
//
// Beyond the sanitizers, every run is checked against a model of the format
// written here from scratch: a merge that succeeds must write exactly the
// model's archive, a refused merge must leave the target byte for byte as it
// was, the model must agree on which inputs are refused, the backup and
// update.pak are never changed, and no stream or descriptor outlives a run.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "checked_io.h"
#include "fuzz_fatal_error.h"
#include "fuzz_input.h"
#include "pak_format.h"

namespace {

constexpr char TARGET_NAME[] = "target.pak";
constexpr char BACKUP_NAME[] = "target.bak";

// Inputs whose merge would write more than this are skipped: a few bytes of
// directory can list one large member thousands of times, which only makes
// the run slow, not more interesting.
constexpr std::int64_t MAX_MODEL_OUTPUT = std::int64_t{16} * 1024 * 1024;

struct harness_state {
    int home_dir;  // where libFuzzer's relative paths (corpus, artifacts) point
    int work_dir;  // private directory holding the target, backup and update.pak
    std::string work_path;
    bool trace;  // TARNWICK_FUZZ_TRACE set: tell the outcome of each run on stderr
};

harness_state state{-1, -1, {}, false};

[[noreturn]] void harness_failure(const char* what, const std::string& detail = {})
{
    (void)std::fprintf(stderr, "merge_fuzzer: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

void write_whole_file(const char* path, const std::string& bytes)
{
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        harness_failure("cannot create", path);
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        harness_failure("cannot write", path);
    }
}

std::string read_whole_file(const char* path)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        harness_failure("cannot open", path);
    }
    static std::array<char, 65536> chunk;
    std::string bytes;
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        bytes.append(chunk.data(), got);
    }
    (void)std::fclose(file);
    return bytes;
}

// Open descriptors of the process. A leaked stream is no leak to
// LeakSanitizer, since the C library keeps every open FILE on a list.
std::ptrdiff_t open_descriptor_count()
{
    std::error_code error;
    std::filesystem::directory_iterator fds("/proc/self/fd", error);
    if (error) {
        harness_failure("cannot list /proc/self/fd", error.message());
    }
    return std::distance(fds, std::filesystem::directory_iterator());
}

void remove_work_files()
{
    if (state.work_dir < 0) {
        return;
    }
    for (const char* name : {TARGET_NAME, BACKUP_NAME, UPDATE_ARCHIVE_NAME}) {
        ::unlinkat(state.work_dir, name, 0);
    }
    ::rmdir(state.work_path.c_str());
}

struct model_member {
    std::string name;
    std::int32_t offset;
    std::int32_t length;
};

// The directory as the format defines it, or nothing where the archive must
// be refused.
std::optional<std::vector<model_member>> model_directory(const std::string& archive, std::int32_t capacity)
{
    if (archive.size() < 12) {
        return std::nullopt;
    }
    const std::int32_t dir_offset = fuzz::get_le32(archive, 4);
    const std::int32_t count = fuzz::get_le32(archive, 8) / 64;
    std::vector<model_member> members;
    if (count <= 0) {
        return members;
    }
    if (count > capacity || dir_offset < 0 ||
        static_cast<std::int64_t>(dir_offset) + 64 * static_cast<std::int64_t>(count) >
            static_cast<std::int64_t>(archive.size())) {
        return std::nullopt;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(dir_offset) + 64 * static_cast<std::size_t>(i);
        const std::size_t name_length = archive.find('\0', at) - at;
        if (name_length >= 56) {
            return std::nullopt;
        }
        members.push_back({archive.substr(at, name_length), fuzz::get_le32(archive, at + 56),
                           fuzz::get_le32(archive, at + 60)});
    }
    return members;
}

bool model_names_match(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

bool member_readable(const model_member& member, const std::string& archive)
{
    return member.offset >= 0 && member.length >= 0 &&
           (member.length == 0 || static_cast<std::int64_t>(member.offset) + member.length <=
                                      static_cast<std::int64_t>(archive.size()));
}

struct model_output {
    std::vector<model_member> members;  // offsets here are positions in the source
    std::vector<bool> from_update;
    std::int64_t data_size;
};

std::optional<model_output> model_plan(const fuzz::archive_pair& pair)
{
    const auto original = model_directory(pair.original, MAX_PAK_ENTRIES);
    const auto update = model_directory(pair.update, MAX_UPDATE_ENTRIES);
    if (!original || !update || original->size() + update->size() > MAX_PAK_ENTRIES) {
        return std::nullopt;
    }
    model_output plan{{}, {}, 0};
    for (const model_member& member : *original) {
        bool replaced = false;
        for (const model_member& incoming : *update) {
            replaced = replaced || model_names_match(member.name, incoming.name);
        }
        if (!replaced) {
            if (!member_readable(member, pair.original)) {
                return std::nullopt;
            }
            plan.members.push_back(member);
            plan.from_update.push_back(false);
            plan.data_size += member.length;
        }
    }
    for (const model_member& member : *update) {
        if (!member_readable(member, pair.update)) {
            return std::nullopt;
        }
        plan.members.push_back(member);
        plan.from_update.push_back(true);
        plan.data_size += member.length;
    }
    return plan;
}

std::string model_archive(const model_output& plan, const fuzz::archive_pair& pair)
{
    std::string data;
    std::string directory(static_cast<std::size_t>(MAX_PAK_ENTRIES) * 64, '\0');
    for (std::size_t i = 0; i < plan.members.size(); ++i) {
        const model_member& member = plan.members[i];
        const std::string& source = plan.from_update[i] ? pair.update : pair.original;
        const std::size_t entry = 64 * i;
        directory.replace(entry, member.name.size(), member.name);
        fuzz::put_le32(directory, entry + 56, static_cast<std::int32_t>(12 + data.size()));
        fuzz::put_le32(directory, entry + 60, member.length);
        if (member.length > 0) {
            data += source.substr(static_cast<std::size_t>(member.offset), static_cast<std::size_t>(member.length));
        }
    }
    std::string header = "PACK" + std::string(8, '\0');
    fuzz::put_le32(header, 4, static_cast<std::int32_t>(12 + data.size()));
    fuzz::put_le32(header, 8, static_cast<std::int32_t>(64 * plan.members.size()));
    return header + data + directory;
}

void close_if_open(checked_file& file)
{
    if (file.stream != nullptr) {
        (void)std::fclose(file.stream);
        file.stream = nullptr;
    }
}

// Runs the product as the driver does once the backup exists; returns the
// message of the refusal, or nothing on success.
std::optional<std::string> run_merge()
{
    checked_file target{nullptr, TARGET_NAME};
    checked_file original{nullptr, BACKUP_NAME};
    try {
        target = open_for_update(TARGET_NAME);
        original = open_for_read(BACKUP_NAME);
        merge_update(original, target);
        close_file(original);
        close_file(target);
        return std::nullopt;
    } catch (const fuzz::fatal_error_thrown& refusal) {
        close_if_open(original);
        close_if_open(target);
        return refusal.message;
    }
}

// The product reads back what it wrote, as the next run of the tool would.
void check_output_reads_back(std::size_t expected_count)
{
    auto directory = std::make_unique<pak_directory>();
    directory->capacity = MAX_PAK_ENTRIES;
    checked_file output{nullptr, TARGET_NAME};
    try {
        output = open_for_read(TARGET_NAME);
        const std::int32_t count = read_pak_directory(output, *directory);
        close_file(output);
        if (static_cast<std::size_t>(count) != expected_count) {
            harness_failure("the written archive reads back with another member count");
        }
    } catch (const fuzz::fatal_error_thrown& refusal) {
        close_if_open(output);
        harness_failure("the written archive does not read back", refusal.message);
    }
}

void check_run(const fuzz::archive_pair& pair, const std::optional<model_output>& plan)
{
    const std::optional<std::string> refusal = run_merge();
    if (state.trace) {
        (void)std::fprintf(stderr, "merge_fuzzer: %s%s\n", refusal ? "refused: " : "merged",
                           refusal ? refusal->c_str() : "");
    }
    if (read_whole_file(BACKUP_NAME) != pair.original) {
        harness_failure("the backup changed");
    }
    if (read_whole_file(UPDATE_ARCHIVE_NAME) != pair.update) {
        harness_failure("update.pak changed");
    }
    const std::string target = read_whole_file(TARGET_NAME);
    if (refusal) {
        if (target != pair.original) {
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
    if (target != model_archive(*plan, pair)) {
        harness_failure("the merged archive differs from the model's");
    }
    check_output_reads_back(plan->members.size());
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
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tarnwick-fuzz.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        harness_failure("cannot create a work directory under", pattern);
    }
    state.work_path = pattern;
    state.trace = std::getenv("TARNWICK_FUZZ_TRACE") != nullptr;
    state.home_dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    state.work_dir = ::open(state.work_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (state.home_dir < 0 || state.work_dir < 0) {
        harness_failure("cannot open the working directories");
    }
    if (std::atexit(remove_work_files) != 0) {
        harness_failure("cannot register the clean-up of", state.work_path);
    }

    // A fatal_error that exits would end fuzzing at the first refusal: make
    // sure the harness's replacement is the one linked.
    try {
        fatal_error("probe");
    } catch (const fuzz::fatal_error_thrown&) {
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::archive_pair pair = fuzz::split_input(data, size);
    const std::optional<model_output> plan = model_plan(pair);
    if (plan && plan->data_size + 12 + 64 * std::int64_t{MAX_PAK_ENTRIES} > MAX_MODEL_OUTPUT) {
        return -1;
    }
    const std::ptrdiff_t descriptors_before = open_descriptor_count();
    // update.pak is looked up in the current directory, but libFuzzer's own
    // paths may be relative: change directory only for the run.
    if (::fchdir(state.work_dir) != 0) {
        harness_failure("cannot enter the work directory");
    }
    write_whole_file(TARGET_NAME, pair.original);
    write_whole_file(BACKUP_NAME, pair.original);
    write_whole_file(UPDATE_ARCHIVE_NAME, pair.update);
    check_run(pair, plan);
    if (::fchdir(state.home_dir) != 0) {
        harness_failure("cannot return to the starting directory");
    }
    if (open_descriptor_count() != descriptors_before) {
        harness_failure("a run left a file descriptor open");
    }
    return 0;
}
