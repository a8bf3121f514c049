// A file system whose kernel copies write other bytes than they report,
// preloaded into the tool by the end-to-end tests (LD_PRELOAD). It stands in
// front of copy_file_range, and of fwrite, write, pwrite and pwrite64, and
// reads its settings from the environment once:
//   TARNWICK_TEST_LIE        how a copy lies: "zero" (a middle part of the
//                            copied range is zeros), "shift" (the range lands
//                            16 bytes further on), "short" (half is copied,
//                            the whole count reported), "short-last" (all but
//                            the last byte), or one byte of the range changed:
//                            "first", "last" or "at:N" (N from the range's start)
//   TARNWICK_TEST_LIE_CALLS  which copy_file_range calls lie, counted from 1:
//                            "2", "1,3", "2-" (the second and every later one)
//                            or "all"
//   TARNWICK_TEST_LIE_SIZE   N: writes of exactly N bytes (fwrite, write,
//                            pwrite) lie instead of copies, counted by
//                            TARNWICK_TEST_LIE_CALLS, with one byte changed as
//                            "first", "last" or "at:N" say; logged "write N FILE"
//   TARNWICK_TEST_LIE_WRITES "1": once a copy lied into a file, every later
//                            fwrite or write of more than 16 bytes into that
//                            file has one byte changed, so a copy redone by the
//                            tool's own loop differs too
//   TARNWICK_TEST_NO_EXCHANGE "1": renameat2 refuses to exchange two names,
//                            as a file system without the exchange does;
//                            "all": it refuses every flag, as a file system
//                            without rename flags does
//   TARNWICK_TEST_NO_THREADS "1": pthread_create fails with EAGAIN, as it does
//                            for a user at the limit of processes
//   TARNWICK_TEST_LIE_LOG    a file that gets a line per lie: "copy N FILE" or
//                            "write FILE", FILE the destination's last name part;
//                            and, for a file once lied into, "wrote FILE" for
//                            each true write of more than 16 bytes and "flush
//                            FILE" for each fsync or fdatasync
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kUntouched = 16;  // header marks and the directory's place are written in fewer bytes
constexpr off64_t kShift = 16;

struct settings {
    std::string how;
    std::vector<std::pair<long, bool>> calls;  // a call number, and whether every later one lies too
    bool writes = false;
    std::size_t size = 0;  // of the writes that lie; 0: copies lie
    std::string log;
};

const settings& config() {
    static const settings parsed = [] {
        settings s;
        const char* how = std::getenv("TARNWICK_TEST_LIE");
        s.how = how != nullptr ? how : "";
        const char* calls = std::getenv("TARNWICK_TEST_LIE_CALLS");
        std::string list = calls != nullptr ? calls : "";
        if (list == "all") list = "1-";
        for (std::size_t at = 0; at < list.size();) {
            char* end = nullptr;
            const long number = std::strtol(list.c_str() + at, &end, 10);
            const bool onwards = *end == '-';
            s.calls.emplace_back(number, onwards);
            at = static_cast<std::size_t>(end - list.c_str()) + (onwards ? 1 : 0);
            if (at < list.size() && list[at] == ',') ++at;
            else if (at < list.size()) break;
        }
        const char* writes = std::getenv("TARNWICK_TEST_LIE_WRITES");
        s.writes = writes != nullptr && std::strcmp(writes, "1") == 0;
        const char* size = std::getenv("TARNWICK_TEST_LIE_SIZE");
        s.size = size != nullptr ? std::strtoul(size, nullptr, 10) : 0;
        const char* log = std::getenv("TARNWICK_TEST_LIE_LOG");
        s.log = log != nullptr ? log : "";
        return s;
    }();
    return parsed;
}

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using write_function = ssize_t (*)(int, const void*, std::size_t);
using pwrite_function = ssize_t (*)(int, const void*, std::size_t, off64_t);
using fwrite_function = std::size_t (*)(const void*, std::size_t, std::size_t, FILE*);
using copy_function = ssize_t (*)(int, off64_t*, int, off64_t*, std::size_t, unsigned int);

