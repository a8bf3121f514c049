#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

#include "journal.h"

namespace fs = std::filesystem;

namespace testkit {

#ifdef _WIN32
namespace {
const wchar_t* const kDirVariable = L"TARNWICK_TEST_DIR";

std::wstring utf16(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
    return wide;
}
}  // namespace
#endif

void TempDirTest::SetUp() {
#ifdef _WIN32
    // A death test runs in a new copy of the test program, which repeats
    // SetUp: it must work in the directory of the process that started it.
    if (const wchar_t* inherited = _wgetenv(kDirVariable)) {
        dir_ = fs::path(inherited).u8string();
        return;
    }
    // No mkdtemp: a random name counts only if this call created the directory.
    std::random_device seed;
    std::mt19937 rng(seed());
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("tarnwick-test-" + std::to_string(rng()));
        std::error_code error;
        if (fs::create_directory(candidate, error)) dir_ = candidate.u8string();
    }
    ASSERT_FALSE(dir_.empty()) << "cannot create a temporary directory";
    _wputenv_s(kDirVariable, utf16(dir_).c_str());
#else
    std::string pattern = (fs::temp_directory_path() / "tarnwick-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    dir_ = pattern;
#endif
}

void TempDirTest::TearDown() {
    std::error_code ignored;
#ifdef _WIN32
    _wputenv_s(kDirVariable, L"");
    // Windows will not delete a read-only file, and some tests make one.
    for (const auto& entry : fs::recursive_directory_iterator(fs::u8path(dir_), ignored))
        fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
#endif
    fs::remove_all(fs::u8path(dir_), ignored);
}

std::string TempDirTest::with_record(const std::string& target_bytes, const std::string& original,
                                     const std::string& update) const {
    write_file(path("recorded-original"), original);
    write_file(path("recorded-update"), update);
    write_file(path("recorded-target"), target_bytes);
    checked_file from = open_for_read(path("recorded-original").c_str());
    checked_file with = open_for_read(path("recorded-update").c_str());
    checked_file to = open_for_update(path("recorded-target").c_str());
    append_rewrite_record(to, static_cast<std::int64_t>(target_bytes.size()),
                          record_for(from, read_archive_header(from), with));
    for (checked_file* file : {&from, &with, &to}) close_file(*file);
    const std::string bytes = read_file(path("recorded-target"));
    for (const char* name : {"recorded-original", "recorded-update", "recorded-target"})
        std::filesystem::remove(path(name));
    return bytes;
}

void write_file(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(pakmodel::write_file(path, bytes)) << "cannot write " << path;
}

std::string read_file(const std::string& path) { return pakmodel::read_file(path).value_or(""); }

bool exists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(fs::u8path(path), error));
}

::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " vs expected " << expected.size()
                                         << ", first difference at byte " << (diff.first - actual.begin());
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

std::string success_stdout(const std::string& target, const std::string& backup,
                           const std::string& member_lines) {
    return kTitle + "Backing up update target " + target + "...\n" + "Updating " + target + "...\n" +
           member_lines + "\n---------------------------------------\n" + "Update of " + target +
           " completed!\n\nBackup of original in " + backup + "\n" + "Thanks for using tarnwick!\n";
}

std::string tarnwick_exe() { return TARNWICK_EXE; }

namespace {

// The cross emulator's command, a CMake list of words separated by ';', or none.
std::vector<std::string> emulator_words() {
    std::vector<std::string> words;
    std::stringstream emulator(TARNWICK_EMULATOR);
    for (std::string word; std::getline(emulator, word, ';');)
        if (!word.empty()) words.push_back(word);
    return words;
}

}  // namespace

