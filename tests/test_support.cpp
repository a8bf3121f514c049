#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace testkit {

#ifdef _WIN32
namespace {
const char* const kDirVariable = "TARNWICK_TEST_DIR";
}  // namespace
#endif

void TempDirTest::SetUp() {
#ifdef _WIN32
    // A death test runs in a new copy of the test program, which repeats
    // SetUp: it must work in the directory of the process that started it.
    if (const char* inherited = std::getenv(kDirVariable)) {
        dir_ = inherited;
        return;
    }
    // No mkdtemp: a random name counts only if this call created the directory.
    std::random_device seed;
    std::mt19937 rng(seed());
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("tarnwick-test-" + std::to_string(rng()));
        std::error_code error;
        if (fs::create_directory(candidate, error)) dir_ = candidate.string();
    }
    ASSERT_FALSE(dir_.empty()) << "cannot create a temporary directory";
    _putenv_s(kDirVariable, dir_.c_str());
#else
    std::string pattern = (fs::temp_directory_path() / "tarnwick-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    dir_ = pattern;
#endif
}

void TempDirTest::TearDown() {
    std::error_code ignored;
#ifdef _WIN32
    _putenv_s(kDirVariable, "");
    // Windows will not delete a read-only file, and some tests make one.
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored))
        fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
#endif
    fs::remove_all(dir_, ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " vs expected " << expected.size()
                                         << ", first difference at byte " << (diff.first - actual.begin());
}

std::string random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xff);
    return bytes;
}

std::string regex_literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

void stdout_to_stderr() {
    std::fflush(stdout);
#ifdef _WIN32
    // Binary, so that the death test sees "\n" where the code printed it.
    _dup2(_fileno(stderr), _fileno(stdout));
    _setmode(_fileno(stdout), _O_BINARY);
#else
    dup2(STDERR_FILENO, STDOUT_FILENO);
#endif
}

std::string fatal_exactly(const std::string& message) { return regex_literal(kBanner + message + "\n"); }

std::string fatal_mentioning(const std::string& part) {
    return regex_literal(kBanner) + ".*" + regex_literal(part);
}

void put_le32(std::string& bytes, std::size_t at, std::int32_t value) {
    auto u = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((u >> (8 * i)) & 0xff);
}

std::int32_t get_le32(const std::string& bytes, std::size_t at) {
    std::uint32_t u = 0;
    for (std::size_t i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return static_cast<std::int32_t>(u);
}

std::string raw_header(const std::string& magic, std::int32_t dir_offset, std::int32_t dir_length) {
    std::string header = magic.substr(0, 4);
    header.resize(12, '\0');
    put_le32(header, 4, dir_offset);
    put_le32(header, 8, dir_length);
    return header;
}

std::string raw_entry(const std::string& name, std::int32_t file_offset, std::int32_t file_length) {
    std::string entry = name.substr(0, 56);
    entry.resize(64, '\0');
    put_le32(entry, 56, file_offset);
    put_le32(entry, 60, file_length);
    return entry;
}

std::string build_pak(const std::vector<pak_member>& members, std::mt19937* rng) {
    const std::size_t n = members.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::size_t dir_slot = n;
    if (rng != nullptr) {
        std::shuffle(order.begin(), order.end(), *rng);
        dir_slot = (*rng)() % (n + 1);
    }
    std::string file(12, '\0');
    std::vector<std::int32_t> offsets(n);
    std::size_t dir_pos = 0;
    for (std::size_t k = 0; k <= n; ++k) {
        if (k == dir_slot) {
            dir_pos = file.size();
            file.append(64 * n, '\0');
        }
        if (k == n) break;
        if (rng != nullptr) {
            const std::size_t gap = (*rng)() % 17;
            file += random_bytes(gap, static_cast<std::uint32_t>((*rng)()));
        }
        offsets[order[k]] = static_cast<std::int32_t>(file.size());
        file += members[order[k]].data;
    }
    for (std::size_t i = 0; i < n; ++i)
        file.replace(dir_pos + 64 * i, 64,
                     raw_entry(members[i].name, offsets[i],
                               static_cast<std::int32_t>(members[i].data.size())));
    file.replace(0, 12, raw_header("PACK", static_cast<std::int32_t>(dir_pos),
                                   static_cast<std::int32_t>(64 * n)));
    return file;
}

std::size_t entry_pos(const std::string& pak, int index) {
    return static_cast<std::size_t>(get_le32(pak, 4)) + 64 * static_cast<std::size_t>(index);
}

namespace {

struct model_entry {
    std::string name;  // up to the NUL
    std::int32_t offset;
    std::int32_t length;
};

std::vector<model_entry> model_directory(const std::string& pak) {
    std::vector<model_entry> entries;
    const std::int32_t count = get_le32(pak, 8) / 64;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::size_t at = entry_pos(pak, i);
        std::string field = pak.substr(at, 56);
        entries.push_back({field.substr(0, field.find('\0')), get_le32(pak, at + 56),
                           get_le32(pak, at + 60)});
    }
    return entries;
}

bool model_names_match(const std::string& a, const std::string& b) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return fold(x) == fold(y); });
}

}  // namespace