// The files a copy lied into, as device and inode, which survive a rename.
std::vector<std::pair<dev_t, ino_t>> lied_into;

bool was_lied_into(int fd) {
    struct stat info {};
    if (lied_into.empty() || fstat(fd, &info) != 0) return false;
    for (const auto& file : lied_into)
        if (file.first == info.st_dev && file.second == info.st_ino) return true;
    return false;
}

void note(int fd, const std::string& what) {
    if (config().log.empty()) return;
    char link[PATH_MAX] = {};
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(proc.c_str(), link, sizeof link - 1);
    const std::string name = length > 0 ? std::string(link, static_cast<std::size_t>(length)) : "?";
    const std::string line = what + " " + name.substr(name.rfind('/') + 1) + "\n";
    const int out = open(config().log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) return;
    (void)real<write_function>("write")(out, line.data(), line.size());
    close(out);
}

void remember(int fd) {
    struct stat info {};
    if (fstat(fd, &info) == 0) lied_into.emplace_back(info.st_dev, info.st_ino);
}

bool lies(long call) {
    for (const auto& [number, onwards] : config().calls)
        if (call == number || (onwards && call > number)) return true;
    return false;
}

void advance(int fd, off64_t* offset, off64_t by) {
    if (offset != nullptr) *offset += by;
    else lseek64(fd, by, SEEK_CUR);
}

// The byte of a range of `count` bytes that "first", "last" or "at:N"
// changes, or `count` for none.
std::size_t changed_byte(std::size_t count) {
    const std::string& how = config().how;
    std::size_t at = count;
    if (how == "first") at = 0;
    if (how == "last") at = count - 1;
    if (how.rfind("at:", 0) == 0) at = std::strtoul(how.c_str() + 3, nullptr, 10);
    return at < count ? at : count;
}

// A copy of `count` bytes with byte `at` changed.
std::vector<unsigned char> changed(const void* bytes, std::size_t count, std::size_t at) {
    const auto* first = static_cast<const unsigned char*>(bytes);
    std::vector<unsigned char> copy(first, first + count);
    copy[at] = static_cast<unsigned char>(copy[at] ^ 0xff);
    return copy;
}

// A write of `count` bytes into `fd` that lies as TARNWICK_TEST_LIE_SIZE
// asks, or nullptr; the bytes to write instead go into `lie`.
const unsigned char* sized_lie(int fd, const void* bytes, std::size_t count, std::vector<unsigned char>& lie) {
    static long calls = 0;
    if (config().size == 0 || count != config().size || !lies(++calls)) return nullptr;
    const std::size_t at = changed_byte(count);
    if (at == count) return nullptr;
    lie = changed(bytes, count, at);
    remember(fd);
    note(fd, "write " + std::to_string(calls));
    return lie.data();
}

// The bytes a write of `count` bytes into `fd` puts there: its own, or a lie.
const void* written(int fd, const void* bytes, std::size_t count, std::vector<unsigned char>& lie) {
    if (const unsigned char* sized = sized_lie(fd, bytes, count, lie)) return sized;
    if (count <= kUntouched || !was_lied_into(fd)) return bytes;
    if (!config().writes) {
        note(fd, "wrote");
        return bytes;
    }
    note(fd, "write");
    lie = changed(bytes, count, count / 2);
    return lie.data();
}

}  // namespace

