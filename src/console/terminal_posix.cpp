// The console module's system calls on POSIX systems.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "console.h"
#include "terminal.h"

namespace {

constexpr char NULL_DEVICE[] = "/dev/null";

} // namespace

void write_text(std::FILE* stream, const char* text, std::size_t length)
{
    (void)std::fwrite(text, 1, length, stream);
}

void write_error_raw(const char* text, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

std::size_t terminal_columns(std::FILE* stream)
{
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

void send_to_null_device(std::FILE* stream)
{
    // Nowhere else to send it when even this fails: the text is lost.
    std::FILE* const reopened = std::freopen(NULL_DEVICE, "w", stream);
    (void)reopened;
}

void join_output_to_errors()
{
    (void)dup2(STDERR_FILENO, STDOUT_FILENO);
}

// A terminal outlives the programs started in it.
unsigned console_process_count()
{
    return 0;
}

bool is_terminal(std::FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}

void prepare_standard_streams()
{
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
}

std::vector<std::string> command_line_arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}
