// The command line and the standard streams in surroundings the tool does
// not choose: closed descriptors, readers that go away, terminals, consoles,
// and output into an archive.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "checked_io.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include "utf16.h"
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32

HANDLE handle_of(std::FILE* stream)
{
    const int descriptor = _fileno(stream);
    return descriptor < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

constexpr char NULL_DEVICE[] = "NUL";

// A console shows what it is given in UTF-16 whatever its code page, which
// stays as the user set it; bytes written to it would be read in that code
// page. False when `stream` is no console.
bool write_console(std::FILE* stream, const char* format, std::va_list args)
{
    const HANDLE console = handle_of(stream);
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || GetConsoleMode(console, &mode) == 0) {
        return false;
    }
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return true;
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    (void)std::vsnprintf(text.data(), text.size(), format, args);
    const std::wstring wide = utf16_from_utf8(text.data(), static_cast<std::size_t>(length));
    // Whatever the stream still buffers goes first.
    (void)std::fflush(stream);
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
            break;
        }
        done += written;
    }
    return true;
}

#else

constexpr char NULL_DEVICE[] = "/dev/null";

#endif

} // namespace

std::vector<std::string> command_line_arguments(int argc, char** argv)
{
#ifdef _WIN32
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        std::vector<std::string> arguments;
        arguments.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            arguments.push_back(utf8_from_utf16(wide[i]));
        }
        (void)LocalFree(static_cast<HLOCAL>(wide));
        return arguments;
    }
#endif
    return std::vector<std::string>(argv, argv + argc);
}

void vprint_text(std::FILE* stream, const char* format, std::va_list args)
{
#ifdef _WIN32
    if (write_console(stream, format, args)) {
        return;
    }
#endif
    (void)std::vfprintf(stream, format, args);
}

void print_text(const char* format, ...)
{
    // The progress line may stand on the same terminal.
    hide_progress();
    std::va_list args;
    va_start(args, format);
    vprint_text(stdout, format, args);
    va_end(args);
}

void print_error_text(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    vprint_text(stderr, format, args);
    va_end(args);
}

void prepare_standard_streams()
{
#ifdef _WIN32
    // A stream without a handle would take the descriptor of the first file
    // opened; stdin first, so that the others get the descriptors after it.
    const struct {
        std::FILE* stream;
        const char* mode;
    } streams[] = {{stdin, "r"}, {stdout, "w"}, {stderr, "w"}};
    for (const auto& s : streams) {
        if (handle_of(s.stream) == INVALID_HANDLE_VALUE) {
            (void)std::freopen(NULL_DEVICE, s.mode, s.stream);
        }
    }
#else
    // open returns the lowest free descriptor, so in this order each closed
    // one is filled by the null device.
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) == -1) {
            const int null_device = open(NULL_DEVICE, descriptor == 0 ? O_RDONLY : O_WRONLY);
            if (null_device >= 0 && null_device != descriptor) {
                (void)dup2(null_device, descriptor);
                (void)close(null_device);
            }
        }
    }
    // A write to a pipe whose reader has gone then fails with EPIPE, which
    // printf drops, instead of killing the process part way through a rewrite.
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
}

void divert_output_to_errors(bool errors_are_unsafe)
{
    (void)std::fflush(stdout);
    if (errors_are_unsafe) {
        (void)std::freopen(NULL_DEVICE, "w", stdout);
        (void)std::freopen(NULL_DEVICE, "w", stderr);
        return;
    }
#ifdef _WIN32
    (void)_dup2(_fileno(stderr), _fileno(stdout));
#else
    (void)dup2(STDERR_FILENO, STDOUT_FILENO);
#endif
}

bool is_terminal(std::FILE* stream)
{
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(handle_of(stream), &mode) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

std::string shown_text(const char* text)
{
    // Asked once: every member name shown asks again.
    static const bool terminal = is_terminal(stdout);
    if (!terminal) {
        return text;
    }
    std::string shown;
    for (const char* c = text; *c != '\0'; ++c) {
        const auto code = static_cast<unsigned char>(*c);
        if (code < 0x20 || code == 0x7f) {
            constexpr char HEX_DIGITS[] = "0123456789abcdef";
            shown += "\\x";
            shown += HEX_DIGITS[code >> 4U];
            shown += HEX_DIGITS[code & 0xfU];
        } else {
            shown += *c;
        }
    }
    return shown;
}