extern "C" ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset, std::size_t length,
                                   unsigned int flags) {
    static long calls = 0;
    const auto copy = real<copy_function>("copy_file_range");
    if (config().size != 0 || !lies(++calls) || length == 0) return copy(in, in_offset, out, out_offset, length, flags);
    const auto pwrite_to = real<pwrite_function>("pwrite64");
    const off64_t start = out_offset != nullptr ? *out_offset : lseek64(out, 0, SEEK_CUR);
    const std::string& how = config().how;
    bool lied = false;
    if (how == "short" || how == "short-last") {
        const std::size_t half = how == "short" ? length / 2 : length - 1;
        const ssize_t moved = copy(in, in_offset, out, out_offset, half, flags);
        if (moved < 0 || static_cast<std::size_t>(moved) != half) return moved;
        advance(in, in_offset, static_cast<off64_t>(length - half));
        advance(out, out_offset, static_cast<off64_t>(length - half));
        lied = true;
    } else {
        const ssize_t moved = copy(in, in_offset, out, out_offset, length, flags);
        if (moved <= 0) return moved;
        length = static_cast<std::size_t>(moved);
        if (how == "zero") {
            const std::vector<unsigned char> zeros(length / 2 + 1, 0);
            const off64_t at = start + static_cast<off64_t>(length / 4);
            lied = pwrite_to(out, zeros.data(), zeros.size(), at) == static_cast<ssize_t>(zeros.size());
        } else if (how == "shift" && length > kShift) {
            std::vector<unsigned char> copied(length);
            const auto shifted = static_cast<ssize_t>(length - kShift);
            lied = pread64(out, copied.data(), length, start) == moved &&
                   pwrite_to(out, copied.data(), length - kShift, start + kShift) == shifted;
        } else if (changed_byte(length) < length) {
            const off64_t at = start + static_cast<off64_t>(changed_byte(length));
            unsigned char byte = 0;
            if (pread64(out, &byte, 1, at) == 1) {
                byte = static_cast<unsigned char>(byte ^ 0xff);
                lied = pwrite_to(out, &byte, 1, at) == 1;
            }
        }
    }
    // A lie the shim failed to tell goes unlogged, which the test notices.
    if (!lied) return static_cast<ssize_t>(length);
    remember(out);
    note(out, "copy " + std::to_string(calls));
    return static_cast<ssize_t>(length);
}

extern "C" std::size_t fwrite(const void* bytes, std::size_t size, std::size_t count, FILE* stream) {
    std::vector<unsigned char> lie;
    return real<fwrite_function>("fwrite")(written(fileno(stream), bytes, size * count, lie), size, count, stream);
}

extern "C" ssize_t write(int fd, const void* bytes, std::size_t count) {
    std::vector<unsigned char> lie;
    return real<write_function>("write")(fd, written(fd, bytes, count, lie), count);
}

extern "C" ssize_t pwrite(int fd, const void* bytes, std::size_t count, off_t offset) {
    std::vector<unsigned char> lie;
    return real<pwrite_function>("pwrite")(fd, written(fd, bytes, count, lie), count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* bytes, std::size_t count, off64_t offset) {
    std::vector<unsigned char> lie;
    return real<pwrite_function>("pwrite64")(fd, written(fd, bytes, count, lie), count, offset);
}

extern "C" int fdatasync(int fd) {
    if (was_lied_into(fd)) note(fd, "flush");
    return real<int (*)(int)>("fdatasync")(fd);
}

extern "C" int fsync(int fd) {
    if (was_lied_into(fd)) note(fd, "flush");
    return real<int (*)(int)>("fsync")(fd);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) {
    const char* none = std::getenv("TARNWICK_TEST_NO_THREADS");
    if (none != nullptr && std::strcmp(none, "1") == 0) return EAGAIN;
    using create_function = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    return real<create_function>("pthread_create")(thread, attributes, start, argument);
}

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned int flags) {
    using rename_function = int (*)(int, const char*, int, const char*, unsigned int);
    const char* no_exchange = std::getenv("TARNWICK_TEST_NO_EXCHANGE");
    const std::string refused = no_exchange != nullptr ? no_exchange : "";
    if ((refused == "1" && (flags & RENAME_EXCHANGE) != 0) || (refused == "all" && flags != 0)) {
        errno = EINVAL;
        return -1;
    }
    return real<rename_function>("renameat2")(from_folder, from, to_folder, to, flags);
}
