// A copy moves bytes between regular files inside the kernel on Linux and
// through its loop of COPY_CHUNK_SIZE chunks everywhere else; both must leave the same bytes
// and the same failures.
#ifdef __linux__

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "copies.h"
#include "open_file.h"
#include "test_support.h"

using namespace testkit;

namespace {

// Steers the copy_file_range defined below.
struct kernel_copy_script {
    int calls;
    std::size_t most_per_call;
    int failing_call;  // from this call on every call fails; 0 for never
    int error;         // errno of a failing call; 0 reports an early end of file
};

// Every test in this program copies through it, not only this file's.
kernel_copy_script script{0, SIZE_MAX, 0, 0};

void reset_script() { script = {0, SIZE_MAX, 0, 0}; }

}  // namespace

// Linked ahead of the C library's copy_file_range, so that the tests see every
// call the product makes and can make the system refuse or give up part way.
extern "C" ssize_t copy_file_range(int source, off64_t* source_offset, int destination,
                                   off64_t* destination_offset, std::size_t length, unsigned int flags) {
    ++script.calls;
    if (script.failing_call != 0 && script.calls >= script.failing_call) {
        if (script.error == 0) return 0;
        errno = script.error;
        return -1;
    }
    return syscall(SYS_copy_file_range, source, source_offset, destination, destination_offset,
                   std::min(length, script.most_per_call), flags);
}

namespace {

class FastCopy : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        reset_script();
    }
};

// Copies `count` bytes of `source` (already in file `from_path`) from offset
// 5 to offset 2 of a file that holds "hd" and gets "tl" after the copy, and
// checks that the file then holds exactly what it should.
void expect_copy(const std::string& from_path, const std::string& to_path, const std::string& source,
                 std::uint32_t count) {
    write_file(to_path, "hd");
    checked_file from = open_for_read(from_path.c_str());
    checked_file to = open_for_update(to_path.c_str());
    copy_span_to(to, {&from, nullptr, 5, 2, static_cast<std::int32_t>(count)}, nullptr, nullptr);
    write_exact(to, 2 + static_cast<std::int64_t>(count), "tl", 2);
    close_file(from);
    close_file(to);
    EXPECT_TRUE(same_bytes(read_file(to_path), "hd" + source.substr(5, count) + "tl"));
}

TEST_F(FastCopy, RegularFilesAreCopiedInTheKernel) {
    const std::string from_path = path("from"), to_path = path("to");
    for (std::uint32_t count : {0u, 1u, 4095u, 4096u, 4097u, 8192u, (1u << 20) + 3u}) {
        SCOPED_TRACE(count);
        reset_script();
        const std::string source = random_bytes(count + 9, count);
        write_file(from_path, source);
        expect_copy(from_path, to_path, source, count);
        EXPECT_EQ(script.calls > 0, count > 0);
    }
}

TEST_F(FastCopy, TheLoopTakesOverWhereverTheKernelRefusesOrStops) {
    const std::string from_path = path("from"), to_path = path("to");
    const struct {
        const char* what;
        std::size_t most_per_call;
        int failing_call;
        int error;
    } cases[] = {
        {"across file systems", SIZE_MAX, 1, EXDEV},
        {"unsupported file system", SIZE_MAX, 1, EOPNOTSUPP},
        {"kernel without the call", SIZE_MAX, 1, ENOSYS},
        {"file that refuses it", SIZE_MAX, 1, EINVAL},
        {"refused after a partial copy", 5000, 2, EXDEV},
        {"i/o error after a partial copy", 4096, 3, EIO},
        {"early end of file after a partial copy", 1, 2, 0},
    };
    // Several chunks, the loop's first one starting wherever the kernel stopped.
    const std::uint32_t count = 3 * COPY_CHUNK_SIZE + 17;
    const std::string source = random_bytes(count + 9, 7);
    write_file(from_path, source);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        script = {0, c.most_per_call, c.failing_call, c.error};
        expect_copy(from_path, to_path, source, count);
        EXPECT_EQ(script.calls, c.failing_call);
    }
}

// The loop writes each whole chunk it could read before it fails, and so
// must a source that is too short between regular files.
TEST_F(FastCopy, AShortSourceFailsAfterTheSameWholeChunks) {
    const std::string from_path = path("from"), to_path = path("to");
    const std::string source = random_bytes(2 * COPY_CHUNK_SIZE + 1808, 5);
    write_file(from_path, source);
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            write_file(to_path, "");
            checked_file from = open_for_read(from_path.c_str());
            checked_file to = open_for_update(to_path.c_str());
            copy_span_to(to, {&from, nullptr, 0, 0, static_cast<std::int32_t>(source.size()) + 1}, nullptr, nullptr);
        },
        ::testing::ExitedWithCode(1), fatal_exactly("File read failure"));
    EXPECT_TRUE(same_bytes(read_file(to_path), source.substr(0, 2 * COPY_CHUNK_SIZE)));
}

// Past the limit a write fails with EFBIG instead of killing the process.
void limit_file_size(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
}

// Refused at a write of the copy, or at the write just before it.
TEST_F(FastCopy, AWriteRefusedByTheSystemIsAWriteFailure) {
    const std::string from_path = path("from"), to_path = path("to");
    write_file(from_path, random_bytes(10000, 3));
    for (std::int64_t start : {0, 5990}) {
        SCOPED_TRACE(start);
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                limit_file_size(6000);
                write_file(to_path, "");
                checked_file from = open_for_read(from_path.c_str());
                checked_file to = open_for_update(to_path.c_str());
                const std::string head(100, 'h');
                write_exact(to, start, head.data(), 100);
                copy_span_to(to, {&from, nullptr, 0, start + 100, 10000}, nullptr, nullptr);
                close_file(from);
                close_file(to);
            },
            ::testing::ExitedWithCode(1), fatal_exactly("Error writing " + to_path + ": " + std::strerror(EFBIG)));
    }
}

}  // namespace

#endif