merge_result model_merge(const std::string& original, const std::string& update) {
    const auto kept_candidates = model_directory(original);
    const auto updates = model_directory(update);
    merge_result result{std::string(12, '\0'), ""};
    std::string directory(4096 * 64, '\0');
    std::size_t n = 0;
    auto append = [&](const model_entry& e, const std::string& source) {
        directory.replace(64 * n, 64,
                          raw_entry(e.name, static_cast<std::int32_t>(result.archive.size()), e.length));
        if (e.length > 0)
            result.archive += source.substr(static_cast<std::size_t>(e.offset),
                                            static_cast<std::size_t>(e.length));
        ++n;
    };
    for (const auto& e : kept_candidates) {
        bool replaced = std::any_of(updates.begin(), updates.end(),
                                    [&](const model_entry& u) { return model_names_match(e.name, u.name); });
        if (!replaced) append(e, original);
    }
    for (const auto& u : updates) {
        append(u, update);
        result.member_lines += "Updating " + u.name + " : " + std::to_string(u.length) + " bytes\n";
    }
    result.archive.replace(0, 12, raw_header("PACK", static_cast<std::int32_t>(result.archive.size()),
                                             static_cast<std::int32_t>(64 * n)));
    result.archive += directory;
    return result;
}

std::string success_stdout(const std::string& target, const std::string& backup,
                           const std::string& member_lines) {
    return kTitle + "Backing up update target " + target + "...\n" + "Updating " + target + "...\n" +
           member_lines + "\n---------------------------------------\n" + "Update of " + target +
           " completed!\n\nBackup of original in " + backup + "\n" + "Thanks for using tarnwick!\n";
}

std::string tarnwick_exe() { return TARNWICK_EXE; }

run_result run_tarnwick(const std::vector<std::string>& args, const std::string& cwd,
                        const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv = wrapper;
    // The emulator setting is a CMake list: words separated by ';'.
    std::stringstream emulator(TARNWICK_EMULATOR);
    for (std::string word; std::getline(emulator, word, ';');)
        if (!word.empty()) argv.push_back(word);
    argv.push_back(tarnwick_exe());
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}

#ifdef _WIN32

namespace {

// Quotes one argument so that the C runtime of the started program parses it
// back unchanged: backslashes are literal except before a quote.
std::string quote_argument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

}  // namespace

// Standard output is a text stream on Windows: "\r\n" is read back as "\n".
run_result run_program(const std::vector<std::string>& argv, const std::string& cwd) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0))
        return {-1, "CreatePipe failed: " + std::to_string(GetLastError())};
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    std::string command_line;
    for (const auto& a : argv) command_line += (command_line.empty() ? "" : " ") + quote_argument(a);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // The working directory is the child's own; the test process keeps its own.
    const BOOL started = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        cwd.c_str(), &startup, &process);
    const DWORD start_error = GetLastError();
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        return {-1, "CreateProcess failed: " + std::to_string(start_error)};
    }
    std::string raw;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) raw.append(buffer, got);
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i)
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) out += raw[i];
    return {static_cast<int>(exit_code), out};
}

#else

run_result run_program(const std::vector<std::string>& argv, const std::string& cwd) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {-1, std::string("pipe: ") + std::strerror(errno)};
    std::vector<char*> c_argv;
    for (const auto& a : argv) c_argv.push_back(const_cast<char*>(a.c_str()));
    c_argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        close(pipe_fds[0]);
        if (dup2(pipe_fds[1], STDOUT_FILENO) < 0 || chdir(cwd.c_str()) != 0) _exit(126);
        close(pipe_fds[1]);
        execvp(c_argv[0], c_argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    if (pid < 0) {
        close(pipe_fds[0]);
        return {-1, std::string("fork: ") + std::strerror(errno)};
    }
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
        if (got > 0) out.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR) break;
    }
    close(pipe_fds[0]);
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    const int status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return {status, out};
}

#endif

}  // namespace testkit
