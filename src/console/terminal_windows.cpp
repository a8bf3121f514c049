// The console module's system calls on Windows.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <io.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include "console.h"
#include "terminal.h"
#include "utf16.h"

namespace {

constexpr char NULL_DEVICE[] = "NUL";

HANDLE handle_of(std::FILE* stream)
{
    const int descriptor = _fileno(stream);
    return descriptor < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// A console shows what it is given in UTF-16 whatever its code page, which
// stays as the user set it; bytes written to it would be read in that code
// page.
void write_console(HANDLE console, const std::wstring& wide)
{
    // Consoles before Windows 8 refuse a single write of much over 64 KiB.
    constexpr std::size_t MAX_CONSOLE_WRITE = 8192;
    std::size_t done = 0;
    while (done < wide.size()) {
        std::size_t part = std::min(wide.size() - done, MAX_CONSOLE_WRITE);
        // A character beyond 16 bits is two units, and stays in one write.
        if (done + part < wide.size() && IS_HIGH_SURROGATE(wide[done + part - 1])) {
            --part;
        }
        DWORD written = 0;
        if (WriteConsoleW(console, wide.data() + done, static_cast<DWORD>(part), &written, nullptr) == 0 ||
            written == 0) {
            return;
        }
        done += written;
    }
}

} // namespace

void write_text(std::FILE* stream, const char* text, std::size_t length)
{
    const HANDLE console = handle_of(stream);
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || GetConsoleMode(console, &mode) == 0) {
        (void)std::fwrite(text, 1, length, stream);
        return;
    }
    // Whatever the stream still buffers goes first.
    (void)std::fflush(stream);
    write_console(console, utf16_from_utf8(text, length));
}

// Called from the console's control handler, a thread of its own that must
// not wait on the stream's lock held by the run.
void write_error_raw(const char* text, std::size_t length)
{
    const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (errors == INVALID_HANDLE_VALUE || errors == nullptr) {
        return;
    }
    if (GetConsoleMode(errors, &mode) != 0) {
        write_console(errors, utf16_from_utf8(text, length));
        return;
    }
    DWORD written = 0;
    (void)WriteFile(errors, text, static_cast<DWORD>(length), &written, nullptr);
}

std::size_t terminal_columns(std::FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(handle_of(stream), &info) == 0 || info.srWindow.Right < info.srWindow.Left) {
        return 0;
    }
    // The visible window, not the buffer, which may be far wider.
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left) + 1;
}

void send_to_null_device(std::FILE* stream)
{
    // Nowhere else to send it when even this fails: the text is lost.
    std::FILE* const reopened = std::freopen(NULL_DEVICE, "w", stream);
    (void)reopened;
}

void join_output_to_errors()
{
    (void)_dup2(_fileno(stderr), _fileno(stdout));
}

unsigned console_process_count()
{
    // Too small a list still returns the count it would need.
    DWORD processes[2] = {};
    return static_cast<unsigned>(GetConsoleProcessList(processes, 2));
}

bool is_terminal(std::FILE* stream)
{
    DWORD mode = 0;
    return GetConsoleMode(handle_of(stream), &mode) != 0;
}

void prepare_standard_streams()
{
    // A stream without a handle would take the descriptor of the first file
    // opened; stdin first, so that the others get the descriptors after it.
    const struct {
        std::FILE* stream;
        const char* mode;
    } streams[] = {{stdin, "r"}, {stdout, "w"}, {stderr, "w"}};
    for (const auto& s : streams) {
        if (handle_of(s.stream) == INVALID_HANDLE_VALUE) {
            std::FILE* const reopened = std::freopen(NULL_DEVICE, s.mode, s.stream);
            (void)reopened;
        }
    }
}

std::vector<std::string> command_line_arguments(int argc, char** argv)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        arguments.push_back(utf8_from_utf16(wide[i]));
    }
    (void)LocalFree(static_cast<HLOCAL>(wide));
    return arguments;
}
