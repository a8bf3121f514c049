#include "end_to_end.h"

#include <cctype>
#include <cstring>
#include <filesystem>

#include <unistd.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#endif

namespace testkit {

std::string backing_up(const std::string& target) { return kTitle + "Backing up update target " + target + "...\n"; }

#ifndef _WIN32
bool make_socket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return bound;
}
#endif

std::size_t display_columns(const std::string& text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
        if (length == 0 || i + length > text.size()) return std::string::npos;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return std::string::npos;
        columns += lead >= 0xe4 && lead <= 0xe9 ? 2 : 1;
        i += length;
    }
    return columns;
}

std::string test_name_of(const ::testing::TestParamInfo<const char*>& row) {
    std::string name = row.param;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

std::string without_unseen_note(std::string out) {
    const std::size_t at = out.find("Some programs could not be looked at: ");
    if (at != std::string::npos) out.erase(at, out.find('\n', at) + 1 - at);
    return out;
}

std::string held_refusal(const std::string& lead) {
    std::string name;
#ifndef _WIN32
    const std::string emulator = TARNWICK_EMULATOR;
    name = emulator.empty() ? "hold_file" : fs::path(emulator.substr(0, emulator.find(';'))).filename().string();
    name = " (" + name.substr(0, 15) + ")";
#endif
    return lead + "another program" + name + " has it open (is the game running?); close it and run again\n";
}

std::vector<std::string> errors_into(const std::string& file) {
#ifdef _WIN32
    (void)file;
    return {};
#else
    return {"sh", "-c", "exec \"$@\" 2>'" + file + "'", "sh"};
#endif
}

std::string with_le32(std::string pak, std::size_t at, std::int32_t value) {
    put_le32(pak, at, value);
    return pak;
}

std::vector<pak_member> random_members(std::mt19937& rng) {
    static const char* const pool[] = {"a.txt", "maps/m1.bsp", "pics/colormap.pcx", "\xc9t\xc9.wav", "@z"};
    static const std::size_t lengths[] = {0, 1, 17, 4095, 4096, 4097};
    std::vector<pak_member> members(rng() % 13);
    for (auto& m : members) {
        m.name = rng() % 3 != 0 ? pool[rng() % 5] : "f" + std::to_string(rng() % 40);
        for (char& c : m.name)
            if (c >= 'a' && c <= 'z' && rng() % 2 != 0) c = static_cast<char>(c - 'a' + 'A');
        const std::size_t pick = rng() % 8;
        const std::size_t length = pick < 6 ? lengths[pick] : rng() % 9000;
        m.data = random_bytes(length, static_cast<std::uint32_t>(rng()));
    }
    return members;
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string p = e.path().string();
        if (e.is_symlink()) files[p] = "-> " + fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            files[p] = e.file_size() > (1u << 26) ? "size " + std::to_string(e.file_size()) : read_file(p);
    }
    return files;
}

std::vector<std::string> no_exchange_environment(const char* how) {
#ifdef TARNWICK_LYING_COPY
    return {"LD_PRELOAD=" TARNWICK_LYING_COPY, "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0",
            std::string("TARNWICK_TEST_NO_EXCHANGE=") + how};
#else
    (void)how;
    return {};
#endif
}

bool errors_can_be_caught() { return !errors_into("").empty(); }

bool backslash_separates_folders() {
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

bool trailing_dots_are_kept() { return !backslash_separates_folders(); }

bool running_as_root() {
#ifdef _WIN32
    return false;
#else
    return geteuid() == 0;
#endif
}

bool can_make_symlinks() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

#ifndef _WIN32

scenario_archives archives_of_scenarios() {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    return {o, u, model_merge(o, u)->archive};
}

bool changes_files(const std::string& call, const std::string& line, const std::string& folder) {
    if (call == "openat") return line.find("O_CREAT") != std::string::npos || line.find("O_TRUNC") != std::string::npos;
    if (call == "write") return line.find("<" + folder + "/") != std::string::npos;
    return call != "fdatasync" && call != "fsync" && call != "sync_file_range";
}

std::string traced_calls() {
    std::string set;
    for (const char* call : kFileCalls) set += (set.empty() ? "" : ",") + std::string(call);
    return set;
}

bool dropped_from_memory(const std::string& path) {
    const int file = open(path.c_str(), O_RDONLY);
    const auto length = static_cast<std::size_t>(fs::file_size(path));
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> pages((length + static_cast<std::size_t>(page) - 1) / static_cast<std::size_t>(page));
    void* view = MAP_FAILED;
    const bool dropped = file >= 0 && fdatasync(file) == 0 && posix_fadvise(file, 0, 0, POSIX_FADV_DONTNEED) == 0 &&
                         (view = mmap(nullptr, length, PROT_READ, MAP_SHARED, file, 0)) != MAP_FAILED &&
                         mincore(view, length, pages.data()) == 0 &&
                         std::count_if(pages.begin(), pages.end(), [](unsigned char p) { return p & 1; }) == 0;
    if (view != MAP_FAILED) munmap(view, length);
    if (file >= 0) close(file);
    return dropped;
}

std::string without_pids(const std::string& trace) {
    std::istringstream lines(trace);
    std::string calls;
    for (std::string line; std::getline(lines, line);)
        calls += line.substr(line.find_first_not_of(' ', line.find_first_not_of("0123456789"))) + "\n";
    return calls;
}

#endif

}  // namespace testkit
