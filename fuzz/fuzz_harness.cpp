// The set-up and the plain file calls both libFuzzer harnesses share.
#include "fuzz_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fatal_error.h"
#include "fuzz_fatal_error.h"

namespace fuzz {

workspace work{-1, -1, {}, false};

namespace {

std::vector<const char*> work_files;

void remove_work_files()
{
    if (work.work_dir < 0) {
        return;
    }
    for (const char* name : work_files) {
        ::unlinkat(work.work_dir, name, 0);
    }
    ::rmdir(work.work_path.c_str());
}

} // namespace

void harness_failure(const char* what, const std::string& detail)
{
    (void)std::fprintf(stderr, "%s: %s%s%s\n", program_invocation_short_name, what, detail.empty() ? "" : ": ",
                       detail.c_str());
    std::abort();
}

void open_workspace(const char* prefix, std::initializer_list<const char*> names)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        harness_failure("cannot create a work directory under", pattern);
    }
    work.work_path = pattern;
    work.trace = std::getenv("TARNWICK_FUZZ_TRACE") != nullptr;
    work.home_dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    work.work_dir = ::open(work.work_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (work.home_dir < 0 || work.work_dir < 0) {
        harness_failure("cannot open the working directories");
    }
    work_files.assign(names);
    if (std::atexit(remove_work_files) != 0) {
        harness_failure("cannot register the clean-up of", work.work_path);
    }
    try {
        fatal_error("probe");
    } catch (const fatal_error_thrown&) {
    }
}

void write_whole_file(const char* path, const std::string& bytes)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        harness_failure("cannot create", path);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written <= 0) {
            harness_failure("cannot write", path);
        }
        done += static_cast<std::size_t>(written);
    }
    if (::close(fd) != 0) {
        harness_failure("cannot write", path);
    }
}

descriptor_set open_descriptors()
{
    std::array<pollfd, DESCRIPTOR_WINDOW> probes{};
    for (std::size_t fd = 0; fd < probes.size(); ++fd) {
        probes[fd].fd = static_cast<int>(fd);
    }
    if (::poll(probes.data(), probes.size(), 0) < 0) {
        harness_failure("cannot poll the descriptors");
    }
    descriptor_set open;
    for (std::size_t fd = 0; fd < probes.size(); ++fd) {
        open[fd] = (probes[fd].revents & POLLNVAL) == 0;
    }
    return open;
}

} // namespace fuzz