held_open::held_open(const std::string& file, const std::string& flag_path, const std::string& as) : flag(flag_path) {
    fs::remove(flag);
    std::string program = TARNWICK_HOLD_FILE;
    if (!as.empty()) {
        program = (fs::path(flag).parent_path() / as).string();
        fs::remove(program);
        fs::create_symlink(TARNWICK_HOLD_FILE, program);
    }
    holder = std::thread([this, file, program] {
        // Built for the target, as the tool is: a cross build runs it under the emulator.
        std::vector<std::string> argv = emulator_words();
        argv.insert(argv.end(), {program, file, flag});
        run_program(argv, fs::path(file).parent_path().string());
        ended = true;
    });
    while (!exists(flag) && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(ended) << "hold_file did not start";
}

void held_open::release() {
    std::error_code failed;
    while (!fs::remove(flag, failed) && failed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (holder.joinable()) holder.join();
}

run_result run_tarnwick(const std::vector<std::string>& args, const std::string& cwd,
                        const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv = wrapper;
    for (const std::string& word : emulator_words()) argv.push_back(word);
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
// The arguments are UTF-8 and reach the child in UTF-16, as a console
// would pass what the user typed in any language.
run_result run_program(const std::vector<std::string>& argv, const std::string& cwd) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0))
        return {-1, "CreatePipe failed: " + std::to_string(GetLastError())};
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    std::string command_line;
    for (const auto& a : argv) command_line += (command_line.empty() ? "" : " ") + quote_argument(a);
    std::wstring wide_command_line = utf16(command_line);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // The working directory is the child's own; the test process keeps its own.
    const BOOL started = CreateProcessW(nullptr, wide_command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        utf16(cwd).c_str(), &startup, &process);
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

std::vector<pakmodel::pak_member> numbered(int count, const char* prefix, const std::string& data) {
    std::vector<pakmodel::pak_member> members;
    for (int i = 0; i < count; ++i) members.push_back({prefix + std::to_string(i), data});
    return members;
}

}  // namespace testkit

namespace testkit {

namespace {

#ifdef _WIN32

unsigned long process_id() { return GetCurrentProcessId(); }

// run_program hands its own standard error to the child.
run_result run_with_errors_into(const std::vector<std::string>& argv, const std::string& cwd,
                                const std::string& file) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE errors = CreateFileW(utf16(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE kept = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, errors);
    const run_result run = run_program(argv, cwd);
    SetStdHandle(STD_ERROR_HANDLE, kept);
    CloseHandle(errors);
    return run;
}

#else

long process_id() { return getpid(); }

run_result run_with_errors_into(const std::vector<std::string>& argv, const std::string& cwd,
                                const std::string& file) {
    std::fflush(stderr);
    const int errors = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int kept = dup(STDERR_FILENO);
    dup2(errors, STDERR_FILENO);
    const run_result run = run_program(argv, cwd);
    dup2(kept, STDERR_FILENO);
    close(kept);
    close(errors);
    return run;
}

#endif

}  // namespace

run_result run_tarnwick_faults(const std::vector<std::string>& args, const std::string& cwd,
                               const std::string& fault, std::string& errors) {
    std::vector<std::string> argv = emulator_words();
    argv.push_back(TARNWICK_FAULTS_EXE);
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string file =
        (fs::temp_directory_path() / ("tarnwick-faults-errors-" + std::to_string(process_id()))).string();
    set_environment("TARNWICK_FAULT", fault);
    const run_result run = run_with_errors_into(argv, cwd, file);
    set_environment("TARNWICK_FAULT", "");
    // Windows' standard error is a text stream, as its standard output is.
    errors.clear();
    const std::string raw = read_file(file);
    for (std::size_t i = 0; i < raw.size(); ++i)
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) errors += raw[i];
    fs::remove(file);
    return run;
}

#ifdef _WIN32
// An empty value takes the variable away.
void set_environment(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }
bool built_for_windows() { return true; }
int killed_status() { return 128 + 9; }
// Windows' console routine ends the process with STATUS_CONTROL_C_EXIT, wine's with 0.
int interrupted_status() {
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine ? 0 : static_cast<int>(STATUS_CONTROL_C_EXIT);
}
#else
void set_environment(const std::string& name, const std::string& value) {
    if (value.empty()) unsetenv(name.c_str());
    else setenv(name.c_str(), value.c_str(), 1);
}
bool built_for_windows() { return false; }
int killed_status() { return 128 + SIGKILL; }
int interrupted_status() { return 128 + SIGINT; }
#endif

}  // namespace testkit
