// Where the tool's text goes, and how a member name is shown.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "console.h"
#include "progress.h"
#include "terminal.h"

std::string formatted_text(const char* format, std::va_list args)
{
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return "";
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    (void)std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

void vprint_text(std::FILE* stream, const char* format, std::va_list args)
{
    const std::string text = formatted_text(format, args);
    if (!text.empty()) {
        write_text(stream, text.data(), text.size());
    }
    // A pipe or a file would otherwise get every line at the end, and none
    // from a run that is killed; Windows buffers even a terminal fully.
    if (!text.empty() && text.back() == '\n') {
        (void)std::fflush(stream);
    }
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

void print_note(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string note = formatted_text(format, args);
    va_end(args);
    print_error_text("tarnwick: %s\n", note.c_str());
}

void divert_output_to_errors(bool errors_are_unsafe)
{
    (void)std::fflush(stdout);
    if (errors_are_unsafe) {
        send_to_null_device(stdout);
        send_to_null_device(stderr);
        return;
    }
    join_output_to_errors();
}

void silence_errors()
{
    send_to_null_device(stderr);
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

void write_error_now(const char* text)
{
    write_error_raw(text, std::strlen(text));
}
