#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#endif

#include "backup.h"
#include "journal.h"
#include "open_file.h"
#include "pak_format.h"
#include "pending_file.h"
#include "test_support.h"

using namespace testkit;
namespace fs = std::filesystem;

namespace {

const std::string kTooLarge = "Resulting pak file would be too large!\nContact Pak Author.\n";
const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
#ifdef _WIN32
// Windows has no ulimit: nothing caps the writes there.
const std::vector<std::string> kFileSizeCap = {};
#else
// Caps what a faulty build could write while it should be refusing.
const std::vector<std::string> kFileSizeCap = {"sh", "-c", "ulimit -f 40000 && exec \"$0\" \"$@\""};
#endif

#ifndef _WIN32
// A socket file that stays behind once its descriptor is closed.
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

// LeakSanitizer cannot work under ptrace and would fail a traced run at its exit.
constexpr const char* kNoLeakCheck = "-EASAN_OPTIONS=detect_leaks=0";
constexpr const char* kUnderStrace = "strace -EASAN_OPTIONS=detect_leaks=0";
// With -f, the tool stops only at the calls traced, so a traced run costs
// little more than a plain one. Not for a signal injected: strace 6.1 then
// lets the run go on.
constexpr const char* kOnlyTracedCalls = "--seccomp-bpf";

// The columns a terminal gives UTF-8 text, for the characters these tests
// use: CJK ideographs (U+4E00 to U+9FFF, led by E4 to E9) take two. Text
// that is not UTF-8 has npos.
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

std::string backing_up(const std::string& target) { return kTitle + "Backing up update target " + target + "...\n"; }

// A dry run without the line that says some programs could not be looked
// at: whether it appears depends on the processes of the machine.
std::string without_unseen_note(std::string out) {
    const std::size_t at = out.find("Some programs could not be looked at: ");
    if (at != std::string::npos) out.erase(at, out.find('\n', at) + 1 - at);
    return out;
}

// The refusal of an archive another program holds open: on Linux it names
// the program, tests/hold_file (its name cut to 15 bytes, as Linux keeps
// it), or the emulator that runs it.
std::string held_refusal(const std::string& lead) {
    std::string name;
#ifndef _WIN32
    const std::string emulator = TARNWICK_EMULATOR;
    name = emulator.empty() ? "hold_file" : fs::path(emulator.substr(0, emulator.find(';'))).filename().string();
    name = " (" + name.substr(0, 15) + ")";
#endif
    return lead + "another program" + name + " has it open (is the game running?); close it and run again\n";
}

// A wrapper that sends the tool's standard error into `file`, where a shell can.
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

struct refusal_case {
    const char* label;
    std::vector<std::string> args;  // relative to the case directory
    // 's'ymlink or 'h'ard link `from` to `to`, a symlink to `to` with no update.pak ('u'), a 'b'ig sparse
    // `from` without members, of `to` bytes or else 2^31, a 'd'irectory, a named 'p'ipe or a soc'k'et, an
    // archive `to` beside `from` 'm'arked by a cut-short rewrite or marked 'c'omplete but for its magic, 'n'o
    // `from` at all, or a symlink to `to` with no update.pak beside pak0.pak cut short while 'r'ewriting from
    // its backup pak0.bak
    char kind;
    const char *from, *to;
    std::string out;      // the whole output, or else...
    std::string mention;  // ...a part of the message after the banner
    int status = 1;
    std::string errors = "";  // on standard error, checked where a shell can catch it
    const char* held = "";    // a file another program holds open through the runs...
    bool held_before = false;  // ...or held and closed, its program ended, before them
};

// Every file below `dir`, with its content (or size, for huge files) or link target.
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

}  // namespace

class EndToEnd : public TempDirTest {
protected:
    std::string target() const { return path("pak0.pak"); }
    std::string backup() const { return path("pak0.bak"); }
    std::string update() const { return path("update.pak"); }

    // Runs an update expected to succeed and checks stdout and all three files.
    void expect_success(const std::string& original, const std::string& update_pak,
                        const std::string& target_path, const std::string& backup_path,
                        const std::vector<std::string>& wrapper = {}) {
        write_file(target_path, original);
        write_file(update(), update_pak);
        const auto expected = model_merge(original, update_pak);
        ASSERT_TRUE(expected) << "the model refuses the pair";
#ifndef _WIN32
        const mode_t mask = umask(0);
        umask(mask);
        struct stat info {};
        ASSERT_EQ(stat(target_path.c_str(), &info), 0);
        const mode_t target_mode = info.st_mode & 07777;
#endif
        const run_result run = run_tarnwick({target_path}, dir(), wrapper);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, success_stdout(target_path, backup_path, expected->member_lines));
        EXPECT_TRUE(same_bytes(read_file(target_path), expected->archive));
        EXPECT_TRUE(same_bytes(read_file(backup_path), original));
        EXPECT_FALSE(exists(update()));
#ifndef _WIN32
        // The backup is a new file, with the mode cp gives one; the target keeps its own.
        EXPECT_EQ(stat(backup_path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask);
        EXPECT_EQ(stat(target_path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, target_mode);
#endif
    }

    // Why the tool cannot run under strace (or script) here, or "".
    std::string reason_cannot_trace() {
        if (std::string(TARNWICK_EMULATOR).size() > 0) return "strace and script would take the emulator for the tool";
        if (run_program({"strace", "-o", "/dev/null", "true"}, dir()).status != 0)
            return "strace is missing or may not trace here";
        return "";
    }

#ifndef _WIN32
    std::string reason_cannot_drop_privileges() {
        if (geteuid() != 0) return "needs root to switch to an unprivileged user";
        chmod(dir().c_str(), 0755);
        std::vector<std::string> probe = kAsNobody;
        probe.insert(probe.end(), {"test", "-x", tarnwick_exe()});
        return run_program(probe, dir()).status == 0 ? "" : "setpriv cannot run the tool as uid 65534";
    }
#endif

    // Runs the tool in a fresh tmpfs of `size` holding in/*, then copies the files back to out/.
    run_result run_on_small_disk(const std::string& size) {
        fs::remove_all(path("out"));
        fs::create_directory(path("out"));
        const std::string script = "mount -t tmpfs -o size=" + size +
                                   " tmpfs mnt || exit 90; cp in/* mnt/ && cd mnt || exit 91;"
                                   " \"$@\"; s=$?; cp * ../out/; exit $s";
        return run_tarnwick({"pak0.pak"}, dir(), {"unshare", "-m", "sh", "-c", script, "sh"});
    }

    std::string prepare_small_disk() {
        for (const char* sub : {"in", "mnt", "out"}) fs::create_directory(path(sub));
#ifdef _WIN32
        return "a small disk of its own needs unshare and tmpfs, which only Linux has";
#else
        if (geteuid() != 0) return "needs root to mount a small tmpfs";
        const run_result probe =
            run_program({"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs mnt"}, dir());
        return probe.status == 0 ? "" : "unshare -m with a tmpfs mount is not permitted here";
#endif
    }

    // Runs each case in a directory of its own and checks that no file there changes.
    void expect_refusals(const std::vector<refusal_case>& cases) {
        const std::string no_such = std::string(": ") + std::strerror(ENOENT) + "\n";
        int index = 0;
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            const std::string d = path("case" + std::to_string(index++)), from = d + "/" + c.from;
            fs::create_directory(d);
            for (const char* name : {"/pak0.pak", "/own.bak", "/update.pak"})
                write_file(d + name, build_pak({{name, "x"}}));
            std::error_code made;
            // A link in a folder of its own has an archive beside it.
            if (std::strchr(c.from, '/') && fs::create_directory(fs::path(from).parent_path(), made))
                write_file(fs::path(from).parent_path().string() + "/pak0.pak", build_pak({{"sub", "x"}}));
            if (c.kind == 'd') fs::remove(from, made);
            if (c.kind == 's') fs::create_symlink(c.to, from, made);
            if (c.kind == 'h') fs::create_hard_link(d + "/" + c.to, from, made);
            if (c.kind == 'd') fs::create_directory(from, made);
            if (c.kind == 'r') {
                const std::string original = read_file(d + "/pak0.pak");
                write_file(d + "/pak0.bak", original);
                write_file(d + "/pak0.pak", "\x89TWr" + original.substr(4, 20));
            }
            if (c.kind == 'u' || c.kind == 'r') {
                fs::remove(d + "/update.pak");
                fs::create_symlink(c.to, from, made);
            }
#ifndef _WIN32
            if (c.kind == 'p' && mkfifo(from.c_str(), 0600) != 0) made.assign(errno, std::generic_category());
            if (c.kind == 'k' && !make_socket(from)) made.assign(errno, std::generic_category());
#endif
            if (c.kind == 'n') fs::remove(from);
            if (c.kind == 'm' || c.kind == 'c') {
                write_file(d + "/" + c.to, build_pak({{"to", "x"}}));
                // The original the marked archive still needs, in its own folder.
                const std::string original = fs::path(from).parent_path().string() + "/own.bak";
                if (!exists(original)) write_file(original, build_pak({{"own", "x"}}));
                const std::string rewritten = build_pak({{"cut short", "x"}});
                write_file(from, (c.kind == 'm' ? "\x89TWr" : "\x89TWc") + rewritten.substr(4));
            }
            if (c.kind == 'b') {
                write_file(from, raw_header("PACK", 12, 0));
                fs::resize_file(from, *c.to ? std::stoull(c.to) : std::uintmax_t{1} << 31, made);
            }
            ASSERT_FALSE(made) << made.message();
            std::unique_ptr<held_open> holder;
            if (*c.held) holder = std::make_unique<held_open>(d + "/" + c.held, path("holding"));
            if (c.held_before) holder.reset();
            const auto before = snapshot(d);
#ifdef _WIN32
            const run_result run = run_tarnwick(c.args, d, kFileSizeCap);
#else
            fs::remove(path("errors"));
            std::vector<std::string> wrapper = kFileSizeCap;
            wrapper[2] += " 2>../errors";
            const run_result run = run_tarnwick(c.args, d, wrapper);
            std::string errors = c.errors;
            const std::size_t folder = errors.find("{folder}");
            if (folder != std::string::npos) errors.replace(folder, 8, fs::canonical(d).string());
            EXPECT_EQ(read_file(path("errors")), errors);
#endif
            EXPECT_EQ(run.status, c.status);
            const std::string prefix = c.args.empty() ? "" : backing_up(c.args[0]) + kBanner;
            if (!c.out.empty()) {
                EXPECT_EQ(without_unseen_note(run.out), c.out);
            } else if (c.mention.empty()) {
                EXPECT_EQ(run.out, prefix + "Error opening " + c.args[0] + no_such);
            } else {
                EXPECT_EQ(run.out.substr(0, prefix.size()), prefix) << run.out;
                EXPECT_NE(run.out.find(c.mention, prefix.size()), std::string::npos) << run.out;
                EXPECT_EQ(run.out.find("Updating"), std::string::npos) << run.out;
            }
            EXPECT_EQ(snapshot(d), before);
            // A dry run refuses what the run refuses, in the same words.
            if (c.status == 1 && c.args.size() == 1 && c.args[0].rfind("-", 0) != 0) {
                const run_result dry = run_tarnwick({"--dry-run", c.args[0]}, d, kFileSizeCap);
                EXPECT_EQ(dry.status, 1);
                EXPECT_EQ(dry.out, run.out);
                EXPECT_EQ(snapshot(d), before);
            }
        }
    }
};

TEST_F(EndToEnd, WalkthroughExampleByteForByte) {
    fs::create_directory(path("baseq2"));
    const std::string original =
        build_pak({{"a.txt", "alpha\n"}, {"maps/m1.bsp", "old map"}});
    const std::string update_pak = build_pak({{"MAPS/M1.BSP", "new map!!"}, {"new.wav", "RIFF"}});
    write_file(path("baseq2/pak0.pak"), original);
    write_file(update(), update_pak);

    // A dry run says what the run will do, and changes nothing.
    const auto before = snapshot(dir());
    const run_result dry = run_tarnwick({"--dry-run", "baseq2/pak0.pak"}, dir());
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(without_unseen_note(dry.out), kTitle +
                           "Dry run of the update of baseq2/pak0.pak: nothing was changed\n"
                           "A run would back up baseq2/pak0.pak to baseq2/pak0.bak, then rewrite it:\n"
                           "  MAPS/M1.BSP : 9 bytes, replaces maps/m1.bsp\n"
                           "  new.wav : 4 bytes, adds\n"
                           "  kept: 1 of 2 members\n"
                           "  size: 153 bytes now, 262175 bytes after; the directory always holds 4,096 entries\n"
                           "  rewritten: 262157 bytes, from offset 18\n");
    EXPECT_EQ(snapshot(dir()), before);

    const run_result run = run_tarnwick({"baseq2/pak0.pak", "ignored.pak"}, dir());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kTitle +
                           "Backing up update target baseq2/pak0.pak...\n"
                           "Updating baseq2/pak0.pak...\n"
                           "Updating MAPS/M1.BSP : 9 bytes\n"
                           "Updating new.wav : 4 bytes\n"
                           "\n---------------------------------------\n"
                           "Update of baseq2/pak0.pak completed!\n\n"
                           "Backup of original in baseq2/pak0.bak\n"
                           "Thanks for using tarnwick!\n");
    std::string expected = raw_header("PACK", 31, 192) + "alpha\nnew map!!RIFF" + raw_entry("a.txt", 12, 6) +
                           raw_entry("MAPS/M1.BSP", 18, 9) + raw_entry("new.wav", 27, 4);
    expected.resize(31 + 262144, '\0');
    EXPECT_TRUE(same_bytes(read_file(path("baseq2/pak0.pak")), expected));
    EXPECT_EQ(read_file(path("baseq2/pak0.bak")), original);
    EXPECT_FALSE(exists(update()));
    EXPECT_FALSE(exists(path("ignored.bak")));
    const auto modelled = model_merge(original, update_pak);
    ASSERT_TRUE(modelled);
    EXPECT_TRUE(same_bytes(modelled->archive, expected));

    // --undo exchanges the archive and its backup; a second one redoes the update.
    for (const std::string& now : {original, expected}) {
        const run_result undo = run_tarnwick({"--undo", "baseq2/pak0.pak"}, dir());
        EXPECT_EQ(undo.status, 0);
        EXPECT_EQ(undo.out, kTitle + "Undoing the update of baseq2/pak0.pak...\nExchanged baseq2/pak0.pak and "
                                     "baseq2/pak0.bak: each now holds what the other held; --undo again exchanges "
                                     "them back\n");
        EXPECT_TRUE(same_bytes(read_file(path("baseq2/pak0.pak")), now));
        EXPECT_TRUE(same_bytes(read_file(path("baseq2/pak0.bak")), now == original ? expected : original));
    }
#ifndef _WIN32
    // Without root, other users' programs cannot be looked at for holding the archive; the dry run says so.
    if (reason_cannot_drop_privileges().empty()) {
        write_file(update(), update_pak);
        for (const std::string& p : {dir(), path("baseq2"), path("baseq2/pak0.pak"), update()})
            fs::permissions(p, fs::perms::all);
        const run_result unseen = run_tarnwick({"--dry-run", "baseq2/pak0.pak"}, dir(), kAsNobody);
        EXPECT_EQ(unseen.status, 0) << unseen.out;
        EXPECT_NE(unseen.out.find("\nSome programs could not be looked at: whether one of them has baseq2/pak0.pak "
                                  "open is not known\n"),
                  std::string::npos)
            << unseen.out;
    }
#endif
}

TEST_F(EndToEnd, HandMadeArchivesMergeAsModelled) {
    const std::string small = build_pak({{"a.txt", "alpha"}, {"sound/x.wav", random_bytes(300, 1)}});
    const std::string zero_length = build_pak({{"empty.txt", ""}, {"z", "z"}});
    const std::string odd_names = build_pak({{std::string("a.txt\0junk", 10), "old"},
                                             {"\xc9T\xc9.wav", "e1"}, {"@x", "at"}, {std::string(55, 'n'), "long"}});
    const std::string replaced_damaged = build_pak({{"keep", "k"}, {"bad", "b"}});
    // "e" is made to point past the members that stay in place, "b" into the blob of "a".
    const std::string empty_past = build_pak({{"a", "1"}, {"e", ""}, {"b", "22"}, {"c", "333"}});
    const std::string shared = build_pak({{"a", "hello"}, {"b", "world"}, {"c", "x"}});
    const struct {
        const char* label;
        std::string original, update;
        std::string preview = "";  // a line a dry run shows first
        std::string warnings = "";  // what the dry run says on standard error
    } cases[] = {
        {"empty update", small, build_pak({})},
        {"empty original", build_pak({}), small},
        {"zero-length members point anywhere",
         with_le32(zero_length, entry_pos(zero_length, 0) + 56, 0x7fff0000),
         with_le32(zero_length, entry_pos(zero_length, 0) + 56, 0x7fff0000)},
        {"duplicates", build_pak({{"dup.txt", "1"}, {"keep", "k1"}, {"DUP.TXT", "2"}, {"keep", "k2"}}),
         build_pak({{"Dup.txt", "n"}, {"x", "x1"}, {"x", "x2"}, {"X", "x3"}}), "  Dup.txt : 1 bytes, replaces dup.txt\n",
         "tarnwick: update.pak holds x more than once; the game loads only one of them\n"},
        {"only ASCII letters fold; bytes after the NUL are not part of a name", odd_names,
         build_pak({{std::string("A.TXT\0other", 11), "new"}, {"\xe9t\xe9.wav", "e2"}, {"`x", "tick"}})},
        {"replaced member is never read",
         with_le32(with_le32(replaced_damaged, entry_pos(replaced_damaged, 1) + 56, -100),
                   entry_pos(replaced_damaged, 1) + 60, 999999999),
         build_pak({{"BAD", "good"}})},
        {"dir_length remainders are ignored", with_le32(small, 8, 128 + 36),
         with_le32(small, 8, 128 + 63)},
        {"result shorter than the original", build_pak({{"a", "1"}, {"big", random_bytes(400000, 9)}, {"z", "2"}}),
         build_pak({{"BIG", "tiny"}})},
        {"kept empty member and update member both at offset 12", build_pak({{"empty", ""}, {"old", "o"}}),
         build_pak({{"OLD", "new"}})},
        {"an empty member points past the members in place", with_le32(empty_past, entry_pos(empty_past, 1) + 56, 9000),
         build_pak({{"C", "new"}})},
        {"a member in place and a moved one share a blob", with_le32(shared, entry_pos(shared, 1) + 56, 12),
         build_pak({{"C", "new"}})},
        {"chunk-sized members", build_pak({{"a", random_bytes(4095, 2)}, {"b", random_bytes(4096, 3)}}),
         build_pak({{"c", random_bytes(4097, 4)}, {"d", random_bytes(8192, 5)}, {"e", "1"}})},
        {"3072 + 1024 entries, the limit exactly", build_pak(numbered(3072, "m", "o")),
         build_pak(numbered(1024, "M", "u"))},
        // A directory length with a remainder: the same bytes would be an archive the empty update is applied to.
        {"4096 + 0 entries", with_le32(build_pak(numbered(4096, "m", "")), 8, 4096 * 64 + 36), build_pak({})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.preview.empty()) {
            write_file(target(), c.original);
            write_file(update(), c.update);
            const run_result dry = run_tarnwick({"--dry-run", "pak0.pak"}, dir(), errors_into(path("errors")));
            EXPECT_NE(dry.out.find(":\n" + c.preview), std::string::npos) << dry.out;
#ifndef _WIN32
            EXPECT_EQ(read_file(path("errors")), c.warnings);
#endif
            fs::remove(path("errors"));
        }
        expect_success(c.original, c.update, target(), backup());
    }
}

TEST_F(EndToEnd, RandomArchivesMatchTheModel) {
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const auto original_members = random_members(rng);
        const auto update_members = random_members(rng);
        expect_success(build_pak(original_members, &rng), build_pak(update_members, &rng), target(), backup());
    }
}

TEST_F(EndToEnd, SecondRunWithTheSameUpdateGivesTheSameMembers) {
    const std::string original = build_pak({{"a", "1"}, {"b", "22"}, {"c", "333"}});
    const std::string update_pak = build_pak({{"B", "new b"}, {"d", "dd"}});
    // An empty update rewrites the archive the first time, as any update does, and is then held by it.
    for (const std::string& applied : {build_pak({}), update_pak}) {
        SCOPED_TRACE(applied.size() == 12 ? "an empty update" : "an update");
        fs::remove(backup());
        expect_success(original, applied, target(), backup());
        // Applied again, it rewrites nothing and keeps the backup of the original,
        // even one that another archive's cut-short update would need.
        write_file(update(), applied);
        write_file(path("pak0.x"), "\x89TWr" + original.substr(4));
        const std::string first = read_file(target());
        EXPECT_EQ(without_unseen_note(run_tarnwick({"--dry-run", "pak0.pak"}, dir()).out),
                  kTitle + "Dry run of the update of pak0.pak: nothing was changed\npak0.pak already holds the update "
                           "in update.pak: a run would rewrite nothing and remove update.pak\n");
        const run_result again = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.out, kTitle + "pak0.pak already holds the update in update.pak: nothing was rewritten, no "
                                      "backup was made\n\n---------------------------------------\nThanks for using "
                                      "tarnwick!\n");
        EXPECT_TRUE(same_bytes(read_file(target()), first));
        EXPECT_EQ(read_file(backup()), original);
        EXPECT_FALSE(exists(update()));
        fs::remove(path("pak0.x"));
    }
    // The same members in other bytes, or a name in another case, are another update.
    const std::string first = read_file(target());
    for (const std::string& other : {build_pak({{"B", "new B"}, {"d", "dd"}}), build_pak({{"b", "new b"}, {"d", "dd"}})}) {
        expect_success(first, other, target(), backup());
        write_file(target(), first);
    }
}

TEST_F(EndToEnd, PathOfThreeHundredCharacters) {
    const std::string deep = path(std::string(100, 'd') + "/" + std::string(100, 'e'));
    fs::create_directories(deep);
    const std::string stem = deep + "/" + std::string(90, 'f');
    ASSERT_GE(stem.size(), 300u);
    expect_success(build_pak({{"a", "1"}}), build_pak({{"b", "2"}}), stem + ".pak", stem + ".bak");
}

TEST_F(EndToEnd, BackslashSeparatesFoldersOnlyOnWindows) {
    // On Windows the target lies in the folder games.x; elsewhere the backslash is part of its name.
#ifdef _WIN32
    fs::create_directory(path("games.x"));
    const std::string backup_path = path("games.x\\pak0.bak");
#else
    const std::string backup_path = path("games.bak");
#endif
    expect_success(build_pak({{"a", "1"}}), build_pak({{"b", "2"}}), path("games.x\\pak0"), backup_path);
}

// Windows passes arguments in the ANSI code page and opens nothing of 260
// characters or more unless the program asks otherwise. Paths are relative
// to the test directory, or else absolute; `linked` is made another name of
// the target first.
TEST_F(EndToEnd, PathsInEveryLanguageAndOfAnyLength) {
    const auto repeated = [](const std::string& text, int count) {
        std::string out;
        for (int i = 0; i < count; ++i) out += text;
        return out;
    };
    const std::string mixed = "Дмитрий ünï 测试", cjk = "測試", emoji = "карты 🎮";
    // 243 characters below the test folder; only the file goes past 260, as the clean-up on
    // Windows cannot list a longer folder.
    const std::string deep = mixed + "/" + repeated("Ж", 80) + "/" + repeated("ü", 80) + "/" + repeated("地", 60);
    // Named after the test folder, so that runs side by side never share it.
    const std::string in_root = "/" + fs::path(dir()).filename().string();
    const struct {
        const char* label;
        std::string target, backup, linked;
    } cases[] = {
        {"Cyrillic, accented Latin and CJK", mixed + "/pak0.pak", mixed + "/pak0.bak", ""},
        {"the backup's own name in CJK", cjk + "/地图.pak", cjk + "/地图.bak", ""},
        {"an emoji, two UTF-16 units", emoji + "/pak0.pak", emoji + "/pak0.bak", ""},
        {"over 260 characters", deep + ".pak", deep + ".bak", ""},
        {"the target a hard link in such a folder", cjk + "/链接.pak", cjk + "/链接.bak", mixed + "/pak0.pak"},
        {"the backup a hard link to the target", mixed + "/pak0.pak", mixed + "/pak0.bak", mixed + "/pak0.bak"},
        // Last, as it may skip: only root may write there, and the flush of the folder is seen by strace.
        {"an archive in the root folder", in_root + ".pak", in_root + ".bak", ""},
    };
    const std::string o = build_pak({{"a", "1"}, {"b", "old"}}), u = build_pak({{"B", "new"}, {"c", "3"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.target[0] == '/') {
            std::string reason = reason_cannot_trace();
#ifndef _WIN32
            if (reason.empty() && geteuid() != 0) reason = "needs root to put an archive in the root folder";
#endif
            if (!reason.empty()) GTEST_SKIP() << reason;
            // The backup's new name is on disk before the archive changes: its folder, "/", is flushed.
            expect_success(o, u, c.target, c.backup,
                           {"strace", kNoLeakCheck, "-f", "-qq", "-y", "-o", path("trace"), "-e",
                            "trace=rename,renameat,renameat2,fsync"});
            const std::string calls = read_file(path("trace"));
            std::istringstream lines(calls.substr(std::min(calls.size(), calls.find("\"" + c.backup + "\")"))));
            bool root_flushed = false;
            for (std::string line; std::getline(lines, line);)
                root_flushed = root_flushed || (line.find("fsync(") != std::string::npos &&
                                                line.find("</>)") != std::string::npos);
            EXPECT_TRUE(root_flushed) << calls;
            // A message about the folder names it "/".
            write_file(c.target, o);
            fs::remove(c.backup);
            write_file(update(), u);
            const run_result failed = run_tarnwick(
                {c.target}, dir(),
                {"strace", kNoLeakCheck, "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e", "inject=fsync:error=EIO",
                 "-P", "/"});
            EXPECT_EQ(failed.out, backing_up(c.target) + kBanner + "Error writing /: " + std::strerror(EIO) + "\n");
            EXPECT_TRUE(same_bytes(read_file(c.target), o));
            for (const std::string& file : {c.target, c.backup, c.backup + ".tarnwick-new"}) fs::remove(file);
            continue;
        }
        const std::string target_path = path(c.target), backup_path = path(c.backup);
        fs::create_directories(fs::u8path(target_path).parent_path());
        if (c.linked.empty()) {
            expect_success(o, u, target_path, backup_path);
            continue;
        }
        write_file(target_path, o);
        fs::remove(fs::u8path(path(c.linked)));
        fs::create_hard_link(fs::u8path(target_path), fs::u8path(path(c.linked)));
        if (c.linked != c.backup) {
            expect_success(o, u, target_path, backup_path);
            EXPECT_TRUE(same_bytes(read_file(path(c.linked)), read_file(target_path)));
            continue;
        }
        write_file(update(), u);
        const run_result run = run_tarnwick({target_path}, dir());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, backing_up(target_path) + kBanner + "Cannot back up " + target_path + ": its backup " +
                               backup_path + " is the same file\n");
        EXPECT_TRUE(same_bytes(read_file(target_path), o));
        EXPECT_TRUE(same_bytes(read_file(update()), u));
    }
}

TEST_F(EndToEnd, DamagedInputLeavesEveryFileAsItWas) {
    const std::string o = build_pak({{"a.txt", "alpha"}, {"maps/m1.bsp", random_bytes(5000, 7)}});
    const std::string u = build_pak({{"MAPS/M1.BSP", random_bytes(3000, 8)}, {"new.wav", "RIFF"}});
    const std::size_t o0 = entry_pos(o, 0), u0 = entry_pos(u, 0), u1 = entry_pos(u, 1);
    // The archive with the name of its member `index` filling all 56 bytes.
    const auto unterminated = [](std::string pak, int index) {
        return pak.replace(static_cast<std::size_t>(entry_pos(pak, index)), 56, std::string(56, 'w'));
    };
    const std::string three = build_pak({{"x", "1"}, {"y", "2"}, {"z", "3"}});
    // 1024 members that all read the same 2 MiB; the last one `last_length` bytes of it.
    const auto huge_update = [](std::int32_t last_length) {
        std::string pak = raw_header("PACK", 12 + (1 << 21), 64 * 1024) + std::string(1 << 21, 'x');
        for (int i = 0; i < 1024; ++i) pak += raw_entry("big" + std::to_string(i), 12, i < 1023 ? 1 << 21 : last_length);
        return pak;
    };
    const std::string too_big = huge_update(1 << 21);
    // 12 + 1023 x 2 MiB + 2,000,000 bytes of data end below 2^31 - 1; the 256 KiB directory does not.
    const std::string fits_without_directory = huge_update(2000000);
    // Members that all read one 4 MiB blob and give the result exactly `result` bytes beside the 5005 bytes
    // kept from the original, then an empty member at a negative offset, which is refused after them.
    const auto update_for_result = [](std::int64_t result) {
        const std::int64_t blob = 1 << 22, data = result - 12 - 5005 - 262144;
        const auto full = static_cast<int>(data / blob), count = full + 2;
        std::string pak = raw_header("PACK", 12 + (1 << 22), 64 * count) + std::string(1 << 22, 'x');
        for (int i = 0; i < full; ++i) pak += raw_entry("big" + std::to_string(i), 12, 1 << 22);
        pak += raw_entry("rest", 12, static_cast<std::int32_t>(data % blob));
        return pak + raw_entry("bad", -1, 0);
    };
    const struct {
        const char* label;
        std::string original;
        std::optional<std::string> update;
        std::string message;  // the whole message, or else...
        std::string mention;  // ...a part of the tool's own message
        std::string errors = "";  // where given, standard error; {target} stands for the archive's path
    } cases[] = {
        {"short original header", std::string("PACK\0", 5), u, "File read failure", "",
         "tarnwick: {target} is 5 bytes, shorter than its 12-byte header\n"},
        {"short update header", o, std::string("PAC"), "File read failure", "",
         "tarnwick: update.pak is 3 bytes, shorter than its 12-byte header\n"},
        {"original directory past end", o.substr(0, o.size() - 10), u, "File read failure", "",
         "tarnwick: {target} is " + std::to_string(o.size() - 10) + " bytes, but its directory ends at byte " +
             std::to_string(o.size()) + "\n"},
        {"update directory past end", o, u.substr(0, u.size() - 64), "File read failure", "",
         "tarnwick: update.pak is " + std::to_string(u.size() - 64) + " bytes, but its directory ends at byte " +
             std::to_string(u.size()) + "\n"},
        {"kept member past end", with_le32(o, o0 + 60, 1000000), u, "File read failure", "",
         "tarnwick: {target} is " + std::to_string(o.size()) + " bytes, but member 1 (a.txt) ends at byte 1000012\n"},
        {"update member past end", o, with_le32(u, u1 + 56, 5000000), "File read failure", "",
         "tarnwick: update.pak is " + std::to_string(u.size()) + " bytes, but member 2 (new.wav) ends at byte 5000004\n"},
        {"missing update.pak, as in a second run of one command", o, std::nullopt,
         "Error opening update.pak: No such file or directory", ""},
        {"empty update.pak", o, std::string(), "File read failure", "",
         "tarnwick: update.pak is 0 bytes, shorter than its 12-byte header\n"},
        {"zeros as update.pak", o, std::string(4096, '\0'), "Damaged archive update.pak: it is not a pak file", ""},
        {"a zip saved as update.pak", o, "PK\x03\x04\x14\x00\x00\x00\x08\x00\x8b\xa7" + std::string(300, 'z'),
         "Damaged archive update.pak: it is not a pak file", ""},
        {"update.pak with negative dir_length", o, with_le32(u, 8, -64),
         "Damaged archive update.pak: the directory has negative length -64", ""},
        {"a program as the target", "MZ\x90\x00" + o.substr(4), u, "", "/pak0.pak: it is not a pak file"},
        {"a header neither an archive's nor a mark's, nor torn between them", "\x89TXK" + o.substr(4), u, "",
         "/pak0.pak: it is not a pak file"},
        {"4097 entries though most are replaced", build_pak(numbered(3073, "m", "o")),
         build_pak(numbered(1024, "M", "u")), kTooLarge, ""},
        {"original over 4096 entries", build_pak(numbered(4097, "m", "")), build_pak({}), "", "/pak0.pak lists"},
        {"update over 1024 entries", build_pak({}), build_pak(numbered(1025, "m", "")), "", "update.pak"},
        {"update name without NUL", o, unterminated(u, 1),
         "Damaged archive update.pak: the name of member 2 is not terminated within its 56 bytes", ""},
        {"the original's first name without NUL", unterminated(o, 0), u,
         "Damaged archive " + target() + ": the name of member 1 is not terminated within its 56 bytes", ""},
        {"the third name of three without NUL", o, unterminated(three, 2),
         "Damaged archive update.pak: the name of member 3 is not terminated within its 56 bytes", ""},
        {"original negative dir_offset", with_le32(o, 4, -64), u, "", "/pak0.pak: "},
        {"update directory offset overflows", o, with_le32(u, 4, INT32_MAX - 10), "", "update.pak"},
        {"kept member negative file_offset", with_le32(o, o0 + 56, -4), u, "", "/pak0.pak: "},
        {"update member negative file_length", o, with_le32(u, u0 + 60, -1), "", "update.pak"},
        {"update member end beyond 2^31-1", o, with_le32(u, u1 + 56, INT32_MAX - 2), "", "update.pak"},
        {"result of 2^31 bytes or more", o, too_big, "", "/pak0.pak "},
        {"result reaches 2^31 only with its directory", o, fits_without_directory, "", "/pak0.pak "},
        {"update member ends exactly at 2^31-1", o, with_le32(with_le32(u, u1 + 56, INT32_MAX - 4), u1 + 60, 4),
         "File read failure", "",
         "tarnwick: update.pak is " + std::to_string(u.size()) + " bytes, but member 2 (new.wav) ends at byte 2147483647\n"},
        {"update directory at exactly 2^31-1", o, with_le32(with_le32(u, 4, INT32_MAX), 8, 64), "File read failure", "",
         "tarnwick: update.pak is " + std::to_string(u.size()) + " bytes, but its directory ends at byte 2147483711\n"},
        {"result of exactly 2^31-1 bytes passes the size check", o, update_for_result(INT32_MAX), "",
         "update.pak: member 513 (bad) starts at negative offset -1"},
        {"result of exactly 2^31 bytes", o, update_for_result(std::int64_t{INT32_MAX} + 1), "",
         "/pak0.pak would be 2147483648 bytes or more"},
        {"the first member is member 1", o, with_le32(u, u0 + 56, -4), "",
         "update.pak: member 1 (MAPS/M1.BSP) starts at negative offset -4"},
    };
    const std::string earlier_backup = build_pak({{"earlier", "the backup of an earlier run"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(target(), c.original);
        write_file(backup(), earlier_backup);
        if (c.update) {
            write_file(update(), *c.update);
        } else {
            fs::remove(update());
        }
        fs::remove(path("errors"));
        const auto before = snapshot(dir());
        std::vector<std::string> wrapper = kFileSizeCap;
#ifndef _WIN32
        wrapper[2] += " 2>errors";
#endif
        const run_result run = run_tarnwick({target()}, dir(), wrapper);
        std::map<std::string, std::string> after = snapshot(dir());
#ifndef _WIN32
        if (!c.errors.empty()) {
            std::string expected = c.errors;
            const std::size_t at = expected.find("{target}");
            if (at != std::string::npos) expected.replace(at, 8, target());
            EXPECT_EQ(after[path("errors")], expected);
        }
#endif
        after.erase(path("errors"));
        EXPECT_EQ(run.status, 1);
        const std::string before_message = backing_up(target()) + kBanner;
        if (!c.message.empty()) {
            EXPECT_EQ(run.out, before_message + c.message + "\n");
        } else {
            EXPECT_EQ(run.out.substr(0, before_message.size()), before_message) << run.out;
            EXPECT_NE(run.out.find(c.mention, before_message.size()), std::string::npos) << run.out;
            EXPECT_EQ(run.out.back(), '\n');
        }
        EXPECT_TRUE(after == before) << "a refused run changed a file";
        if (c.update) {
            EXPECT_FALSE(model_merge(c.original, *c.update)) << "the model accepts the pair";
        }
    }
}

TEST_F(EndToEnd, RefusalsWriteNothing) {
    const std::string usage =
        "Usage: tarnwick [file]\n\nOptions:\n\n"
        "   file - absolute path and name of pak file to update\n"
        "          e.g.: Windows: c:/quake2/baseq2/pak0.pak\n"
        "                Linux:   /quake2/baseq2/pak0.pak\n";
    // The text itself is compared with its copies in README.md and the man
    // page (scripts/help-text); here it must answer wherever --help stands.
    const std::string help = run_tarnwick({"--help"}, dir()).out.substr(kTitle.size());
    EXPECT_EQ(help.substr(0, usage.size() + 1), usage + "\n");
    // The dry run of each case's own pak0.pak and update.pak.
    const std::string dry_run = kTitle +
                                "Dry run of the update of pak0.pak: nothing was changed\n"
                                "A run would back up pak0.pak to pak0.bak, then rewrite it:\n"
                                "  /update.pak : 1 bytes, adds\n"
                                "  kept: 1 of 1 members\n"
                                "  size: 77 bytes now, 262158 bytes after; the directory always holds 4,096 entries\n"
                                "  rewritten: 262145 bytes, from offset 13\n";
    expect_refusals({
        {"no argument", {}, 0, "", "", kTitle + usage, ""},
        {"--help", {"--help"}, 0, "", "", kTitle + help, "", 0},
        {"--help after the archive", {"pak0.pak", "--help"}, 0, "", "", kTitle + help, "", 0},
        {"--dry-run and --undo together", {"--dry-run", "pak0.pak", "--undo"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: --dry-run and --undo cannot be given together\n"},
        {"--dry-run of two archives", {"--dry-run", "pak0.pak", "own.bak"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: --dry-run takes one archive; 2 given\n"},
        {"--undo of no archive", {"--undo"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: --undo takes one archive; 0 given\n"},
        {"no update.pak in the current folder", {"pak0.pak"}, 'n', "update.pak", "",
         backing_up("pak0.pak") + kBanner + "Error opening update.pak: " + std::strerror(ENOENT) + "\n", "", 1,
         "tarnwick: update.pak is read from the current folder, {folder}\n"},
        {"--version, the first option of two", {"pak0.pak", "--version", "--help"}, 0, "", "", "tarnwick " TARNWICK_VERSION "\n", "", 0},
        {"--help, the first option of two", {"--help", "--version"}, 0, "", "", kTitle + help, "", 0},
        {"no short or other spelling of an option", {"-h", "--HELP", "-V"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: unknown option -h; to name a file that begins with '-', write ./-h\n"},
        {"a misspelt option after the archive", {"pak0.pak", "--dryrun"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: unknown option --dryrun; to name a file that begins with '-', write ./--dryrun\n"},
        {"a misspelt option before the archive", {"--dryrun", "pak0.pak"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: unknown option --dryrun; to name a file that begins with '-', write ./--dryrun\n"},
        {"an archive that begins with '-'", {"-pak0.pak"}, 0, "", "", kTitle + usage, "", 1,
         "tarnwick: unknown option -pak0.pak; to name a file that begins with '-', write ./-pak0.pak\n"},
        {"an archive that begins with '-', named as the hint says", {"./-pak0.pak"}, 0, "", "", "", ""},
        {"a lone '-' after the archive", {"none.pak", "-"}, 0, "", "", "", "", 1,
         "tarnwick: 1 further argument ignored; one archive is updated per run\n"},
        {"one further argument", {"none.pak", "pak0.pak"}, 0, "", "", "", "", 1,
         "tarnwick: 1 further argument ignored; one archive is updated per run\n"},
        {"missing target", {"none.pak"}, 0, "", "", "", ""},
        {"empty argument", {""}, 0, "", "", "", ""},
        {"target is update.pak", {"update.pak"}, 0, "", "", 
         backing_up("update.pak") + kBanner + "Cannot update update.pak: it is the same file as update.pak\n", ""},
        {"target is ./update.pak", {"./update.pak"}, 0, "", "", "", "update.pak"},
#ifdef _WIN32
        {"target is .\\UPDATE.PAK, one file to Windows", {".\\UPDATE.PAK"}, 0, "", "", "", "update.pak"},
        {"target is its own backup in capitals, one file to Windows", {"OWN.BAK"}, 0, "", "", "", "OWN.BAK"},
        {"target is the NUL device", {"NUL"}, 0, "", "", "", "NUL: not a regular file"},
        {"the backup is another archive's original, which its cut-short update needs, in a folder named with a "
         "backslash", {"sub\\pak0.pak"}, 'm', "sub/pak0.x", "sub/pak0.bak",
         backing_up("sub\\pak0.pak") + kBanner +
             "Cannot update sub\\pak0.pak: the interrupted update of sub\\pak0.x still needs its original in "
             "sub\\pak0.bak; finish it first by running tarnwick on sub\\pak0.x\n",
         ""},
#endif
        {"target is a hard link to update.pak", {"hard.pak"}, 'h', "hard.pak", "update.pak", "", "update.pak"},
        {"target is its own backup", {"own.bak"}, 0, "", "", "", "own.bak"},
        {"backup is a hard link to the target", {"pak0.pak"}, 'h', "pak0.bak", "pak0.pak", "", "pak0."},
        {"target of 2^31 bytes", {"big.pak"}, 'b', "big.pak", "",
         backing_up("big.pak") + kBanner +
             "File big.pak is too large: 2147483648 bytes, more than the 2147483647 a pak file can address\n",
         ""},
        // Not too large, but the record would end past what an archive can address.
        {"target of 2^31 - 1 bytes", {"big.pak"}, 'b', "big.pak", "2147483647",
         backing_up("big.pak") + kBanner +
             "Cannot update big.pak: the rewrite would end within 56 bytes of the largest size a pak file can have, "
             "which leaves no room for the record that lets an interrupted update be finished\n",
         ""},
        {"update.pak of 2^31 bytes", {"pak0.pak"}, 'b', "update.pak", "",
         backing_up("pak0.pak") + kBanner +
             "File update.pak is too large: 2147483648 bytes, more than the 2147483647 a pak file can address\n",
         ""},
        {"target is a directory", {"dir.pak"}, 'd', "dir.pak", "", "", "dir.pak"},
        {"update.pak is a directory", {"pak0.pak"}, 'd', "update.pak", "",
         backing_up("pak0.pak") + kBanner + "Error opening update.pak: Is a directory\n", ""},
        {"the backup is another archive's original, which its cut-short update needs", {"own.x"}, 'm', "own.pak",
         "own.x",
         backing_up("own.x") + kBanner +
             "Cannot update own.x: the interrupted update of own.pak still needs its original in own.bak; finish it "
             "first by running tarnwick on own.pak\n",
         ""},
        {"the backup, in another folder, is another archive's original, which its cut-short update needs",
         {"sub/own.x"}, 'm', "sub/own.pak", "sub/own.x",
         backing_up("sub/own.x") + kBanner +
             "Cannot update sub/own.x: the interrupted update of sub/own.pak still needs its original in sub/own.bak; "
             "finish it first by running tarnwick on sub/own.pak\n",
         ""},
        {"the backup is the original of another archive's rewrite, complete but for its magic", {"own.x"}, 'c',
         "own.pak", "own.x",
         backing_up("own.x") + kBanner +
             "Cannot update own.x: the interrupted update of own.pak still needs its original in own.bak; finish it "
             "first by running tarnwick on own.pak\n",
         ""},
        {"backup is a directory", {"pak0.pak"}, 'd', "pak0.bak", "",
         backing_up("pak0.pak") + kBanner + "Error opening pak0.bak: Is a directory\n", ""},
        {"a folder at the backup's temporary name", {"pak0.pak"}, 'd', "pak0.bak.tarnwick-new", "",
         backing_up("pak0.pak") + kBanner + "Error opening pak0.bak.tarnwick-new: Is a directory\n", ""},
        // A game holds its pak files open for as long as it runs.
        {"the target held open by another program", {"pak0.pak"}, 0, "", "",
         backing_up("pak0.pak") + kBanner + held_refusal("Cannot update pak0.pak: "), "", 1, "", "pak0.pak"},
        {"a marked target held open by another program", {"pak0.pak"}, 'm', "pak0.pak", "other.pak",
         kTitle + kBanner + held_refusal("Cannot finish the interrupted update of pak0.pak: "), "", 1, "", "pak0.pak"},
        {"only update.pak held open by another program", {"--dry-run", "pak0.pak"}, 0, "", "", dry_run, "", 0, "",
         "update.pak"},
        {"the target held open by a program that has ended", {"--dry-run", "pak0.pak"}, 0, "", "", dry_run, "", 0, "",
         "pak0.pak", true},
#ifndef _WIN32
        // Opening a named pipe would wait for a writer forever.
        {"target is a named pipe", {"pipe.pak"}, 'p', "pipe.pak", "", "", "pipe.pak: not a regular file"},
        {"target is a socket", {"socket.pak"}, 'k', "socket.pak", "", "", "socket.pak: not a regular file"},
        {"target is a device", {"/dev/null"}, 0, "", "", "", "/dev/null: not a regular file"},
#endif
    });
    EXPECT_FALSE(exists("/dev/null.bak"));
}

TEST_F(EndToEnd, RefusalsThroughSymlinksWriteNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows, and wine has none";
#endif
    const std::string same_as_update = backing_up("pak0.pak") + kBanner +
                                       "Cannot back up pak0.pak: its backup pak0.bak is the same file as update.pak\n";
    expect_refusals({
        {"target is a symlink to update.pak", {"link.pak"}, 's', "link.pak", "update.pak",
         backing_up("link.pak") + kBanner + "Cannot update link.pak: it is the same file as update.pak\n", ""},
        {"backup is a symlink to the target", {"pak0.pak"}, 's', "pak0.bak", "pak0.pak",
         backing_up("pak0.pak") + kBanner + "Cannot back up pak0.pak: its backup pak0.bak is the same file\n", ""},
        {"backup in a folder links to the target beside it", {"sub/pak0.pak"}, 's', "sub/pak0.bak", "pak0.pak",
         backing_up("sub/pak0.pak") + kBanner + "Cannot back up sub/pak0.pak: its backup sub/pak0.bak is the same file\n",
         ""},
        {"backup would overwrite update.pak", {"pak0.pak"}, 's', "pak0.bak", "update.pak", same_as_update, ""},
        {"backup would create update.pak", {"pak0.pak"}, 'u', "pak0.bak", "update.pak", same_as_update, ""},
        {"backup in a folder would create update.pak a folder up", {"sub/pak0.pak"}, 'u', "sub/pak0.bak",
         "../update.pak",
         backing_up("sub/pak0.pak") + kBanner +
             "Cannot back up sub/pak0.pak: its backup sub/pak0.bak is the same file as update.pak\n",
         ""},
        {"backup would create ./update.pak", {"pak0.pak"}, 'u', "pak0.bak", "./update.pak", "", "update.pak"},
        {"backup is a device", {"pak0.pak"}, 's', "pak0.bak", "/dev/zero", "", "pak0.bak: not a regular file"},
        {"update.pak leads to the backup to be", {"pak0.pak"}, 'u', "update.pak", "pak0.bak", same_as_update, ""},
        // A marked target is never backed up, so the run never says so.
        {"update.pak leads to the backup a cut-short rewrite is finished from", {"pak0.pak"}, 'r', "update.pak",
         "pak0.bak", kTitle + same_as_update.substr(backing_up("pak0.pak").size()), "", 1,
         "tarnwick: pak0.pak is half-written and not playable; the original is in pak0.bak; running the same command "
         "again, once the cause is fixed, finishes the update\n"},
    });
    // The archive and update.pak are reached through links; a backup name
    // that links to another archive is replaced, not followed.
    const std::string o = build_pak({{"a", "1"}}), other = build_pak({{"other", "archive"}});
    const struct {
        const char* label;
        const char *link, *to;  // in a fresh folder `real` beside a file real/other.pak
        const char *target, *backup;
    } cases[] = {
        {"the archive a link", "link.pak", "real/pak0.pak", "link.pak", "link.bak"},
        {"update.pak a link", "update.pak", "real/u.pak", "pak0.pak", "pak0.bak"},
        {"the earlier backup a link to another archive", "pak0.bak", "real/other.pak", "pak0.pak", "pak0.bak"},
        {"the earlier backup a link to nothing", "pak0.bak", "real/gone.pak", "pak0.pak", "pak0.bak"},
        {"the earlier backup a link to nothing beside it", "pak0.bak", "gone.bak", "pak0.pak", "pak0.bak"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const auto& entry : fs::directory_iterator(dir())) fs::remove_all(entry.path());
        fs::create_directory(path("real"));
        write_file(path("real/other.pak"), other);
        fs::create_symlink(c.to, path(c.link));
        expect_success(o, build_pak({{"b", "2"}}), path(c.target), path(c.backup));
        // Rewritten in place: the file behind the link is the archive.
        if (exists(path("real/pak0.pak"))) {
            EXPECT_EQ(read_file(path("real/pak0.pak")), read_file(path(c.target)));
        }
        EXPECT_EQ(read_file(path("real/other.pak")), other);
    }
}

TEST_F(EndToEnd, ReadOnlyFolderIsNamed) {
#ifdef _WIN32
    GTEST_SKIP() << "a read-only folder on Windows still takes new files, and setpriv is POSIX-only";
#else
    const std::string reason = reason_cannot_drop_privileges();
    if (!reason.empty()) GTEST_SKIP() << reason;
    const std::string o = build_pak({{"a", "1"}}), u = build_pak({{"b", "2"}}), denied = std::strerror(EACCES);
    const std::string not_permitted = std::strerror(EPERM);
    const std::string updated = model_merge(o, u)->archive;
    const struct {
        const char* label;
        std::vector<std::string> args;      // the last one stands for ro/pak0.pak
        std::optional<std::string> backup;  // ro/pak0.bak, if any
        std::string message, errors;        // {ro} stands for the folder
        bool run_in_ro;                     // and name the archive pak0.pak; else run beside update.pak
        bool read_only_mount = false;       // the new backup refused as a read-only mount does, by strace
        bool leftover = false;              // a killed run's ro/pak0.bak.tarnwick-new
        // The folder, with the archives in it, stays root's, sticky and open to all: new names may be made
        // in it, but the archives' names may not change.
        bool sticky = false;
        bool half_written = false;  // ro/pak0.pak as a run stopped right after its mark leaves it
        mode_t mode = 0555;                 // the folder's
        std::vector<std::string> inject = {};  // strace's -e options and -P for a run as nobody
        bool marked_sibling = false;        // ro/pak0, whose backup is ro/pak0.bak too, cut short
        bool backup_made = false;           // ro/pak0.bak, the original, is made before the failure
    } cases[] = {
        {"the backup cannot be made", {"{archive}"}, std::nullopt, "Error opening {ro}/pak0.bak: " + denied,
         "tarnwick: {ro}/pak0.bak cannot be made: its folder {ro} refuses new files\n", false},
        {"the backup cannot be made on a read-only mount", {"{archive}"}, std::nullopt,
         "Error opening {ro}/pak0.bak: " + std::string(std::strerror(EROFS)),
         "tarnwick: {ro}/pak0.bak cannot be made: its folder {ro} refuses new files\n", false, true},
        {"a killed run's temporary backup cannot be removed", {"{archive}"}, std::nullopt,
         "Cannot update {ro}/pak0.pak: {ro}/pak0.bak.tarnwick-new, left by an earlier run, cannot be removed: " +
             denied,
         "", false, false, true},
        {"an undo cannot claim the backup's temporary name, run in its folder", {"--undo", "{archive}"}, o,
         "Error opening pak0.bak.tarnwick-new: " + denied,
         "tarnwick: pak0.bak.tarnwick-new cannot be made: its folder {ro} refuses new files\n", true},
        {"an undo cannot exchange the names, run in their folder", {"--undo", "{archive}"}, o,
         "Cannot undo the update of pak0.pak: exchanging pak0.pak and pak0.bak failed: its folder {ro} refuses the "
         "change (" + not_permitted + "); pak0.pak and pak0.bak are as they were before the undo", "", true, false,
         false, true},
        {"an undo cannot put the original back in place of a half-written archive", {"--undo", "{archive}"}, o,
         "Cannot undo the update of pak0.pak: renaming pak0.bak over it failed: its folder {ro} refuses the change (" +
             not_permitted + "); nothing was changed", "", true, false, false, true, true},
        // A folder that can be written but not read cannot be opened for its flush: the volume's covers it.
        {"a first run in a folder that can be written but not listed", {"{archive}"}, std::nullopt, "", "", false,
         false, false, false, false, 0333},
        {"a first run there, whose flush of the volume fails", {"{archive}"}, std::nullopt,
         "Error writing {ro}: " + std::string(std::strerror(EIO)), "", false, false, false, false, false, 0333,
         {"trace=syncfs", "-e", "inject=syncfs:error=EIO"}, false, true},
        {"a folder that can be written but not listed, beside a marked archive sharing the backup", {"{archive}"}, o,
         "Cannot update {ro}/pak0.pak: cannot tell whether another archive still needs its original in "
         "{ro}/pak0.bak: listing the folder {ro} failed: " + denied,
         "", false, false, false, false, false, 0333, {}, true},
        {"the folder's listing failing, beside a marked archive sharing the backup", {"{archive}"}, o,
         "Cannot update {ro}/pak0.pak: cannot tell whether another archive still needs its original in "
         "{ro}/pak0.bak: listing the folder {ro} failed: " + std::string(std::strerror(EIO)),
         "", false, false, false, false, false, 0755, {"trace=getdents64", "-e", "inject=getdents64:error=EIO"}, true},
        {"the open of a marked archive sharing the backup failing", {"{archive}"}, o,
         "Cannot update {ro}/pak0.pak: cannot tell whether {ro}/pak0 still needs its original in {ro}/pak0.bak: "
         "opening it failed: " + std::string(std::strerror(EIO)),
         "", false, false, false, false, false, 0755, {"trace=openat", "-e", "inject=openat:error=EIO", "-P", "{ro}/pak0"}, true},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string ro = path("ro" + std::to_string(index)), work = path("work" + std::to_string(index++));
        const auto filled = [&ro](std::string text) {
            for (std::size_t at; (at = text.find("{ro}")) != std::string::npos;) text.replace(at, 4, ro);
            return text;
        };
        mkdir(ro.c_str(), 0755);
        mkdir(work.c_str(), 0755);
        // An undo undoes the update; a run updates the original again over an earlier backup.
        write_file(ro + "/pak0.pak", c.half_written ? "\x89TWr" + o.substr(4) : c.args.size() > 1 ? updated : o);
        if (c.backup) write_file(ro + "/pak0.bak", *c.backup);
        if (c.leftover) write_file(ro + "/pak0.bak.tarnwick-new", o.substr(0, 20));
        if (c.marked_sibling) write_file(ro + "/pak0", "\x89TWr" + updated.substr(4, 100));
        write_file(work + "/update.pak", u);
        for (const std::string& p : {ro, ro + "/pak0.pak", ro + "/pak0.bak", ro + "/pak0.bak.tarnwick-new", work,
                                     work + "/update.pak"}) {
            if (exists(p) && c.sticky && p.rfind(ro, 0) == 0) {
                chmod(p.c_str(), p == ro ? 01777 : 0666);
            } else if (exists(p)) {
                ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0) << p;
            }
        }
        if (!c.sticky) chmod(ro.c_str(), c.mode);
        const auto before = snapshot(ro);
        std::vector<std::string> args = c.args;
        args.back() = c.run_in_ro ? "pak0.pak" : ro + "/pak0.pak";
        std::vector<std::string> wrapper = errors_into(path("errors"));
        if (c.read_only_mount) {
            if (!reason_cannot_trace().empty()) continue;
            wrapper.insert(wrapper.end(), {"strace", kNoLeakCheck, "-qq", "-o", "/dev/null", "-e", "trace=openat", "-e",
                                           "inject=openat:error=EROFS", "-P", ro + "/pak0.bak.tarnwick-new"});
        } else if (!c.inject.empty()) {
            if (!reason_cannot_trace().empty()) continue;
            wrapper.insert(wrapper.end(), {"strace", kNoLeakCheck, "-f", "-qq", "-o", "/dev/null", "-e"});
            for (const std::string& option : c.inject) wrapper.push_back(filled(option));
            wrapper.insert(wrapper.end(), kAsNobody.begin(), kAsNobody.end());
        } else {
            wrapper.insert(wrapper.end(), kAsNobody.begin(), kAsNobody.end());
        }

        const run_result run = run_tarnwick(args, c.run_in_ro ? ro : work, wrapper);
        if (c.message.empty()) {
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_EQ(read_file(ro + "/pak0.pak"), updated);
            EXPECT_EQ(read_file(ro + "/pak0.bak"), o);
            EXPECT_FALSE(exists(work + "/update.pak"));
            continue;
        }
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out.substr(run.out.find(kBanner)), kBanner + filled(c.message) + "\n");
        EXPECT_EQ(read_file(path("errors")), filled(c.errors));
        auto after = snapshot(ro);
        if (c.backup_made) {
            EXPECT_EQ(read_file(ro + "/pak0.bak"), o);
            after.erase(ro + "/pak0.bak");
        }
        EXPECT_EQ(after, before);
        EXPECT_EQ(read_file(work + "/update.pak"), u);
        // A dry run claims the backup's temporary name as the run does, and is refused alike, a
        // killed run's leftover that cannot be removed included.
        if (c.args.size() == 1 && !c.backup_made) {
            const run_result dry = run_tarnwick({"--dry-run", args.back()}, c.run_in_ro ? ro : work, wrapper);
            EXPECT_EQ(dry.status, 1);
            EXPECT_EQ(dry.out, run.out);
            EXPECT_EQ(snapshot(ro), before);
        }
    }
#endif
}

TEST_F(EndToEnd, UndeletableUpdateIsReportedAfterTheUpdate) {
    const std::string rw = path("rw"), o = build_pak({{"a", "1"}, {"b", "old"}}), u = build_pak({{"B", "new"}});
    fs::create_directory(rw);
    write_file(rw + "/pak0.pak", o);
    write_file(update(), u);
#ifdef _WIN32
    // Windows refuses to delete a read-only file, whoever asks.
    fs::permissions(update(), fs::perms::all, fs::perm_options::remove);
    const std::vector<std::string> wrapper;
#else
    const std::string reason = reason_cannot_drop_privileges();
    if (!reason.empty()) GTEST_SKIP() << reason;
    for (const std::string& p : {rw, rw + "/pak0.pak"}) ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
    std::vector<std::string> wrapper = errors_into(path("errors"));
    wrapper.insert(wrapper.end(), kAsNobody.begin(), kAsNobody.end());
#endif

    const run_result run = run_tarnwick({rw + "/pak0.pak"}, dir(), wrapper);
#ifndef _WIN32
    // Why, on standard error; and nothing about a half-written archive, which it is not.
    EXPECT_EQ(read_file(path("errors")), "tarnwick: cannot remove update.pak: " + std::string(std::strerror(EACCES)) + "\n");
#endif
    const auto expected = model_merge(o, u);
    ASSERT_TRUE(expected);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, success_stdout(rw + "/pak0.pak", rw + "/pak0.bak", expected->member_lines) + kBanner +
                           "Failed to remove update.pak! Remove by hand.\n\n");
    EXPECT_TRUE(same_bytes(read_file(rw + "/pak0.pak"), expected->archive));
    EXPECT_EQ(read_file(rw + "/pak0.bak"), o);
    EXPECT_EQ(read_file(update()), u);

    // Run again, the update is found applied: nothing is rewritten, and the backup stays the original's.
    const run_result rerun = run_tarnwick({rw + "/pak0.pak"}, dir(), wrapper);
    EXPECT_EQ(rerun.status, 1);
    EXPECT_EQ(rerun.out, kTitle + rw + "/pak0.pak already holds the update in update.pak: nothing was rewritten, no "
                                       "backup was made\n\n---------------------------------------\n"
                                       "Thanks for using tarnwick!\n" +
                             kBanner + "Failed to remove update.pak! Remove by hand.\n\n");
    EXPECT_TRUE(same_bytes(read_file(rw + "/pak0.pak"), expected->archive));
    EXPECT_EQ(read_file(rw + "/pak0.bak"), o);
}

TEST_F(EndToEnd, FullDiskIsAWriteFailureNotASuccess) {
    const std::string reason = prepare_small_disk();
    if (!reason.empty()) GTEST_SKIP() << reason;
    const struct {
        const char* label;
        const char* disk_size;
        std::size_t original_size, update_size;
        std::string expected_start;
        const char* failing_file;  // the other of pak0.pak and pak0.bak must hold the original
        const char* intact_file;
    } cases[] = {
        {"backup does not fit", "200k", 120000, 1, backing_up("pak0.pak") + kBanner, "pak0.bak", "pak0.pak"},
        // The inputs and the backup fit; the result with its 256 KiB directory does not.
        {"result does not fit", "300k", 40000, 10000, backing_up("pak0.pak") + "Updating pak0.pak...\n", "pak0.pak",
         "pak0.bak"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string o = build_pak({{"a", random_bytes(c.original_size, 10)}});
        const std::string u = build_pak({{"b", random_bytes(c.update_size, 11)}});
        write_file(path("in/pak0.pak"), o);
        write_file(path("in/update.pak"), u);
        const run_result run = run_on_small_disk(c.disk_size);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out.rfind(c.expected_start, 0), 0u) << run.out;
        EXPECT_NE(run.out.find(kBanner), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.failing_file + std::string(": ") + std::strerror(ENOSPC)), std::string::npos)
            << run.out;
        EXPECT_EQ(run.out.find("completed"), std::string::npos) << run.out;
        EXPECT_EQ(read_file(path("out/") + c.intact_file), o);
        EXPECT_EQ(read_file(path("out/update.pak")), u);
        EXPECT_FALSE(exists(path("out/pak0.bak.tarnwick-new"))) << "a failed backup left its temporary file";
    }
    // The user frees space and runs the same command again: the half-written
    // target is finished from the backup, never copied over it.
    const std::string o = read_file(path("out/pak0.bak")), u = read_file(path("out/update.pak"));
    for (const char* name : {"pak0.pak", "pak0.bak", "update.pak"}) fs::copy_file(path("out/") + name, path("in/") + name, fs::copy_options::overwrite_existing);
    const run_result rerun = run_on_small_disk("2m");
    EXPECT_EQ(rerun.status, 0) << rerun.out;
    EXPECT_TRUE(same_bytes(read_file(path("out/pak0.pak")), model_merge(o, u)->archive));
    EXPECT_EQ(read_file(path("out/pak0.bak")), o);
    EXPECT_FALSE(exists(path("out/update.pak")));
}

// On a file system whose kernel copies write other bytes than they report
// (tests/lying_copy.cpp, preloaded), a copy that differs from its source is
// redone and the run ends as usual; one that differs again is a write failure
// that keeps the earlier backup, or the marked target and update.pak, for a
// rerun. Kernel copy 1 makes the backup, 2 moves the kept members, 3 and 4
// put in the update's members.
TEST_F(EndToEnd, CopiesThatLieAreCaught) {
#ifndef TARNWICK_LYING_COPY
    GTEST_SKIP() << "the shim that makes kernel copies lie is preloaded only into a native Linux build";
#else
    if (std::string(TARNWICK_LYING_COPY).find_first_of(" :") != std::string::npos)
        GTEST_SKIP() << "LD_PRELOAD splits a path at spaces and colons: " << TARNWICK_LYING_COPY;
    const std::string small_o =
        build_pak({{"a", random_bytes(6000, 1)}, {"b", random_bytes(9000, 2)}, {"c", random_bytes(5000, 3)}});
    const std::string small_u = build_pak({{"A", random_bytes(7000, 4)}, {"d", random_bytes(5000, 5)}});
    const auto small_merged = model_merge(small_o, small_u);
    ASSERT_TRUE(small_merged);
    // Over three read-back buffers of 1 MiB each. The original ends in a
    // zero byte 1 MiB after a zero byte of "z". "A" replaces "a", so kernel
    // copy 2 moves "z" and "b", and copy 3 is "A", 2.5 MiB.
    const std::string big_o = build_pak(
        {{"a", random_bytes(3 << 19, 11)}, {"z", std::string(1 << 20, '\0')}, {"b", random_bytes(1 << 19, 12)}});
    const std::string big_u = build_pak({{"A", random_bytes(5 << 19, 13)}});
    const auto big_merged = model_merge(big_o, big_u);
    ASSERT_TRUE(big_merged);
    const std::string earlier = build_pak({{"earlier", "the backup of an earlier run"}});
    const std::string temp = "pak0.bak.tarnwick-new";
    const struct {
        const char* label;
        const char* how;        // TARNWICK_TEST_LIE
        const char* calls;      // TARNWICK_TEST_LIE_CALLS
        std::string first_lie;  // the shim's first log line
        const char* failing;    // a redone copy lies too, and the run fails naming this file; or nullptr
        bool big = false;             // the archives over three read-back buffers
        const char* write_size = "";  // TARNWICK_TEST_LIE_SIZE: writes of this size lie instead of copies
        bool no_threads = false;      // no thread can be started to read copies back beside their flush
    } cases[] = {
        {"zeros in the backup", "zero", "1", "copy 1 " + temp, nullptr},
        {"zeros in the kept members", "zero", "2", "copy 2 pak0.pak", nullptr},
        {"the backup shifted", "shift", "1", "copy 1 " + temp, nullptr},
        {"half an update member, the whole reported", "short", "3", "copy 3 pak0.pak", nullptr},
        {"half the backup, the whole reported", "short", "1", "copy 1 " + temp, nullptr},
        {"every write of the backup", "zero", "all", "copy 1 " + temp, "pak0.bak"},
        {"every write of the rewrite", "zero", "2-", "copy 2 pak0.pak", "pak0.pak"},
        {"the first byte of a large backup", "first", "1", "copy 1 " + temp, nullptr, true},
        {"the first byte of a large backup's second read-back buffer", "at:1048576", "1", "copy 1 " + temp, nullptr,
         true},
        {"the last byte of a large backup", "last", "1", "copy 1 " + temp, nullptr, true},
        {"a large backup one byte short, the whole reported", "short-last", "1", "copy 1 " + temp, nullptr, true},
        {"the first byte of a large update member", "first", "3", "copy 3 pak0.pak", nullptr, true},
        {"the first byte of a large update member's second read-back buffer", "at:1048576", "3", "copy 3 pak0.pak",
         nullptr, true},
        {"the last byte of a large update member", "last", "3", "copy 3 pak0.pak", nullptr, true},
        {"the first empty entry of the directory", "at:192", "1", "write 1 pak0.pak", nullptr, true, "262144"},
        {"the last byte of the directory", "last", "1", "write 1 pak0.pak", nullptr, true, "262144"},
        {"zeros in the backup, no thread to read it back", "zero", "1", "copy 1 " + temp, nullptr, false, "", true},
        {"zeros in the kept members, no thread to read them back", "zero", "2", "copy 2 pak0.pak", nullptr, false, "",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string& o = c.big ? big_o : small_o;
        const std::string& u = c.big ? big_u : small_u;
        const auto& merged = c.big ? big_merged : small_merged;
        write_file(target(), o);
        write_file(backup(), earlier);
        write_file(update(), u);
        fs::remove(path("lies"));
        // An AddressSanitizer build wants its runtime loaded before any
        // other library; the shim needs none, so that check is turned off.
        const run_result run = run_tarnwick(
            {"pak0.pak"}, dir(),
            {"env", "LD_PRELOAD=" TARNWICK_LYING_COPY, "ASAN_OPTIONS=verify_asan_link_order=0",
             std::string("TARNWICK_TEST_LIE=") + c.how, std::string("TARNWICK_TEST_LIE_CALLS=") + c.calls,
             std::string("TARNWICK_TEST_LIE_WRITES=") + (c.failing ? "1" : "0"),
             std::string("TARNWICK_TEST_LIE_SIZE=") + c.write_size,
             std::string("TARNWICK_TEST_NO_THREADS=") + (c.no_threads ? "1" : "0"),
             "TARNWICK_TEST_LIE_LOG=" + path("lies")});
        const std::string lies = read_file(path("lies"));
        ASSERT_EQ(lies.substr(0, c.first_lie.size() + 1), c.first_lie + "\n")
            << "the tool's kernel copies are not where this test lies";
        EXPECT_FALSE(exists(path(temp)));
        if (c.failing == nullptr) {
            EXPECT_EQ(run.status, 0);
            // The copy made again is flushed before it is relied on.
            const std::size_t redone = lies.rfind("\nwrote ");
            ASSERT_NE(redone, std::string::npos) << lies;
            const std::string file = lies.substr(redone + 7, lies.find('\n', redone + 1) - redone - 7);
            EXPECT_NE(lies.find("\nflush " + file + "\n", redone), std::string::npos) << lies;
            EXPECT_EQ(run.out, success_stdout("pak0.pak", "pak0.bak", merged->member_lines));
            EXPECT_TRUE(same_bytes(read_file(target()), merged->archive));
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
            EXPECT_FALSE(exists(update()));
            continue;
        }
        const bool backup_failed = std::string(c.failing) == "pak0.bak";
        EXPECT_NE(lies.find(std::string("\nwrite ") + c.failing), std::string::npos)
            << "the tool's own writes into " << c.failing << " never came to lie too\n" << lies;
        EXPECT_EQ(run.status, 1);
        const std::string start = backing_up("pak0.pak") + (backup_failed ? kBanner : "Updating pak0.pak...\n");
        EXPECT_EQ(run.out.rfind(start, 0), 0u) << run.out;
        // The message, on one line, is the last thing the run prints.
        const std::string message = kBanner + "Error writing " + c.failing + ": ";
        const std::size_t at = run.out.find(message);
        EXPECT_NE(at, std::string::npos) << run.out;
        if (at != std::string::npos) {
            EXPECT_EQ(run.out.find('\n', at + message.size()), run.out.size() - 1) << run.out;
        }
        EXPECT_TRUE(same_bytes(read_file(update()), u));
        if (backup_failed) {
            EXPECT_TRUE(same_bytes(read_file(target()), o));
            EXPECT_TRUE(same_bytes(read_file(backup()), earlier));
        } else {
            EXPECT_NE(read_file(target()).substr(0, 4), "PACK");
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
        }
        if (run.status != 1) continue;
        // On a sound file system the same command finishes the update.
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        std::string expected = success_stdout("pak0.pak", "pak0.bak", merged->member_lines);
        if (!backup_failed) {
            expected.replace(kTitle.size(), backing_up("pak0.pak").size() - kTitle.size(),
                             "The original is already in pak0.bak, saved by an interrupted run\n");
        }
        EXPECT_EQ(rerun.status, 0);
        EXPECT_EQ(rerun.out, expected);
        EXPECT_TRUE(same_bytes(read_file(target()), merged->archive));
        EXPECT_TRUE(same_bytes(read_file(backup()), o));
        EXPECT_FALSE(exists(update()));
        EXPECT_FALSE(exists(path(temp)));
    }
#endif
}

// --undo refuses a backup it cannot tie to the archive, and then changes
// nothing; a target cut short while it was rewritten gets its original back.
// Where two names cannot be exchanged in one step, three renames through
// pak0.pak.tarnwick-undo do it; a rename that fails is taken back, and an
// undo left half done is finished first by the next undo, run or dry run.
TEST_F(EndToEnd, UndoRefusesWhatItCannotTieAndRestoresACutShortTarget) {
    const std::string o = build_pak({{"a", "1"}, {"b", random_bytes(5000, 4)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", "dd"}});
    const std::string result = model_merge(o, u)->archive;
    const std::string other = build_pak({{"other", "archive"}});
    const std::string cannot = "Cannot undo the update of pak0.pak: ";
    const std::string cannot_finish = "Cannot finish the interrupted undo of pak0.pak: ";
    const std::string as_before = "; pak0.pak and pak0.bak are as they were before the undo";
    const std::string finished = "Finished the interrupted undo of pak0.pak first: it and pak0.bak are exchanged\n";
    // The words of the rerun, which refuses the same backups.
    const std::string not_saved = "its backup pak0.bak is not the original that update saved; nothing was changed. "
                                  "Put that original back as pak0.bak and run again";
    const std::string twice = build_pak({{"A", "1"}, {"A", "2"}});
    const std::string twice_updated = model_merge(twice, build_pak({{"A", "33"}, {"B", "4"}}))->archive;
    const std::string third = path("pak0.pak.tarnwick-undo");
    // Wrappers that make renameat2 fail, where the tool can be traced: the
    // first call is the one-step exchange, the next three the renames. With
    // no rename flags at all, the renames are plain ones.
    std::vector<std::string> no_exchange, exchange_fails, second_fails, third_fails, no_rename_back, no_flags,
        no_flags_second_fails, no_flags_third_fails;
#ifndef _WIN32
    if (reason_cannot_trace().empty()) {
        const auto failing = [](const std::string& when, const char* error) {
            return std::vector<std::string>{"strace", kNoLeakCheck, "-qq", "-o", "/dev/null", "-e", "trace=renameat2",
                                            "-e", "inject=renameat2:error=" + std::string(error) + ":when=" + when};
        };
        no_exchange = failing("1", "EINVAL");
        exchange_fails = failing("1", "EIO");
        no_flags = failing("1+", "EINVAL");
        const auto plain_fails = [](const char* when) {
            return std::vector<std::string>{"strace", kNoLeakCheck, "-qq", "-o", "/dev/null", "-e",
                                            "trace=renameat2,rename", "-e", "inject=renameat2:error=EINVAL", "-e",
                                            "inject=rename:error=EIO:when=" + std::string(when)};
        };
        no_flags_second_fails = plain_fails("2");
        no_flags_third_fails = plain_fails("3");
#ifdef TARNWICK_LYING_COPY
        // The exchange refused before the kernel sees it, so that the calls
        // counted are the renames.
        const auto shim = [](std::vector<std::string> wrapper) {
            wrapper.insert(wrapper.end(), {"-E", "LD_PRELOAD=" TARNWICK_LYING_COPY, "-E", "TARNWICK_TEST_NO_EXCHANGE=1",
                                           "-E", "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"});
            return wrapper;
        };
        second_fails = shim(failing("2", "EIO"));
        third_fails = shim(failing("3", "EIO"));
        // The second fails, and so does its undoing. Its standard error goes
        // to a file, where the note must say the undo is half done.
        no_rename_back = {"sh", "-c", "exec \"$@\" 2>err", "sh"};
        const std::vector<std::string> failing_twice = shim(failing("2..3", "EIO"));
        no_rename_back.insert(no_rename_back.end(), failing_twice.begin(), failing_twice.end());
#endif
    }
#endif
    const struct {
        const char* label;
        std::optional<std::string> target, backup;
        std::string message;  // empty: the undo goes ahead
        std::vector<std::string> wrapper = {};
        bool linked = false;  // the backup a hard link to the target
        bool wrapped = false;  // skipped where its wrapper cannot run
        std::optional<std::string> third = std::nullopt;  // a half-done undo's pak0.pak.tarnwick-undo
        std::vector<std::string> command = {"--undo", "pak0.pak"};
        bool half_done = false;  // refused with the undo half done, which the next one finishes
        bool held = false;       // pak0.pak held open by another program through the undo
    } cases[] = {
        {"no backup", result, std::nullopt, cannot + "its backup pak0.bak is missing"},
        {"a backup that is no archive", result, "PK\x03\x04" + o.substr(4), cannot + "its backup pak0.bak is not a pak file"},
        {"a backup of another archive", result, other,
         cannot + "its backup pak0.bak is not the archive it was updated from"},
        {"a backup left half-written itself", result, "\x89TWr" + o.substr(4),
         cannot + "its backup pak0.bak is itself an archive left half-written"},
        {"a backup complete but for its magic itself", result, "\x89TWc" + result.substr(4),
         cannot + "its backup pak0.bak is itself an archive left half-written"},
        {"cut short while rewriting, before its record", "\x89TWr" + o.substr(4, 100), o, ""},
        {"cut short while rewriting, before its record, its header with another directory length",
         "\x89TWr" + with_le32(o, 8, 64).substr(4, 100), o, cannot + not_saved},
        {"a backup that is the archive itself", result, std::nullopt, cannot + "its backup pak0.bak is the same file",
         {}, true},
        {"updated from a backup that holds a name twice", twice_updated, twice, ""},
        {"a backup whose dropped member nothing after the kept ones replaces", build_pak({{"a", "1"}, {"c", "3"}}),
         build_pak({{"a", "1"}, {"A", "22"}}), cannot + "its backup pak0.bak is not the archive it was updated from"},
        {"complete but for its magic, and a byte longer than its mark says", "\x89TWc" + result.substr(4) + '\0', o,
         cannot + "its mark does not match its length"},
        {"cut short while rewriting, its backup another archive", "\x89TWr" + o.substr(4, 100), other,
         cannot + not_saved},
        {"a file system without the exchange: three renames", result, o, "", no_exchange, false, true},
        {"the exchange fails for another reason", result, o,
         cannot + "exchanging pak0.pak and pak0.bak failed: " + std::strerror(EIO) + as_before, exchange_fails,
         false, true},
        {"the second rename fails, and the first is taken back", result, o,
         cannot + "renaming pak0.bak to pak0.pak failed: " + std::strerror(EIO) + as_before, second_fails, false,
         true},
        {"the third rename fails, and both are taken back", result, o,
         cannot + "renaming pak0.pak.tarnwick-undo to pak0.bak failed: " + std::strerror(EIO) + as_before,
         third_fails, false, true},
        {"a file system without rename flags: three plain renames", result, o, "", no_flags, false, true},
        {"without rename flags, the second rename fails, and the first is taken back", result, o,
         cannot + "renaming pak0.bak to pak0.pak failed: " + std::strerror(EIO) + as_before, no_flags_second_fails,
         false, true},
        {"without rename flags, the third rename fails, and both are taken back", result, o,
         cannot + "renaming pak0.pak.tarnwick-undo to pak0.bak failed: " + std::strerror(EIO) + as_before,
         no_flags_third_fails, false, true},
        // Refused before its magic goes on: a refused undo changes nothing.
        {"complete but for its magic, its backup another archive", "\x89TWc" + result.substr(4), other,
         cannot + "its backup pak0.bak is not the archive it was updated from"},
        {"the second rename fails, and so does taking the first back", result, o,
         cannot + "renaming pak0.bak to pak0.pak failed: " + std::strerror(EIO) +
             ", and so did putting the names back; the undo is half done: running the same command again finishes it",
         no_rename_back, false, true, std::nullopt, {"--undo", "pak0.pak"}, true},
        // A rename changes no byte a game reads; Windows refuses to rename a file open in another program.
        {"the archive held open by another program", result, o,
#ifdef _WIN32
         cannot + "renaming pak0.pak to pak0.pak.tarnwick-undo failed: another program has it open" + as_before,
#else
         "",
#endif
         {}, false, false, std::nullopt, {"--undo", "pak0.pak"}, false, true},
        {"half done, the archive at the third name", std::nullopt, o, "", {}, false, false, result},
        {"half done, the backup at the archive's name too", o, std::nullopt, "", {}, false, false, result},
        {"half done, then a run", std::nullopt, o, "", {}, false, false, result, {"pak0.pak"}},
        {"half done, then a dry run", o, std::nullopt, "", {}, false, false, result, {"--dry-run", "pak0.pak"}},
        {"half done, the third name beside both others", result, o,
         cannot_finish + "pak0.pak.tarnwick-undo, pak0.pak and pak0.bak all exist, so which of them holds what "
                         "cannot be told; nothing was changed. Keep the archive and its backup under their names and "
                         "move pak0.pak.tarnwick-undo away",
         {}, false, false, result},
        {"half done, the third name alone", std::nullopt, std::nullopt,
         cannot_finish + "it left pak0.pak.tarnwick-undo, but neither pak0.pak nor pak0.bak exists; nothing was changed",
         {}, false, false, result},
        {"half done, the third name another archive", std::nullopt, o,
         cannot_finish + "pak0.pak.tarnwick-undo is not an update of pak0.bak, nor pak0.bak of it; nothing was changed",
         {}, false, false, other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.wrapped && c.wrapper.empty()) continue;
        for (const std::string& file : {target(), backup(), third, update()}) fs::remove(file);
        if (c.target) write_file(target(), *c.target);
        if (c.backup) write_file(backup(), *c.backup);
        if (c.third) write_file(third, *c.third);
        if (c.command[0] != "--undo") write_file(update(), u);
        if (c.linked) fs::create_hard_link(target(), backup());
        std::unique_ptr<held_open> holder;
        if (c.held) holder = std::make_unique<held_open>(target(), dir() + ".holding");
        const auto before = snapshot(dir());
        const run_result undo = run_tarnwick(c.command, dir(), c.wrapper);
        holder.reset();
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new")));
        if (c.half_done) {
            EXPECT_EQ(undo.status, 1);
            EXPECT_EQ(undo.out.substr(undo.out.find(kBanner)), kBanner + c.message + "\n");
            EXPECT_EQ(read_file(path("err")),
                      "tarnwick: the undo of pak0.pak is half done; running the same command again finishes it\n");
            fs::remove(path("err"));
            EXPECT_FALSE(exists(target()));
            EXPECT_EQ(read_file(third), *c.target);
            const run_result again = run_tarnwick(c.command, dir());
            EXPECT_EQ(again.out, kTitle + finished);
        } else if (!c.message.empty()) {
            EXPECT_EQ(undo.status, 1);
            EXPECT_EQ(undo.out.substr(undo.out.find(kBanner)), kBanner + c.message + "\n");
            EXPECT_EQ(snapshot(dir()), before);
            continue;
        }
        const bool exchanges = !c.target || c.target->rfind("\x89TWr", 0) != 0;
        EXPECT_EQ(undo.status, c.half_done ? 1 : 0) << undo.out;
        if (c.third) {
            EXPECT_EQ(undo.out.substr(0, kTitle.size() + finished.size()), kTitle + finished);
            EXPECT_FALSE(exists(third));
            const bool applied = c.command[0] == "pak0.pak";
            EXPECT_TRUE(same_bytes(read_file(target()), applied ? result : o));
            EXPECT_TRUE(same_bytes(read_file(backup()), applied ? o : result));
            EXPECT_EQ(exists(update()), c.command[0] == "--dry-run");
            if (c.command[0] == "--dry-run") {
                EXPECT_EQ(undo.out.substr(kTitle.size() + finished.size()).rfind(
                              "Dry run of the update of pak0.pak: nothing else was changed\n", 0), 0u) << undo.out;
            }
        } else if (exchanges) {
            EXPECT_FALSE(exists(third));
            EXPECT_EQ(read_file(target()), *c.backup);
            EXPECT_EQ(read_file(backup()), *c.target);
        } else {
            EXPECT_EQ(undo.out, kTitle + "Undoing the update of pak0.pak...\npak0.pak was half-written by an "
                                         "interrupted update: the original from pak0.bak is back in its place, and "
                                         "the half-written file was dropped\n");
            EXPECT_EQ(read_file(target()), o);
            EXPECT_FALSE(exists(backup()));
        }
    }
}

#ifndef _WIN32
// What surrounds a run (standard streams closed, going nowhere or into an
// archive) never changes what it writes, nor its exit status.
TEST_F(EndToEnd, SurroundingsNeverReachAnArchive) {
    const std::string o = build_pak({{"a", "1"}, {"b", random_bytes(9000, 3)}});
    const std::string u = build_pak(numbered(400, "update/member-", "u"));
    const auto merged = model_merge(o, u);
    ASSERT_TRUE(merged);
    // The reader of the pipe is gone before the tool starts; SIGPIPE is set
    // back to its default, which the tool must change itself.
    const std::string broken_pipe =
        "import os, signal, sys\nsignal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
        "r, w = os.pipe()\nos.close(r)\nos.dup2(w, 1)\nos.execvp(sys.argv[1], sys.argv[1:])";
    const struct {
        const char* label;
        std::vector<std::string> wrapper;
        bool with_update;
        int status;
        const char* refusal;  // on standard error, when the run is refused for its output
        std::vector<std::string> args = {"pak0.pak"};
        bool half_done_undo = false;  // an undo stopped after its first rename: refused before it is finished
    } cases[] = {
        {"stdout closed", {"sh", "-c", "exec \"$0\" \"$@\" >&-"}, true, 0, nullptr},
        {"stdout closed, no update.pak", {"sh", "-c", "exec \"$0\" \"$@\" >&-"}, false, 1, nullptr},
        {"all three closed", {"sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"}, true, 0, nullptr},
        {"all three closed, no update.pak", {"sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"}, false, 1, nullptr},
        {"stderr closed", {"sh", "-c", "exec \"$0\" \"$@\" 2>&-"}, true, 0, nullptr},
        {"reader gone", {"python3", "-c", broken_pipe}, true, 0, nullptr},
        {"full device", {"sh", "-c", "exec \"$0\" \"$@\" >/dev/full"}, true, 0, nullptr},
        {"into the target", {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.pak 2>err"}, true, 1, "pak0.pak"},
        {"into the backup", {"sh", "-c", "exec \"$0\" \"$@\" >pak0.bak 2>err"}, true, 1, "pak0.bak"},
        {"into update.pak", {"sh", "-c", "exec \"$0\" \"$@\" >>update.pak 2>err"}, true, 1, "update.pak"},
        {"into the backup, errors too", {"sh", "-c", "exec \"$0\" \"$@\" >pak0.bak 2>&1"}, true, 1, ""},
        {"errors into the target, a further argument", {"sh", "-c", "exec \"$0\" \"$@\" more.pak 2>>pak0.pak"},
         true, 0, nullptr},
        {"into the backup, errors closed", {"sh", "-c", "exec \"$0\" \"$@\" >pak0.bak 2>&-"}, true, 1, ""},
        {"an undo into the backup, opened for writing over it", {"sh", "-c", "exec \"$0\" \"$@\" 1<>pak0.bak 2>err"},
         true, 1, "pak0.bak", {"--undo", "pak0.pak"}},
        {"an undo into the target", {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.pak 2>err"}, true, 1, "pak0.pak",
         {"--undo", "pak0.pak"}},
        {"a dry run into the backup, opened for writing over it",
         {"sh", "-c", "exec \"$0\" \"$@\" 1<>pak0.bak 2>err"}, true, 1, "pak0.bak", {"--dry-run", "pak0.pak"}},
        {"a dry run into the target", {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.pak 2>err"}, true, 1, "pak0.pak",
         {"--dry-run", "pak0.pak"}},
        {"into the backup, after an undo stopped between its renames",
         {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.bak 2>err"}, true, 1, "pak0.bak", {"pak0.pak"}, true},
        {"into the undo's third name, after it stopped between its renames",
         {"sh", "-c", "exec \"$0\" \"$@\" >>pak0.pak.tarnwick-undo 2>err"}, true, 1, "pak0.pak.tarnwick-undo",
         {"pak0.pak"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(target(), o);
        write_file(backup(), "");
        fs::remove(update());
        fs::remove(path("err"));
        if (c.with_update) write_file(update(), u);
        if (c.half_done_undo) {
            fs::remove(target());
            write_file(backup(), o);
            write_file(path("pak0.pak.tarnwick-undo"), merged->archive);
        }
        const auto before = snapshot(dir());
        const run_result run = run_tarnwick(c.args, dir(), c.wrapper);
        EXPECT_EQ(run.status, c.status);
        if (c.half_done_undo) {
            auto after = snapshot(dir());
            after.erase(path("err"));
            EXPECT_EQ(after, before);
            fs::remove(path("pak0.pak.tarnwick-undo"));
        } else {
            const bool updated = c.status == 0;
            EXPECT_TRUE(same_bytes(read_file(target()), updated ? merged->archive : o));
            EXPECT_TRUE(same_bytes(read_file(backup()), updated ? o : ""));
            EXPECT_EQ(exists(update()), c.with_update && !updated);
        }
        if (c.refusal && *c.refusal) {
            // A dry run refuses with a run's words.
            const bool undo = c.args[0] == "--undo";
            EXPECT_EQ(read_file(path("err")), (undo ? kTitle : backing_up("pak0.pak")) + kBanner +
                                                  (undo ? "Cannot undo the update of" : "Cannot update") +
                                                  " pak0.pak: standard output is written into " + c.refusal + "\n");
        }
    }
}

// On a terminal a hostile member name is shown escaped; into a pipe it passes as it is.
TEST_F(EndToEnd, ControlBytesInNamesAreEscapedOnATerminal) {
    const std::string hostile = "x\x1b]0;pwned\a\rFAKE\x7f\\\xc3\xa9";
    const std::string shown = "x\\x1b]0;pwned\\x07\\x0dFAKE\\x7f\\\xc3\xa9";
    const std::string u = build_pak({{hostile, "abc"}});
    const std::string damaged = with_le32(u, entry_pos(u, 0) + 60, -1);
    const std::string command = tarnwick_exe() + " pak0.pak";
    const struct {
        const char* label;
        std::string update;
        std::vector<std::string> wrapper;
        std::string line;
    } cases[] = {
        {"pipe", u, {}, "Updating " + hostile + " : 3 bytes\n"},
        {"terminal", u, {"script", "-qec", command, "/dev/null"}, "Updating " + shown + " : 3 bytes\r\n"},
        {"terminal, message", damaged, {"script", "-qec", command, "/dev/null"}, "member 1 (" + shown + ")"},
        // Escaping follows standard output alone.
        {"terminal, errors into a file", u, {"script", "-qec", command + " 2>err", "/dev/null"},
         "Updating " + shown + " : 3 bytes\r\n"},
        {"pipe, errors on a terminal", u, {"script", "-qec", command + " | cat", "/dev/null"},
         "Updating " + hostile + " : 3 bytes\r\n"},
        // In the order the lines are printed: the further argument is reported before the refusal.
        {"terminal, a further argument, message", damaged, {"script", "-qec", command + " more.pak", "/dev/null"},
         "ignored; one archive is updated per run\r\nBacking up update target pak0.pak...\r\n" + kBanner.substr(0, kBanner.size() - 1) +
             "\r\nDamaged archive update.pak: member 1 ("},
    };
    if (std::string(TARNWICK_EMULATOR).size() > 0) GTEST_SKIP() << "script cannot start the tool through an emulator";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(target(), build_pak({}));
        write_file(update(), c.update);
        const run_result run = c.wrapper.empty() ? run_tarnwick({"pak0.pak"}, dir())
                                                 : run_program(c.wrapper, dir());
        EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
    }
}
#endif

// A run slowed down by strace lasts well over a second: on a terminal a
// progress line comes and goes on standard error; elsewhere nothing is written
// there, and standard output is the same either way. On a narrow terminal no
// redraw, nor the blanks that erase one, reaches the last column. How the
// line fits a width is TextWidth's to test.
TEST_F(EndToEnd, ProgressShowsOnlyOnATerminal) {
    const std::string reason = reason_cannot_trace();
    if (!reason.empty()) GTEST_SKIP() << reason;
    const std::string o = build_pak({{"a", random_bytes(9000, 1)}});
    const std::string u = build_pak(numbered(5, "new", "data"));
    // Two kept runs to move: the second halves the rate, which then loses a digit.
    const std::string o_big =
        build_pak({{"x", "1"}, {"big", random_bytes(8 << 20, 2)}, {"y", "2"}, {"small", "s"}});
    const std::string u_big = build_pak({{"X", "3"}, {"Y", "4"}});
    // Each kernel copy delayed; a second and more, and the backup's single copy is drawn too.
    const auto slow = [](const char* delay, const std::string& archive) {
        return std::string(kUnderStrace) + " -o held.out -e inject=copy_file_range:delay_exit=" + delay + " " +
               tarnwick_exe() + " '" + archive + "'";
    };
    // Backed up to pak0.bak: the short destination leaves its room to the long path.
    const std::string ascii_path = "pak0.an-extension-of-fifty-characters-all-in-ascii";
    const struct {
        const char* label;
        std::string archive, original, update;
        std::vector<std::string> argv;
        std::string shown;    // in the terminal's text, or on standard error
        std::size_t columns;  // of the terminal, when set
        bool output_in_file = false;
        bool interrupted = false;  // by SIGINT while the line is shown
        std::size_t narrowed = 0;  // the columns the terminal narrows to between the first draw and its erase
    } cases[] = {
        {"terminal", "pak0.pak", o, u, {"script", "-qec", slow("400000", "pak0.pak"), "/dev/null"},
         "\rRewriting pak0.pak: ", 0},
        // Held at the backup's flush, after its copy was drawn, while the terminal narrows.
        {"terminal of 62 columns, narrowed to 50 before an erase, a long path in ASCII", ascii_path, o,
         build_pak({{"new", "data"}}),
         {"script", "-qec",
          "stty cols 62\n" + slow("1050000 -e inject=fdatasync:signal=STOP:when=1", ascii_path) + " & first=$!\n"
              "i=0; until grep -qs 'stopped by SIGSTOP' held.out || [ $i -gt 3000 ]; do i=$((i+1)); sleep 0.01; done\n"
              "held=$(tr -d ' ' </proc/$first/task/$first/children)\nstty cols 50; kill -CONT $held; wait $first",
          "/dev/null"},
         "\rCopying ", 62, false, false, 50},
        {"errors on a terminal, output into a file", "pak0.pak", o, u,
         {"script", "-qec", slow("200000", "pak0.pak") + " >out", "/dev/null"}, "\rRewriting pak0.pak: ", 0, true},
        {"output on a terminal, errors into a file", "pak0.pak", o, u,
         {"script", "-qec", slow("200000", "pak0.pak") + " 2>err", "/dev/null"}, "", 0},
        {"two copies of under a second, more than one together", "pak0.pak", o, build_pak({{"new", "data"}}),
         {"script", "-qec", slow("600000", "pak0.pak"), "/dev/null"}, "\rRewriting pak0.pak: ", 0},
        {"a redraw shorter than the one before", "pak0.pak", o_big, u_big,
         {"script", "-qec", slow("500000", "pak0.pak"), "/dev/null"}, "\rRewriting pak0.pak: 8.0 of 8.0 MiB", 0},
        // Stopped as the directory is written, after the last member's copy was drawn.
        {"interrupted while the line is shown", "pak0.pak", o, u,
         {"script", "-qec", slow("260000 -e inject=pwrite64:signal=INT:when=3", "pak0.pak"), "/dev/null"},
         "\rRewriting pak0.pak: ", 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(path(c.archive), c.original);
        write_file(update(), c.update);
        fs::remove(path("err"));
        const run_result run = run_program(c.argv, dir());
        EXPECT_EQ(run.status, c.interrupted ? 128 + SIGINT : 0);
        // The erase is blanks only; what follows it starts in the first column.
        EXPECT_EQ(run.out.find('\0'), std::string::npos);
        EXPECT_EQ(run.out.find("\rtarnwick: interrupted; ") != std::string::npos, c.interrupted) << run.out;
        if (c.shown.empty()) {
            EXPECT_EQ(read_file(path("err")), "");
        } else {
            EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
            EXPECT_NE(run.out.find(" MiB/s"), std::string::npos) << run.out;
        }
        std::istringstream drawn(c.shown.empty() ? "" : run.out);
        std::set<std::string> verbs;
        std::size_t drawn_before = 0;  // columns of the line on the terminal
        std::size_t columns = c.columns;  // of the terminal as the part is drawn
        for (std::string part; std::getline(drawn, part, '\r');) {
            const std::size_t figures_end = part.find(" MiB/s");
            const bool redraw = figures_end != std::string::npos;
            const bool blank = !part.empty() && part.find_first_not_of(' ') == std::string::npos;
            const std::size_t width = display_columns(part);
            if (redraw || blank) {
                // A redraw or an erase covers all of the line before it, as far as the terminal still
                // shows it, and nothing follows a redraw.
                EXPECT_GE(width, columns == 0 ? drawn_before : std::min(drawn_before, columns - 1)) << part;
                if (redraw) {
                    EXPECT_EQ(part.find_first_not_of(' ', figures_end + 6), std::string::npos) << part;
                }
            } else {
                // Other text starts in the first column, never after the erased line.
                EXPECT_NE(part.substr(0, 1), " ") << part;
            }
            drawn_before = redraw ? display_columns(part.substr(0, figures_end + 6)) : 0;
            const std::size_t room = columns;
            if (redraw && c.narrowed != 0) columns = c.narrowed;
            if (room == 0 || !(redraw || blank)) continue;
            EXPECT_LE(width, room - 1) << part;
            if (!redraw) continue;
            EXPECT_NE(part.find("..."), std::string::npos) << part;
            verbs.insert(part.substr(0, part.find(' ')));
        }
        if (c.interrupted) continue;
        if (c.columns != 0) {
            EXPECT_EQ(verbs, (std::set<std::string>{"Copying", "Rewriting"})) << run.out;
        }
        EXPECT_TRUE(same_bytes(read_file(path(c.archive)), model_merge(c.original, c.update)->archive));
        if (c.output_in_file) {
            const std::string drawn_aside = read_file(path("out"));
            write_file(path(c.archive), c.original);
            write_file(update(), c.update);
            EXPECT_EQ(drawn_aside, run_tarnwick({c.archive}, dir()).out);
        }
    }
}

// The states an interrupted run can leave, as the next run finds them: the
// target marked in place of its header, its backup, and update.pak or not.
TEST_F(EndToEnd, TheNextRunFinishesAnInterruptedOne) {
    const std::string o = build_pak({{"a", "1"}, {"b", random_bytes(5000, 4)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", "dd"}});
    const auto merged = model_merge(o, u);
    ASSERT_TRUE(merged);
    const auto marked = [](std::string pak, const char* mark) { return pak.replace(0, 4, mark, 4); };
    const std::string rewriting = marked(merged->archive, "\x89TWr"), complete = marked(merged->archive, "\x89TWc");
    const std::string finishing = "The original is already in pak0.bak, saved by an interrupted run\n";
    // The next patch, put in place after the first was applied but for its header.
    const std::string u2 = build_pak({{"A", "patch two"}, {"e", "ee"}});
    // Another patch put in place of the first while it was being applied; it keeps "b" in place.
    const std::string u3 = build_pak({{"C", "patch three"}, {"e", "ee"}});
    // A next patch whose first member begins as the first patch's does.
    const std::string u4 = build_pak({{"B", "new b, longer"}, {"d", "dd"}});
    // A patch that replaces every member: the finished archive holds nothing else.
    const std::string u5 = build_pak({{"A", "5"}, {"B", "55"}, {"C", "555"}});
    // A patch of empty members that replaces every member: the result has no member data.
    const std::string u6 = build_pak({{"A", ""}, {"B", ""}, {"C", ""}});
    // The first patch again, a name in other case: another update.
    const std::string u7 = build_pak({{"b", "new b"}, {"d", "dd"}});
    // An archive without members whose directory's place lies past its end.
    const std::string empty = raw_header("PACK", 1000, 0);
    const std::string other = build_pak({{"other", "archive"}});
    // The original with its first member renamed: the same length and directory place.
    std::string renamed_member = o;
    renamed_member[static_cast<std::size_t>(entry_pos(o, 0))] = 'z';
    const std::string unknown_update =
        "Cannot finish the interrupted update of pak0.pak: it was rewritten whole with an update that update.pak no "
        "longer holds; put that update back as update.pak and run again, or get the original back with tarnwick "
        "--undo pak0.pak";
    const std::string foreign_backup =
        "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is not the original that update saved; "
        "nothing was changed. Put that original back as pak0.bak and run again";
    const struct {
        const char* label;
        std::string target;
        std::optional<std::string> backup, update;
        std::string message;  // empty: the run finishes the update
        // The original whose record a cut-short run appended to its target, for
        // the update u it was applying; none for a run cut short before it.
        std::optional<std::string> recorded = std::nullopt;
        bool damaged_record = false;  // a fingerprint byte of the record is off
        bool other_backup = false;    // the backup is an archive, but not the original
        bool unchanged = false;       // the stopped run had changed nothing but the mark
        std::string dry_run_says = "";  // where given, the dry run's line after its first
    } cases[] = {
        {"cut short while rewriting", rewriting.substr(0, 40), o, u, "", o},
        {"marked, and nothing else changed", marked(o, "\x89TWr"), o, u, "", std::nullopt, false, false, true},
        {"marked, and nothing else changed, then another update.pak", marked(o, "\x89TWr"), o, u2, "", std::nullopt,
         false, false, true},
        {"the mark's write torn, its fourth byte the mark's", marked(o, "PAWr"), o, u, "", std::nullopt, false, false,
         true},
        {"the mark's write torn, its fourth byte PACK's", marked(o, "\x89TCK"), o, u, "", std::nullopt, false, false,
         true},
        {"the magic's write torn over the complete mark, its fourth byte the mark's", marked(merged->archive, "PAWc"),
         o, std::nullopt, ""},
        {"the magic's write torn over the complete mark, its fourth byte PACK's", marked(merged->archive, "\x89TCK"),
         o, std::nullopt, ""},
        {"rewritten whole, its record cut away, then another update.pak", rewriting, o, u2, unknown_update},
        {"rewritten whole, its record cut away, then no update.pak", rewriting, o, std::nullopt, unknown_update},
        {"cut short while rewriting, then another update.pak", rewriting.substr(0, 3000), o, u3,
         "Cannot finish the interrupted update of pak0.pak: update.pak is not the update it was applying, which is no "
         "longer there; the original is in pak0.bak. Put the earlier update.pak back and run again",
         o},
        {"cut short while rewriting, then no update.pak", rewriting.substr(0, 40), o, std::nullopt,
         std::string("Error opening update.pak: ") + std::strerror(ENOENT), o},
        {"cut short while rewriting, its backup replaced by another archive", rewriting.substr(0, 40), other, u,
         foreign_backup, o},
        {"cut short before its record, its backup replaced by another archive", marked(o, "\x89TWr"), other, u,
         foreign_backup},
        {"cut short while rewriting, its backup another archive of the same size and directory place",
         rewriting.substr(0, 40), renamed_member, u, foreign_backup, o},
        {"cut short while rewriting, its record damaged", marked(o, "\x89TWr"), o, u, "", o, true},
        {"cut short before its record, its backup another archive whose directory starts at the same offset",
         marked(o, "\x89TWr"), with_le32(o, 8, get_le32(o, 8) - 64), u, foreign_backup},
        {"rewritten, update.pak still there", complete, o, u, "", std::nullopt, false, false, false,
         "A run would finish the interrupted update of pak0.pak: its members and directory are complete, only its "
         "header is missing; update.pak, which it holds, would be removed\n"},
        {"rewritten, update.pak removed", complete, o, std::nullopt, "", std::nullopt, false, false, false,
         "A run would finish the interrupted update of pak0.pak: its members and directory are complete, only its "
         "header is missing\n"},
        {"rewritten, then a new update.pak", complete, o, u2, ""},
        {"rewritten, then a new update.pak with a longer first member", complete, o, u4, ""},
        {"rewritten from a patch that replaced every member, update.pak still there",
         marked(model_merge(o, u5)->archive, "\x89TWc"), o, u5, ""},
        {"rewritten, update.pak removed, backup gone", complete, std::nullopt, std::nullopt, ""},
        {"rewritten, update.pak removed, its backup another archive", complete, other, std::nullopt, "", std::nullopt,
         false, true},
        {"rewritten, update.pak still there, its backup another archive", complete, other, u, "", std::nullopt, false,
         true},
        {"rewritten from a patch of empty members only, update.pak still there",
         marked(model_merge(o, u6)->archive, "\x89TWc"), o, u6, ""},
        {"rewritten, then the same update.pak but for the case of a name", complete, o, u7, ""},
        {"cut short as its record was written, the backup without members and its directory's place at its end",
         marked(empty, "\x89TWr") + std::string(100, '\0'), empty, u, ""},
        // Since the seal places before it cuts, only a finished rewrite holds
        // the result's place without its record.
        {"cut short, the result's place without its record, the backup without members",
         marked(model_merge(empty, u)->archive, "\x89TWr").substr(0, 40), empty, u, foreign_backup},
        {"backup no archive", rewriting, "PK\x03\x04" + o.substr(4), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is not a pak file"},
        {"backup missing", rewriting.substr(0, 40), std::nullopt, u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is missing"},
        {"backup half-written itself", rewriting, rewriting, u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is itself an archive left "
         "half-written"},
        {"backup's directory cut off", rewriting, o.substr(0, o.size() - 10), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak has its directory outside the file"},
        {"backup's directory at a negative offset", rewriting, with_le32(o, 4, -64), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak has its directory outside the file"},
        {"backup's directory of negative length", rewriting, with_le32(o, 8, -64), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is not a pak file"},
        {"backup's magic wrong in its last byte", rewriting, "PACX" + o.substr(4), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is not a pak file"},
        {"backup too short", rewriting, std::string("PACK"), u,
         "Cannot finish the interrupted update of pak0.pak: its backup pak0.bak is shorter than an archive header"},
        {"mark and length disagree", complete.substr(0, complete.size() - 1), o, std::nullopt,
         "Cannot finish the interrupted update of pak0.pak: its mark does not match its length"},
        {"mark and length disagree, one byte long", complete + '\0', o, std::nullopt,
         "Cannot finish the interrupted update of pak0.pak: its mark does not match its length"},
        {"mark's directory longer than 4096 entries", with_le32(complete, 8, 262144 + 64), o, std::nullopt,
         "Cannot finish the interrupted update of pak0.pak: its mark does not match its length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string target_bytes = c.recorded ? with_record(c.target, *c.recorded, u) : c.target;
        if (c.damaged_record) target_bytes[target_bytes.size() - 20] ^= 1;
        write_file(target(), target_bytes);
        fs::remove(backup());
        if (c.backup) write_file(backup(), *c.backup);
        fs::remove(update());
        if (c.update) write_file(update(), *c.update);
        // A dry run refuses as the run does, or says what it would do; it changes nothing.
        const auto before = snapshot(dir());
        const run_result dry = run_tarnwick({"pak0.pak", "--dry-run"}, dir(), errors_into(path("dry.err")));
        fs::remove(path("dry.err"));
        EXPECT_EQ(snapshot(dir()), before);
#ifndef _WIN32
        // It leaves nothing for the same command run again to finish.
        EXPECT_EQ(read_file(path("dry.err")).find("running the same command again"), std::string::npos);
#endif
        EXPECT_EQ(dry.status, c.message.empty() ? 0 : 1);
        // A rewrite cut short is made again whole, from the header on.
        if (c.message.empty() && c.target.rfind("\x89TWr", 0) == 0 && !c.unchanged) {
            const std::string shown = without_unseen_note(dry.out);
            EXPECT_EQ(shown.substr(shown.size() - std::min<std::size_t>(shown.size(), 16)), " from offset 12\n")
                << shown;
        }
        EXPECT_EQ(dry.out.find(c.message.empty() ? kTitle + "Dry run of the update of pak0.pak: nothing was changed\nA run would "
                                                 : kTitle + kBanner + c.message + "\n"),
                  0u)
            << dry.out;
        if (!c.dry_run_says.empty()) {
            EXPECT_EQ(without_unseen_note(dry.out.substr(dry.out.find('\n', kTitle.size()) + 1)), c.dry_run_says);
        }
        const run_result run = run_tarnwick({"pak0.pak"}, dir(), errors_into(path("run.err")));
        if (!c.message.empty()) {
            EXPECT_EQ(run.status, 1);
            // A marked target is never backed up, so the run never says so.
            EXPECT_EQ(run.out, kTitle + kBanner + c.message + "\n");
#ifndef _WIN32
            const std::string errors = read_file(path("run.err"));
            const std::string note = "tarnwick: pak0.pak is half-written and not playable; the original is in pak0.bak; "
                                     "running the same command again, once the cause is fixed, finishes the update\n";
            EXPECT_EQ(errors.substr(errors.size() - std::min(errors.size(), note.size())), note);
#endif
            fs::remove(path("run.err"));
            EXPECT_EQ(read_file(target()), target_bytes);
            EXPECT_EQ(exists(update()), c.update.has_value());
            continue;
        }
        // A rewrite cut short is made again from the backup with the update.pak
        // there now. An update.pak that a rewritten target does not hold is
        // applied to the finished archive, which becomes its backup.
        const std::string finished = c.unchanged ? o : "PACK" + c.target.substr(4);
        // The backup, where there is one, holds the original.
        const std::string& original = c.other_backup ? o : c.backup.value_or(o);
        const auto held = model_merge(original, c.update.value_or(u));
        ASSERT_TRUE(held);
        const bool new_update =
            c.update && c.target.rfind("\x89TWc", 0) == 0 && !c.unchanged && held->archive != finished;
        const auto applied = new_update ? model_merge(finished, *c.update) : held;
        ASSERT_TRUE(applied);
        std::string expected_out =
            success_stdout("pak0.pak", "pak0.bak", c.update ? applied->member_lines : "");
        const std::string backup_line = "Backup of original in pak0.bak\n";
        if (!c.backup || c.other_backup) {
            expected_out.replace(expected_out.find(backup_line), backup_line.size(),
                                 c.other_backup ? "No backup of the original: pak0.bak is another archive\n"
                                                : "No backup of the original: pak0.bak is missing\n");
        }
        // Only a run that backs an archive up says so.
        if (c.unchanged) {
            expected_out.insert(backing_up("pak0.pak").size(), "The interrupted run had not changed pak0.pak\n");
        } else if (new_update) {
            expected_out.insert(backing_up("pak0.pak").size(), "The interrupted update of pak0.pak was finished first\n");
        } else {
            expected_out.replace(kTitle.size(), backing_up("pak0.pak").size() - kTitle.size(),
                                 c.other_backup ? "Finishing the interrupted update of pak0.pak; its backup pak0.bak is "
                                                  "not the archive it was updated from\n"
                                 : c.backup     ? finishing
                                          : "Finishing the interrupted update of pak0.pak; its backup pak0.bak is missing\n");
        }
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, expected_out);
        EXPECT_TRUE(same_bytes(read_file(target()), applied->archive));
        EXPECT_EQ(exists(backup()), c.backup.has_value());
        if (c.backup) {
            EXPECT_TRUE(same_bytes(read_file(backup()), new_update ? finished : *c.backup));
        }
        EXPECT_FALSE(exists(update()));
    }
}

#ifndef _WIN32

namespace {

// The system calls through which a run may change a file.
const char* const kFileCalls[] = {"openat", "write",  "pwrite64",  "ftruncate", "copy_file_range", "sync_file_range",
                                  "fdatasync", "fsync", "rename", "renameat2", "unlink"};

std::string traced_calls() {
    std::string set;
    for (const char* call : kFileCalls) set += (set.empty() ? "" : ",") + std::string(call);
    return set;
}

struct three_files {
    std::optional<std::string> target, backup, update;
};

// Puts the file on the disk and drops it from the page cache, as a restart
// would; false where the file system keeps it in memory all the same.
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

// A trace of one process, its lines without the process id, padded with
// blanks, that -f puts first.
std::string without_pids(const std::string& trace) {
    std::istringstream lines(trace);
    std::string calls;
    for (std::string line; std::getline(lines, line);)
        calls += line.substr(line.find_first_not_of(' ', line.find_first_not_of("0123456789"))) + "\n";
    return calls;
}

}  // namespace

class Interrupted : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        const std::string reason = reason_cannot_trace();
        if (!reason.empty()) GTEST_SKIP() << reason;
    }

    three_files files() const {
        return {pakmodel::read_file(target()), pakmodel::read_file(backup()), pakmodel::read_file(update())};
    }
    void restore(const three_files& state) {
        for (const auto& [file, bytes] : {std::pair{target(), state.target}, std::pair{backup(), state.backup},
                                          std::pair{update(), state.update}}) {
            fs::remove(file);
            if (bytes) write_file(file, *bytes);
        }
    }

    // Runs the tool under strace with `options` and returns the trace.
    std::string traced_run(const std::vector<std::string>& options) {
        std::vector<std::string> argv = {"strace", kNoLeakCheck, "-qq", "-o", path("trace"), "-e",
                                         "trace=" + traced_calls()};
        argv.insert(argv.end(), options.begin(), options.end());
        for (const std::string& variable : environment_) argv.insert(argv.end(), {"-E", variable});
        argv.push_back(tarnwick_exe());
        argv.insert(argv.end(), command_.begin(), command_.end());
        last_status_ = run_program(argv, dir()).status;
        return read_file(path("trace"));
    }

    // Every point at which a run from `state` can be stopped: before the
    // n-th call of each kind of file-changing call it makes.
    std::vector<std::pair<std::string, int>> stop_points(const three_files& state) {
        restore(state);
        std::istringstream trace(traced_run({}));
        std::map<std::string, int> counts;
        for (std::string line; std::getline(trace, line);) ++counts[line.substr(0, line.find('('))];
        std::vector<std::pair<std::string, int>> points;
        for (const char* call : kFileCalls)
            for (int n = 1; n <= counts[call]; ++n) points.emplace_back(call, n);
        return points;
    }

    void stop_at(const std::pair<std::string, int>& point) {
        traced_run({"-e", "inject=" + point.first + ":signal=KILL:when=" + std::to_string(point.second)});
    }

    // At every instant the original is whole in the target or its backup,
    // the update in update.pak or the target, and a target that is neither
    // the original nor the result bears the rewrite mark, or the complete
    // mark once all but its magic is the result's.
    void expect_nothing_lost(const std::string& o, const std::string& u, const std::string& result) {
        const three_files now = files();
        EXPECT_TRUE(now.target == o || now.backup == o);
        EXPECT_TRUE(now.update == u || (now.target && now.target->substr(4) == result.substr(4)));
        if (now.target != o && now.target != result) {
            const std::string target = now.target.value_or("");
            const std::string magic = target.substr(0, 4);
            const bool complete = target.size() >= 4 && target.substr(4) == result.substr(4);
            EXPECT_TRUE(magic == "\x89TWr" || (complete && magic == "\x89TWc")) << magic;
        }
    }

    // A run stopped after its last change to a file has finished; any other
    // is finished by running the same command again.
    void expect_rerun_finishes(const std::string& o, const std::string& result) {
        if (read_file(target()) == result && !exists(update())) {
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
            return;
        }
        // A dry run plans what the rerun does and changes nothing, a killed run's leftover included.
        const auto before = snapshot(dir());
        const run_result dry = run_tarnwick({"--dry-run", "pak0.pak"}, dir());
        EXPECT_EQ(dry.status, 0) << dry.out;
        EXPECT_EQ(snapshot(dir()), before);
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(rerun.status, 0) << rerun.out;
        EXPECT_NE(rerun.out.find("Update of pak0.pak completed!"), std::string::npos) << rerun.out;
        EXPECT_TRUE(same_bytes(read_file(target()), result));
        EXPECT_TRUE(same_bytes(read_file(backup()), o));
        EXPECT_FALSE(exists(update()));
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new"))) << "a killed run's temporary file stayed";
    }

    int last_status_ = 0;
    std::vector<std::string> command_ = {"pak0.pak"};  // what the traced runs are asked
    std::vector<std::string> environment_;             // and the variables they get
};

// Stops a run before each of its file-changing calls in turn, then runs the
// same command again; the run that finishes is itself stopped in turn too.
TEST_F(Interrupted, ARerunFinishesAfterAStopAnywhere) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const std::string result = model_merge(o, u)->archive;
    const three_files fresh{o, std::nullopt, u};
    for (const auto& point : stop_points(fresh)) {
        SCOPED_TRACE(point.first + " #" + std::to_string(point.second));
        restore(fresh);
        stop_at(point);
        EXPECT_EQ(last_status_, 128 + SIGKILL);
        expect_nothing_lost(o, u, result);
        expect_rerun_finishes(o, result);
    }
}

// The rerun that finishes a cut-short rewrite is itself stopped in turn.
TEST_F(Interrupted, ARerunStoppedAnywhereIsFinishedByTheNext) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const std::string result = model_merge(o, u)->archive;
    // The first kernel copy makes the backup; the later ones rewrite the target.
    restore({o, std::nullopt, u});
    stop_at({"copy_file_range", 3});
    const three_files cut_short = files();
    ASSERT_EQ(cut_short.target.value_or("").substr(0, 4), "\x89TWr") << "no run was stopped while rewriting";
    for (const auto& point : stop_points(cut_short)) {
        SCOPED_TRACE("rerun stopped at " + point.first + " #" + std::to_string(point.second));
        restore(cut_short);
        stop_at(point);
        expect_nothing_lost(o, u, result);
        expect_rerun_finishes(o, result);
    }
}

// --undo proves what the rerun proves: after a run is stopped anywhere, with
// update.pak still there or not, it gives the original back, or finds that
// nothing needs undoing because the archive still is the original.
TEST_F(Interrupted, AnUndoAfterAStopAnywhereGivesTheOriginalBack) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const three_files fresh{o, std::nullopt, u};
    bool update_kept = false;
    for (const auto& point : stop_points(fresh)) {
        // Undo never reads update.pak: every other stop removes it, as a user may.
        update_kept = !update_kept;
        SCOPED_TRACE(point.first + " #" + std::to_string(point.second) + (update_kept ? "" : ", update.pak removed"));
        restore(fresh);
        stop_at(point);
        if (!update_kept) fs::remove(update());
        const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
        EXPECT_TRUE(same_bytes(read_file(target()), o)) << undo.out;
        if (undo.status != 0) {
            EXPECT_NE(undo.out.find("its backup pak0.bak is missing"), std::string::npos) << undo.out;
        }
    }
}

// A run ended by a signal while it copies removes its temporary backup,
// leaves a marked target alone, says on standard error what it leaves, and
// ends by that signal, so that the shell sees how it ended; the next run
// finishes the update.
TEST_F(Interrupted, ASignalLeavesNoTemporaryFileAndTheNextRunFinishes) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const std::string result = model_merge(o, u)->archive;
    // The next patch, put in place after the first was applied but for its header.
    const std::string u2 = build_pak({{"A", "patch two"}, {"e", random_bytes(4000, 5)}});
    const std::string complete = "\x89TWc" + result.substr(4);
    const std::string second = model_merge(result, u2)->archive;
    const std::string unchanged = "tarnwick: interrupted; pak0.pak is as it was; running the same command again updates it\n";
    const std::string marked = "tarnwick: interrupted; pak0.pak is half-written and not playable; the original is in "
                               "pak0.bak; running the same command again, once the cause is fixed, finishes the update\n";
    const std::string exchanged = "tarnwick: interrupted; pak0.pak and pak0.bak are exchanged: the undo is done, and "
                                  "their folder was being flushed\n";
    const std::string half_done =
        "tarnwick: interrupted; the undo of pak0.pak is half done; running the same command again finishes it\n";
    // Stopped before its record, as a run killed there leaves it.
    const std::string half_written = "\x89TWr" + o.substr(4);
    const struct {
        const char* label;
        int signal;
        three_files start;
        std::string call;  // and its count: where the signal arrives
        std::string said;  // on standard error
        std::string target, backup;  // right after the signal
        std::string finished, original;  // target and backup once the next run is over; "" for no next run
        std::vector<std::string> command = {"pak0.pak"};
        std::string second = "";  // another call that brings a second signal, while the first is handled
        bool three_renames = false;  // an undo on a file system without the exchange
        std::optional<std::string> undone = std::nullopt;  // the target once the next --undo is over, if one runs
        std::optional<std::string> log = std::nullopt;  // where given, all of standard output, sent into a file
    } cases[] = {
        // The first kernel copy makes the backup, the later ones rewrite the target.
        {"SIGINT while the backup is copied", SIGINT, {o, std::nullopt, u}, "copy_file_range:when=1", unchanged, o, "",
         result, o},
        {"SIGTERM while the backup is copied", SIGTERM, {o, std::nullopt, u}, "copy_file_range:when=1", unchanged, o,
         "", result, o},
        {"SIGHUP while the backup is copied", SIGHUP, {o, std::nullopt, u}, "copy_file_range:when=1", unchanged, o, "",
         result, o},
        {"SIGINT while the target is rewritten", SIGINT, {o, std::nullopt, u}, "copy_file_range:when=2", marked, "",
         o, result, o},
        {"SIGTERM while the target is rewritten", SIGTERM, {o, std::nullopt, u}, "copy_file_range:when=2", marked, "",
         o, result, o},
        {"SIGHUP while the target is rewritten", SIGHUP, {o, std::nullopt, u}, "copy_file_range:when=2", marked, "", o,
         result, o},
        {"SIGINT while a finished rewrite is backed up for the next patch", SIGINT, {complete, o, u2},
         "copy_file_range:when=1", unchanged, result, o, second, result},
        {"SIGINT while a finished rewrite is rewritten with the next patch", SIGINT, {complete, o, u2},
         "copy_file_range:when=2", marked, "", result, second, result},
        {"SIGINT during a dry run", SIGINT, {o, std::nullopt, u}, "flock:when=2", "tarnwick: interrupted\n", o, "",
         result, o, {"--dry-run", "pak0.pak"}},
        // A signal waits for the end of a mark's write and flush, and meets the note set after it.
        {"SIGINT while the mark is flushed", SIGINT, {o, std::nullopt, u}, "fdatasync:when=2", marked, "", o, result,
         o},
        {"SIGINT while the rewritten members are flushed and read back", SIGINT, {o, std::nullopt, u},
         "fdatasync:when=4", marked, "", o, result, o},
        {"SIGINT while the result's directory place is flushed, the record still there", SIGINT, {o, std::nullopt, u},
         "fdatasync:when=5", marked, "", o, result, o},
        {"SIGINT while the cut that drops the record is flushed", SIGINT, {o, std::nullopt, u}, "fdatasync:when=6",
         marked, "", o, result, o},
        {"SIGINT while the complete mark is flushed", SIGINT, {o, std::nullopt, u}, "fdatasync:when=7", marked,
         "\x89TWc" + result.substr(4), o, result, o},
        {"SIGINT while the magic is flushed", SIGINT, {o, std::nullopt, u}, "fdatasync:when=8",
         "tarnwick: interrupted\n", result, o, "", ""},
        // A run stopped after its mark, before anything else changed: the mark comes off first.
        {"SIGTERM while the mark is taken off", SIGTERM, {"\x89TWr" + o.substr(4), o, u}, "fdatasync:when=1",
         unchanged, o, o, result, o},
        // A killed run says nothing more, but every line it printed is in the file.
        {"SIGKILL while the target is rewritten", SIGKILL, {o, std::nullopt, u}, "copy_file_range:when=2", "", "", o,
         result, o, {"pak0.pak"}, "", false, std::nullopt,
         backing_up("pak0.pak") + "Updating pak0.pak...\nUpdating B : 5 bytes\n"},
        {"SIGKILL while the magic is flushed", SIGKILL, {o, std::nullopt, u}, "fdatasync:when=8", "", result, o, "", "",
         {"pak0.pak"}, "", false, std::nullopt,
         backing_up("pak0.pak") + "Updating pak0.pak...\nUpdating B : 5 bytes\nUpdating d : 5000 bytes\n"},
        // Each of an undo's renames is a step a signal waits for: it meets the note of the names the step left.
        {"SIGINT as an undo exchanges", SIGINT, {result, o, u}, "renameat2:when=1", exchanged, o, result, result, o,
         {"--undo", "pak0.pak"}, "", false, result},
        {"SIGTERM as an undo exchanges", SIGTERM, {result, o, u}, "renameat2:when=1", exchanged, o, result, result, o,
         {"--undo", "pak0.pak"}, "", false, result},
        {"SIGHUP as an undo exchanges", SIGHUP, {result, o, u}, "renameat2:when=1", exchanged, o, result, result, o,
         {"--undo", "pak0.pak"}, "", false, result},
        {"SIGINT as an undo flushes its folder", SIGINT, {result, o, u}, "fsync:when=1", exchanged, o, result, result,
         o, {"--undo", "pak0.pak"}, "", false, result},
        {"SIGINT as an undo of a complete archive puts its magic on", SIGINT, {complete, o, u}, "fdatasync:when=1",
         "tarnwick: interrupted\n", result, o, result, o, {"--undo", "pak0.pak"}, "", false, o},
        {"SIGINT as an undo restores a half-written archive", SIGINT, {half_written, o, u}, "rename:when=1",
         "tarnwick: interrupted; the original from pak0.bak is back in the place of pak0.pak: the undo is done, and "
         "their folder was being flushed\n", o, "", result, o, {"--undo", "pak0.pak"}},
#ifdef TARNWICK_LYING_COPY
        {"SIGINT as an undo makes its first rename", SIGINT, {result, o, u}, "renameat2:when=1", half_done, "", o,
         result, o, {"--undo", "pak0.pak"}, "", true, o},
        {"SIGTERM as an undo makes its second rename", SIGTERM, {result, o, u}, "renameat2:when=2", half_done, o, "",
         result, o, {"--undo", "pak0.pak"}, "", true, o},
        {"SIGHUP as an undo makes its third rename", SIGHUP, {result, o, u}, "renameat2:when=3", exchanged, o, result,
         result, o, {"--undo", "pak0.pak"}, "", true, result},
        {"SIGINT as a run finishes an interrupted undo", SIGINT, {std::nullopt, o, u}, "renameat2:when=2", exchanged,
         o, result, result, o, {"pak0.pak"}, "", true},
#endif
        // The title, its rule and the backing-up line are the first three writes.
        {"SIGHUP while a SIGINT is handled", SIGINT, {o, std::nullopt, u}, "copy_file_range:when=1", unchanged, o, "",
         result, o, {"pak0.pak"}, "write:signal=" + std::to_string(SIGHUP) + ":when=4"},
    };
    const std::string third = path("pak0.pak.tarnwick-undo");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        restore(c.start);
        fs::remove(third);
        // A run that starts where an undo stopped after its first rename.
        if (!c.start.target) write_file(third, result);
        const std::string call = c.call.substr(0, c.call.find(':'));
        const std::string second_call = c.second.substr(0, c.second.find(':'));
        std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" >log 2>err", "sh", "strace", kNoLeakCheck, "-qq",
                                         "-o", "/dev/null", "-e",
                                         "trace=" + call + (c.second.empty() ? "" : "," + second_call), "-e",
                                         "inject=" + call + ":signal=" + std::to_string(c.signal) +
                                             c.call.substr(c.call.find(':'))};
        if (!c.second.empty()) argv.insert(argv.end(), {"-e", "inject=" + c.second});
#ifdef TARNWICK_LYING_COPY
        if (c.three_renames) {
            argv.insert(argv.end(), {"-E", "LD_PRELOAD=" TARNWICK_LYING_COPY, "-E", "TARNWICK_TEST_NO_EXCHANGE=1", "-E",
                                     "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"});
        }
#endif
        argv.push_back(tarnwick_exe());
        argv.insert(argv.end(), c.command.begin(), c.command.end());
        EXPECT_EQ(run_program(argv, dir()).status, 128 + c.signal);
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new")));
        const three_files now = files();
        const bool undoing = c.command[0] == "--undo" || !c.start.target;
        if (undoing) {
            // Each archive is under one of the three names; a half-done undo's third holds the update.
            EXPECT_TRUE(same_bytes(now.target.value_or(""), c.target));
            EXPECT_EQ(read_file(third), c.three_renames && (c.target.empty() || c.backup.empty()) ? result : "");
        } else if (c.target.empty()) {
            EXPECT_EQ(now.target.value_or("").substr(0, 4), "\x89TWr");
        } else {
            EXPECT_TRUE(same_bytes(now.target.value_or(""), c.target));
        }
        EXPECT_EQ(now.backup.value_or(""), c.backup);
        EXPECT_EQ(read_file(path("err")), c.said);
        if (c.log) {
            EXPECT_EQ(read_file(path("log")), *c.log);
        }
        if (c.undone) {
            const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
            EXPECT_EQ(undo.status, 0) << undo.out;
            EXPECT_TRUE(same_bytes(read_file(target()), *c.undone));
            EXPECT_FALSE(exists(third));
        }
        if (c.finished.empty()) continue;
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(rerun.status, 0) << rerun.out;
        EXPECT_TRUE(same_bytes(read_file(target()), c.finished));
        EXPECT_TRUE(same_bytes(read_file(backup()), c.original));
        EXPECT_FALSE(exists(update()));
    }
    // A signal the caller ignores, as nohup does, stays ignored.
    restore({o, std::nullopt, u});
    const run_result ignored = run_program(
        {"sh", "-c", "trap '' HUP; exec \"$@\" 2>err", "sh", "strace", kNoLeakCheck, "-qq", "-o", "/dev/null", "-e",
         "trace=copy_file_range", "-e", "inject=copy_file_range:signal=" + std::to_string(SIGHUP) + ":when=2",
         tarnwick_exe(), "pak0.pak"},
        dir());
    EXPECT_EQ(ignored.status, 0);
    EXPECT_EQ(read_file(path("err")), "");
    EXPECT_TRUE(same_bytes(read_file(target()), result));
}

// A file changed or replaced by something else while a run is held at one
// of its steps is caught before the next step that relies on it: before the
// backup takes its name nothing has changed; once the target is marked, the
// rerun refuses an update.pak other than the one it was applying; and an
// update.pak that is no longer the one applied stays. No such run ends in
// "completed" with bytes the user did not ask for.
TEST_F(Interrupted, AFileChangedDuringTheRunIsCaughtBeforeTheStepThatReliesOnIt) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const std::string next = build_pak({{"B", "next b"}, {"e", random_bytes(5000, 4)}});
    const std::string other = build_pak({{"other", random_bytes(7000, 6)}});
    // The same archive with one byte of a member's data changed.
    std::string retouched = o;
    retouched[100] = static_cast<char>(~retouched[100]);
    const auto merged = model_merge(o, u);
    ASSERT_TRUE(merged);
    const std::string changed_update = kBanner + "Cannot update pak0.pak: update.pak changed during the run\n";
    const std::string name_taken = kBanner + "Cannot update pak0.pak: another file took its name during the run\n";
    const std::string report = "\n---------------------------------------\nUpdate of pak0.pak completed!\n\n"
                               "Backup of original in pak0.bak\nThanks for using tarnwick!\n";
    const std::string marked = "\x89TWr";  // a target bearing the rewrite mark
    const std::string same_length = build_pak({{"B", "NEW B"}, {"d", random_bytes(5000, 4)}});
    const std::string changed_backup_part =
        "its backup pak0.bak was changed by another program and no longer holds the original";
    const std::string changed_backup = kBanner + "Cannot update pak0.pak: " + changed_backup_part +
                                       ", which may now be on no disk; pak0.pak is half-written and not playable. Put "
                                       "a copy of the original back as pak0.pak, or reinstall the archive\n";
    std::string changed_report = report;
    changed_report.replace(changed_report.find("Backup of original in pak0.bak"), 30,
                           "No backup of the original: pak0.bak was changed by another program during the run");
    const struct {
        const char* label;
        const char* hold;    // the call the run is held in, and its count
        const char* change;  // run while the run is held
        int status;
        std::string out;     // the end of the held run's output
        std::string target;
        std::optional<std::string> backup, update;
        std::string said = "";  // the end of its standard error
        // What running the same command again then makes of the target.
        std::optional<std::string> rerun = std::nullopt;
        // For a marked target, a part of the refusal of a rerun.
        std::string rerun_refused = "update.pak is not the update it was applying";
        bool resumed = false;  // the held run finishes one cut short with its record
    } cases[] = {
        {"update.pak rewritten in place while the backup is copied", "copy_file_range:when=1",
         "cp next.pak update.pak", 1, changed_update, o, std::nullopt, next, "", model_merge(o, next)->archive},
        {"update.pak rewritten in place while the backup is flushed", "fdatasync:when=1", "cp next.pak update.pak", 1,
         changed_update, o, std::nullopt, next, "", model_merge(o, next)->archive},
        {"pak0.pak rewritten in place while the backup is copied", "copy_file_range:when=1", "cp retouched.pak pak0.pak",
         1, kBanner + "Cannot update pak0.pak: it changed during the run\n", retouched, std::nullopt, u, "",
         model_merge(retouched, u)->archive},
        {"pak0.pak renamed over while the backup is copied", "copy_file_range:when=1", "mv other.pak pak0.pak", 1,
         name_taken, other, std::nullopt, u},
        {"pak0.pak renamed over while the backup is flushed", "fdatasync:when=1", "mv other.pak pak0.pak", 1,
         name_taken, other, std::nullopt, u},
        {"pak0.pak rewritten in place once its backup is named", "fsync:when=1", "cp retouched.pak pak0.pak", 1,
         kBanner + "Cannot update pak0.pak: it changed during the run\n", retouched, o, u, "",
         model_merge(retouched, u)->archive},
        {"pak0.pak renamed over while its mark is flushed", "fdatasync:when=2", "mv other.pak pak0.pak", 1, name_taken,
         other, o, u,
         "tarnwick: the half-written archive no longer has the name pak0.pak, which another file took; the original "
         "is in pak0.bak\n"},
        {"pak0.pak renamed over while it is rewritten", "copy_file_range:when=2", "mv other.pak pak0.pak", 1,
         name_taken, other, o, u},
        {"pak0.pak renamed over while its complete mark is flushed", "fdatasync:when=7", "mv other.pak pak0.pak", 1,
         name_taken, other, o, u,
         "tarnwick: the updated archive, complete but for its header, no longer has the name pak0.pak, which another "
         "file took; the original is in pak0.bak\n"},
        {"update.pak rewritten in place while the target is rewritten", "copy_file_range:when=2",
         "cp next.pak update.pak", 1, changed_update, marked, o, next},
        {"update.pak rewritten in place with other bytes of the same length", "copy_file_range:when=2",
         "cp same-length.pak update.pak", 1, changed_update, marked, o, same_length},
        {"update.pak rewritten in place, its modification time put back", "copy_file_range:when=2",
         "cp -p update.pak kept.pak && cp same-length.pak update.pak && touch -r kept.pak update.pak", 1,
         changed_update, marked, o, same_length},
        {"update.pak renamed over while the target is rewritten", "copy_file_range:when=2", "mv next.pak update.pak", 0,
         "update.pak was replaced during the run and was not applied; it stays for the next run\n" + report,
         merged->archive, o, next},
        {"update.pak rewritten in place while the complete mark is flushed", "fdatasync:when=7",
         "cp next.pak update.pak", 0,
         "update.pak changed during the run, after it was applied; it stays for the next run\n" + report,
         merged->archive, o, next},
        {"update.pak removed by something else while the complete mark is flushed", "fdatasync:when=7",
         "rm update.pak", 0, "update.pak was removed by something else during the run\n" + report, merged->archive, o,
         std::nullopt},
        {"update.pak touched while the target is rewritten, its bytes the same", "copy_file_range:when=2",
         "touch -d @0 update.pak", 0, report, merged->archive, o, std::nullopt},
        {"update.pak rewritten and put back while the target is rewritten", "copy_file_range:when=2",
         "cp update.pak kept.pak && cp same-length.pak update.pak && cp kept.pak update.pak", 0, report,
         merged->archive, o, std::nullopt},
        // Once sealed the target has no record: the rerun proves it by update.pak's bytes.
        {"update.pak rewritten in place while the result's place is flushed", "fdatasync:when=5",
         "cp same-length.pak update.pak", 1, changed_update, marked, o, same_length, "", std::nullopt,
         "it was rewritten whole with an update that update.pak no longer holds"},
        {"update.pak rewritten in place while the cut is flushed", "fdatasync:when=6", "cp next.pak update.pak", 1,
         changed_update, marked, o, next, "", std::nullopt,
         "it was rewritten whole with an update that update.pak no longer holds"},
        // The backup is the rewrite's only source of the original's bytes.
        {"pak0.bak rewritten in place once it is named", "fsync:when=1", "cp retouched.pak pak0.bak", 1,
         kBanner + "Cannot update pak0.pak: its backup pak0.bak changed during the run\n", o, retouched, u, "",
         merged->archive},
        {"pak0.bak rewritten in place while the mark is flushed", "fdatasync:when=2", "cp retouched.pak pak0.bak", 1,
         changed_backup, marked, retouched, u, "", std::nullopt, changed_backup_part},
        {"pak0.bak rewritten in place while the target is rewritten", "copy_file_range:when=2",
         "cp retouched.pak pak0.bak", 1, changed_backup, marked, retouched, u, "", std::nullopt, changed_backup_part},
        {"pak0.bak replaced while the target is rewritten", "copy_file_range:when=2", "cp retouched.pak new.bak && "
         "mv new.bak pak0.bak", 1, changed_backup, marked, retouched, u, "", std::nullopt, changed_backup_part},
        {"pak0.bak rewritten in place while a resumed rewrite copies", "copy_file_range:when=1",
         "cp retouched.pak pak0.bak", 1, changed_backup, marked, retouched, u, "", std::nullopt, changed_backup_part,
         true},
        {"pak0.bak rewritten in place while the result's place is flushed", "fdatasync:when=5",
         "cp retouched.pak pak0.bak", 0, changed_report, merged->archive, retouched, std::nullopt},
        {"pak0.bak rewritten in place while the complete mark is flushed", "fdatasync:when=7",
         "cp retouched.pak pak0.bak", 0, changed_report, merged->archive, retouched, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        restore({o, std::nullopt, u});
        if (c.resumed) {
            // Cut short at byte 40, its record past the original and the result, as a run leaves it.
            std::string cut_short = marked + merged->archive.substr(4, 36);
            cut_short.resize(std::max(o.size(), merged->archive.size()), '\0');
            restore({with_record(cut_short, o, u), o, u});
        }
        write_file(path("next.pak"), next);
        write_file(path("other.pak"), other);
        write_file(path("retouched.pak"), retouched);
        write_file(path("same-length.pak"), same_length);
        const std::string held_call = std::string(c.hold).substr(0, std::string(c.hold).find(':'));
        const std::string script =
            "rm -f held.out\n" + std::string(kUnderStrace) + " -qq -o held.out -e trace=" + held_call +
            " -e inject=" + c.hold + ":signal=STOP " + tarnwick_exe() + " pak0.pak >first.out 2>first.err & first=$!\n"
            "i=0; until grep -qs 'stopped by SIGSTOP' held.out || [ $i -gt 3000 ]; do i=$((i+1)); sleep 0.01; done\n"
            "held=$(tr -d ' ' </proc/$first/task/$first/children)\n" + c.change + "\nkill -CONT $held\nwait $first";
        EXPECT_EQ(run_program({"sh", "-c", script}, dir()).status, c.status);
        const std::string out = read_file(path("first.out")), said = read_file(path("first.err"));
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), c.out.size())), c.out) << out;
        EXPECT_EQ(said.substr(said.size() - std::min(said.size(), c.said.size())), c.said) << said;
        const three_files now = files();
        if (c.target == marked) {
            EXPECT_EQ(now.target.value_or("").substr(0, 4), marked);
        } else {
            EXPECT_TRUE(same_bytes(now.target.value_or(""), c.target));
        }
        EXPECT_EQ(now.backup, c.backup);
        EXPECT_EQ(now.update, c.update);
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new")));
        if (c.rerun) {
            const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(rerun.status, 0) << rerun.out;
            EXPECT_TRUE(same_bytes(read_file(target()), *c.rerun));
            EXPECT_TRUE(same_bytes(read_file(backup()), c.target));
        }
        if (c.target != marked) continue;
        // The rerun refuses to finish with another update.pak than the one it
        // was applying, or from a changed backup, as --undo does.
        const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
        EXPECT_EQ(rerun.status, 1);
        EXPECT_NE(rerun.out.find(c.rerun_refused), std::string::npos) << rerun.out;
        if (c.rerun_refused == changed_backup_part) {
            EXPECT_EQ(said.find("running the same command again"), std::string::npos) << said;
            const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
            EXPECT_EQ(undo.status, 1);
            EXPECT_NE(undo.out.find("Cannot undo the update of pak0.pak: " + changed_backup_part), std::string::npos)
                << undo.out;
            // What the refusal says the user can do.
            write_file(target(), o);
            const run_result fresh = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(fresh.status, 0) << fresh.out;
            EXPECT_TRUE(same_bytes(read_file(target()), merged->archive));
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
            continue;
        }
        write_file(update(), u);
        expect_rerun_finishes(o, merged->archive);
    }
}

// An update that leaves the archive shorter than it was: the record of what
// a cut-short rewrite is made from still ends the file, so that the next run
// tells the original from another archive of its size and directory place.
TEST_F(Interrupted, TheRecordEndsTheFileOfAnUpdateThatShrinksIt) {
    // An archive a run wrote, with its directory of 4096 entries.
    const std::string o = model_merge(build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}}),
                                      build_pak({}))->archive;
    const std::string u = build_pak({{"B", "b"}});
    const std::string result = model_merge(o, u)->archive;
    ASSERT_LT(result.size(), o.size());
    restore({o, std::nullopt, u});
    // The backup's copy, then update.pak's member: "a" stays in place.
    stop_at({"copy_file_range", 2});
    ASSERT_EQ(read_file(target()).substr(0, 4), "\x89TWr");
    EXPECT_EQ(read_file(target()).size(), o.size() + REWRITE_RECORD_SIZE);
    std::string other = o;
    other[static_cast<std::size_t>(entry_pos(o, 0))] = 'z';
    write_file(backup(), other);
    const run_result refused = run_tarnwick({"pak0.pak"}, dir());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("its backup pak0.bak is not the original that update saved"), std::string::npos)
        << refused.out;
    write_file(backup(), o);
    expect_rerun_finishes(o, result);
}

// An undo stopped before or after any of its calls leaves the two archives
// under their names, exchanged or not, or, where three renames exchange
// them, each under one of the three names; the next undo exchanges them or
// finishes the renames, and a normal run then applies the update again.
// Nothing is lost at any stop.
TEST_F(Interrupted, AnUndoStoppedAnywhereLosesNothing) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}});
    const std::string u = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
    const std::string result = model_merge(o, u)->archive;
    const std::string third = path("pak0.pak.tarnwick-undo");
    // Updated, with update.pak put back; and the same complete but for its magic.
    const three_files states[] = {{result, o, u}, {"\x89TWc" + result.substr(4), o, u}};
    std::vector<std::vector<std::string>> environments = {{}};
#ifdef TARNWICK_LYING_COPY
    environments.push_back({"LD_PRELOAD=" TARNWICK_LYING_COPY, "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0",
                            "TARNWICK_TEST_NO_EXCHANGE=1"});
    // No rename flags at all: plain renames, each once its destination is found free.
    environments.push_back({"LD_PRELOAD=" TARNWICK_LYING_COPY, "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0",
                            "TARNWICK_TEST_NO_EXCHANGE=all"});
#endif
    for (const auto& environment : environments)
    for (const three_files& updated : states) {
        environment_ = environment;
        command_ = {"--undo", "pak0.pak"};
        const auto points = stop_points(updated);
        ASSERT_FALSE(points.empty());
        for (const auto& point : points) {
            SCOPED_TRACE(point.first + " #" + std::to_string(point.second) + " of " + updated.target->substr(0, 4) +
                         (environment.empty() ? "" : " by three renames, " + environment.back()));
            restore(updated);
            fs::remove(third);
            stop_at(point);
            const three_files now = files();
            const bool half_done = exists(third);
            const bool exchanged = now.target == o && !half_done;
            if (half_done) {
                EXPECT_TRUE(same_bytes(read_file(third), result));
                EXPECT_TRUE(now.target == o || now.backup == o);
            } else {
                EXPECT_TRUE(exchanged ? now.backup == result : now.backup == o) << "the backup changed alone";
                EXPECT_TRUE(exchanged || now.target == updated.target || now.target == result);
            }
            const run_result undo = run_tarnwick({"--undo", "pak0.pak"}, dir());
            EXPECT_EQ(undo.status, 0) << undo.out;
            EXPECT_TRUE(same_bytes(read_file(target()), exchanged ? result : o));
            EXPECT_FALSE(exists(third));
            const run_result run = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_TRUE(same_bytes(read_file(target()), result));
            EXPECT_TRUE(same_bytes(read_file(backup()), o));
        }
    }
    environment_.clear();
}

// The backup is on disk before the target changes, and the mark before the
// bytes it covers; update.pak goes only once the new members and directory
// are on disk; the header that ends the run is flushed before the run ends.
// A patch that only adds members or replaces late ones writes into the
// target no more than its members, the directory, the header's magic (4
// bytes, three times) and directory place (8), and the record of what the
// rewrite is made from.
TEST_F(Interrupted, FlushesComeBeforeWhatDependsOnThem) {
    const std::string big_a = random_bytes(100000, 5), big_b = random_bytes(100000, 6);
    const std::string late = build_pak({{"e", ""}, {"a", big_a}, {"b", big_b}, {"c", "old c"}});
    const struct {
        const char* label;
        std::string original, update;
        std::int64_t member_bytes;  // of update.pak
        // pak0.pak, larger than one piece of a copy, is read from the disk: the
        // backup's copy starts no writing out early. Last: a file system
        // that cannot drop it from memory skips the row.
        bool from_disk = false;
    } cases[] = {
        {"a member replaced", build_pak({{"a", "1"}, {"b", "2"}}), build_pak({{"B", "new"}}), 3},
        {"members added", build_pak({{"a", big_a}, {"b", big_b}}), build_pak({{"c", "new c"}, {"d", "dd"}}), 7},
        {"the last member replaced, after an empty one that points past it",
         with_le32(late, entry_pos(late, 0) + 56, 0x10000000), build_pak({{"C", "new c"}, {"d", "dd"}}), 7},
        {"members added to an archive read from the disk", build_pak({{"a", random_bytes((17 << 20) + 5, 7)}}),
         build_pak({{"c", "new c"}, {"d", "dd"}}), 7, true},
    };
    const std::string folder = fs::canonical(dir()).string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        restore({c.original, std::nullopt, c.update});
        if (c.from_disk && !dropped_from_memory(target()))
            GTEST_SKIP() << "the file system keeps " << target() << " in memory";
        std::istringstream trace(traced_run({"-y"}));
        ASSERT_EQ(last_status_, 0);
        // "flush pak0.pak", "change pak0.pak", "remove update.pak", "flush .", and "start pak0.pak" where
        // writing out begins early
        std::vector<std::string> events;
        std::set<std::size_t> marks;  // events that write a mark: 4 bytes at offset 0
        std::size_t place = 0, cut = 0;  // the directory's place written into the header, the cut to length
        std::int64_t written = 0;     // into the target
        for (std::string line; std::getline(trace, line);) {
            const std::string call = line.substr(0, line.find('('));
            std::string file = line.substr(line.find('(') + 1);
            if (call == "copy_file_range") file = file.substr(file.find("], ") + 3);
            if (call == "unlink") {
                events.push_back("remove " + file.substr(1, file.find('"', 1) - 1));
                continue;
            }
            if (call == "rename") {
                const std::size_t to = file.rfind('"', file.rfind('"') - 1) + 1;
                events.push_back("rename " + file.substr(to, file.find('"', to) - to));
                continue;
            }
            const auto open = file.find('<'), close = file.find('>');
            if (open == std::string::npos || close < open || call == "openat") continue;
            file = file.substr(open + 1, close - open - 1);
            file = file == folder ? "." : file.substr(file.rfind('/') + 1);
            // The backup is made under a temporary name, then renamed.
            if (file == "pak0.bak.tarnwick-new") file = "pak0.bak";
            if (file != "." && file != "pak0.pak" && file != "pak0.bak") continue;
            const bool flush = call == "fsync" || call == "fdatasync";
            if (call == "pwrite64" && line.find(", 4, 0) = ") != std::string::npos) marks.insert(events.size());
            if (call == "pwrite64" && line.find(", 8, 4) = ") != std::string::npos) place = events.size();
            if (call == "ftruncate") cut = events.size();
            events.push_back((flush ? "flush " : call == "sync_file_range" ? "start " : "change ") + file);
            if (file == "pak0.pak" && (call == "write" || call == "pwrite64" || call == "copy_file_range"))
                written += std::max(0LL, std::stoll(line.substr(line.rfind(" = ") + 3)));
        }
        EXPECT_LE(written, c.member_bytes + 262144 + 3 * 4 + 8 + REWRITE_RECORD_SIZE);
        // Index of the first `event` at or after `from`, or events.size().
        const auto first = [&](const std::string& event, std::size_t from = 0) {
            while (from < events.size() && events[from] != event) ++from;
            return from;
        };
        // Index of the last `event` before `end`, or events.size().
        const auto last_before = [&](const std::string& event, std::size_t end) {
            std::size_t found = events.size();
            for (std::size_t i = 0; i < end; ++i)
                if (events[i] == event) found = i;
            return found;
        };
        const std::size_t target_changes = first("change pak0.pak"), removal = first("remove update.pak");
        ASSERT_LT(removal, events.size());
        EXPECT_LT(first("flush pak0.bak"), first("rename pak0.bak"));
        EXPECT_LT(first("rename pak0.bak"), first("flush ."));
        EXPECT_LT(first("flush ."), target_changes);
        // The mark is on disk before any byte it stands for changes, and so is
        // the record written after it.
        EXPECT_LT(first("flush pak0.pak", target_changes), first("change pak0.pak", target_changes + 1));
        const std::size_t record = first("change pak0.pak", target_changes + 1);
        EXPECT_LT(first("flush pak0.pak", record), first("change pak0.pak", record + 1));
        const std::size_t data_flushed = last_before("flush pak0.pak", removal);
        EXPECT_LT(data_flushed, removal);
        EXPECT_LT(last_before("change pak0.pak", removal), data_flushed);
        const std::size_t folder_flushed = first("flush .", removal);
        EXPECT_LT(folder_flushed, first("change pak0.pak", removal));
        EXPECT_EQ(events.back(), "flush pak0.pak");
        EXPECT_EQ(events[events.size() - 2], "change pak0.pak");
        // The seal places before it cuts the record away, and the cut is on
        // disk before the complete mark.
        ASSERT_LT(place, cut);
        EXPECT_LT(first("flush pak0.pak", place), cut);
        EXPECT_LT(first("flush pak0.pak", cut), *marks.upper_bound(cut));
        // Writing out begun early is no flush: a flush of the file still
        // comes after it, before any mark, rename or removal relies on it.
        if (c.from_disk)
            EXPECT_EQ(first("start pak0.bak"), events.size());
        else
            EXPECT_LT(first("start pak0.bak"), first("rename pak0.bak"));
        EXPECT_LT(first("start pak0.pak"), removal);
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].rfind("start ", 0) != 0) continue;
            const std::size_t flushed = first("flush " + events[i].substr(6), i);
            ASSERT_LT(flushed, events.size()) << "no flush after " << events[i] << " #" << i;
            for (std::size_t j = i; j < flushed; ++j)
                EXPECT_TRUE(events[j].rfind("rename ", 0) != 0 && events[j].rfind("remove ", 0) != 0 &&
                            marks.count(j) == 0)
                    << events[j] << " #" << j << " before the flush after " << events[i] << " #" << i;
        }
    }
}


// The calls through which a run changes a file, each made to fail in turn:
// every write at an offset, cut to length, flush, rename, exchange, kernel
// copy and removal that a trace of the scenario shows, at its n-th call, with
// EIO (ENOSPC for a write). The call is failed instead of being made
// (strace's inject), so the table proves what the tool reports and how it
// recovers, not what a disk holds after a flush that really failed.
namespace {

// The names the calls have on this CPU; a trace shows which of them a run makes.
const char* const kFailableCalls[] = {"pwrite64", "ftruncate", "copy_file_range", "fdatasync", "fsync",
                                      "rename",   "renameat",  "renameat2",       "unlink",    "unlinkat"};

struct failing_call {
    std::string call;
    int n;
    std::string file;  // as the tool names it in a message
    std::string path = "";  // for a read, the file whose n-th read fails
};

// A strace line's quoted names, in order.
std::vector<std::string> quoted_names(const std::string& line) {
    std::vector<std::string> names;
    for (std::size_t open = line.find('"'); open != std::string::npos;) {
        const std::size_t close = line.find('"', open + 1);
        names.push_back(line.substr(open + 1, close - open - 1));
        open = line.find('"', close + 1);
    }
    return names;
}

// The file a traced call changes, by the name the run gives it: the folder
// is ".", and the backup made under its temporary name is the backup.
std::string changed_file(const std::string& line, const std::string& folder) {
    std::string file;
    const std::vector<std::string> names = quoted_names(line.substr(0, line.find(") = ")));
    const std::size_t open = line.find('<');
    if (line.rfind("rename", 0) == 0) {
        // An exchange writes both; a rename writes its destination.
        file = line.find("RENAME_EXCHANGE") != std::string::npos ? names.front() : names.back();
    } else if (line.rfind("unlink", 0) == 0) {
        file = names.back();
    } else if (open != std::string::npos && open < line.find(',')) {
        file = line.substr(open + 1, line.find('>', open) - open - 1);
        file = file == folder ? "." : file.substr(file.rfind('/') + 1);
    }
    const std::string temp = BACKUP_TEMP_SUFFIX;
    if (file.size() > temp.size() && file.compare(file.size() - temp.size(), temp.size(), temp) == 0)
        file.resize(file.size() - temp.size());
    return file;
}

}  // namespace

class FailingCalls : public Interrupted, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        Interrupted::SetUp();
        o_ = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}, {"c", "333"}});
        u_ = build_pak({{"B", "new b"}, {"d", random_bytes(5000, 3)}});
        result_ = model_merge(o_, u_)->archive;
    }

    // Every call of `state`'s run that can fail, with the file it changes;
    // `clean_out` receives what the run prints when nothing fails.
    std::vector<failing_call> failing_calls(const three_files& state, std::string& clean_out) {
        restore(state);
        std::vector<std::string> argv = {"strace", kNoLeakCheck, kOnlyTracedCalls, "-f", "-qq", "-y",
                                         "-o",     path("trace"), "-e",             "trace="};
        for (const char* call : kFailableCalls) argv.back() += std::string(call) + ",";
        argv.back().pop_back();
        argv.push_back(tarnwick_exe());
        argv.insert(argv.end(), command_.begin(), command_.end());
        const run_result clean = run_program(argv, dir());
        EXPECT_EQ(clean.status, 0) << clean.out;
        clean_out = clean.out;
        std::istringstream trace(without_pids(read_file(path("trace"))));
        const std::string folder = fs::canonical(dir()).string();
        std::map<std::string, int> counts;
        std::vector<failing_call> calls;
        for (std::string line; std::getline(trace, line);) {
            const std::string call = line.substr(0, line.find('('));
            calls.push_back({call, ++counts[call], changed_file(line, folder)});
        }
        return calls;
    }

    // Runs `command_` from `state` with `call` failing; its output and errors
    // go to out_ and errors_.
    int run_failing(const three_files& state, const failing_call& call) {
        restore(state);
        const char* error = call.call == "pwrite64" ? "ENOSPC" : "EIO";
        std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" 2>err", "sh", "strace", kNoLeakCheck, kOnlyTracedCalls,
                                         "-f", "-qq", "-o", path("injected"), "-e", "trace=" + call.call, "-e",
                                         "inject=" + call.call + ":error=" + error + ":when=" + std::to_string(call.n)};
        if (!call.path.empty()) argv.insert(argv.end(), {"-P", call.path});
        // A name as the run spells it, for the calls that take names rather than open files.
        if (!call.path.empty() && call.path[0] != '/') argv.insert(argv.end(), {"-P", path(call.path)});
        argv.push_back(tarnwick_exe());
        argv.insert(argv.end(), command_.begin(), command_.end());
        const run_result run = run_program(argv, dir());
        out_ = run.out;
        errors_ = read_file(path("err"));
        EXPECT_NE(read_file(path("injected")).find(std::string(error) + " ("), std::string::npos) << "not failed";
        return run.status;
    }

    // The failure is reported last, naming the file and the reason, and
    // no update is said to be complete.
    void expect_failure_reported(const failing_call& call) {
        const std::string reason = std::strerror(call.call == "pwrite64" ? ENOSPC : EIO);
        const std::string said =
            kBanner + (call.call == "pread64" ? "Error reading " : "Error writing ") + call.file + ": " + reason + "\n";
        // An undo's rename says which rename failed, and what it left.
        const bool undo_rename = command_[0] == "--undo" && call.call.rfind("rename", 0) == 0;
        if (undo_rename) {
            const std::string last_line = out_.substr(out_.rfind(kBanner) + kBanner.size());
            EXPECT_EQ(last_line.rfind("Cannot undo the update of pak0.pak: ", 0), 0u) << out_;
            EXPECT_NE(last_line.find(reason), std::string::npos) << out_;
            EXPECT_NE(last_line.find(call.file), std::string::npos) << out_;
        } else {
            EXPECT_EQ(out_.substr(out_.size() - std::min(out_.size(), said.size())), said) << out_;
        }
        EXPECT_EQ(out_.find("completed!"), std::string::npos) << out_;
    }

    // After a failed run: standard error tells what is left, nothing is
    // lost, and the same command run again, if anything is left to do,
    // ends the update.
    void expect_run_ends_clean() {
        const three_files now = files();
        // What standard error says is left is what is left. A note is set
        // before the write it speaks of, so one that names both sides of it
        // is true whichever side the failure left.
        const std::string mark = now.target.value_or("").substr(0, 4);
        const bool half_written = errors_.find("half-written") != std::string::npos;
        if (mark == "\x89TWr") {
            // A mark on the original's bytes, which the run was taking off, is "still marked".
            EXPECT_TRUE(half_written || errors_.find("still marked and not playable") != std::string::npos)
                << errors_;
        } else if (mark == "\x89TWc") {
            EXPECT_TRUE(half_written || errors_.find("complete but for its header") != std::string::npos) << errors_;
        } else {
            EXPECT_EQ(errors_.find("half-written and not playable;"), std::string::npos) << errors_;
        }
        expect_nothing_lost(o_, u_, result_);
        if (now.target != result_ || now.update) {
            const run_result rerun = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(rerun.status, 0) << rerun.out;
        }
        EXPECT_TRUE(same_bytes(read_file(target()), result_));
        EXPECT_TRUE(same_bytes(read_file(backup()), o_));
        EXPECT_FALSE(exists(update()));
        EXPECT_FALSE(exists(path("pak0.bak.tarnwick-new"))) << "a failed run's temporary file stayed";
    }

    // Fails each call of the run from `state` in turn, after a dry run from
    // there has made none of them and changed no file.
    void fail_each_call_of_run(const three_files& state) {
        command_ = {"--dry-run", "pak0.pak"};
        std::string dry_out;
        restore(state);
        auto before = snapshot(dir());
        std::vector<failing_call> dry_calls = failing_calls(state, dry_out);
        // It claims the backup's temporary name as the run does, and gives it
        // up at once: the one removal it makes is of that name.
        const std::string dry_trace = read_file(path("trace"));
        dry_calls.erase(std::remove_if(dry_calls.begin(), dry_calls.end(),
                                       [&dry_trace](const failing_call& c) {
                                           return c.call.rfind("unlink", 0) == 0 && c.n == 1 &&
                                                  dry_trace.find("\"pak0.bak.tarnwick-new\")") != std::string::npos;
                                       }),
                        dry_calls.end());
        EXPECT_TRUE(dry_calls.empty()) << dry_trace;
        auto after = snapshot(dir());
        before.erase(path("trace"));
        after.erase(path("trace"));
        EXPECT_TRUE(after == before) << "a dry run changed a file";
        command_ = {"pak0.pak"};
        std::string clean_out;
        const std::vector<failing_call> calls = failing_calls(state, clean_out);
        ASSERT_FALSE(calls.empty());
        for (const failing_call& call : calls) {
            SCOPED_TRACE(call.call + " #" + std::to_string(call.n) + " on " + call.file);
            const int status = run_failing(state, call);
            if (call.call == "copy_file_range") {
                // Redone through the program's own loop: nothing to say.
                EXPECT_EQ(status, 0) << out_;
                EXPECT_EQ(out_, clean_out);
                EXPECT_EQ(errors_, "");
            } else if (call.file == "update.pak") {
                // The update is complete; only update.pak could not go.
                EXPECT_EQ(status, 1);
                EXPECT_EQ(out_, clean_out + kBanner + "Failed to remove update.pak! Remove by hand.\n\n");
                EXPECT_EQ(errors_, "tarnwick: cannot remove update.pak: " + std::string(std::strerror(EIO)) + "\n");
                EXPECT_TRUE(same_bytes(read_file(update()), u_));
            } else {
                EXPECT_EQ(status, 1);
                expect_failure_reported(call);
            }
            expect_run_ends_clean();
        }
    }

    // Fails the first read of each file a fresh run reads: the archive, update.pak
    // and the new backup, which is read back beside its flush and then read
    // back again as the source of the rewritten members.
    void fail_first_reads(const three_files& state) {
        command_ = {"pak0.pak"};
        // Once named, the backup is read as the original of the archive rewritten from it.
        for (const auto& [path, file] : {std::pair{"pak0.pak", "pak0.pak"}, std::pair{"update.pak", "update.pak"},
                                         std::pair{"pak0.bak.tarnwick-new", "pak0.bak"},
                                         std::pair{"pak0.bak", "pak0.pak"}}) {
            // The path as the kernel gives it: the new backup does not exist yet for strace to resolve.
            const failing_call call{"pread64", 1, file, fs::canonical(dir()).string() + "/" + path};
            SCOPED_TRACE(std::string("the first read of ") + path);
            EXPECT_EQ(run_failing(state, call), 1);
            expect_failure_reported(call);
            expect_run_ends_clean();
        }
    }

    // Fails each status read of each name in turn, of the name or of a file
    // open on it: an error, never an answer ("took its name", "replaced").
    void fail_each_stat(const three_files& state) {
        command_ = {"pak0.pak"};
        for (const char* name : {"pak0.pak", "update.pak", "pak0.bak"}) {
            restore(state);
            const run_result counted =
                run_program({"strace", kNoLeakCheck, "-f", "-qq", "-o", path("trace"), "-e", "trace=newfstatat", "-P",
                             name, "-P", path(name), tarnwick_exe(), "pak0.pak"},
                            dir());
            ASSERT_EQ(counted.status, 0) << counted.out;
            const std::string trace = read_file(path("trace"));
            const int count = static_cast<int>(std::count(trace.begin(), trace.end(), '\n'));
            for (int n = 1; n <= count; ++n) {
                SCOPED_TRACE(std::string("the status read #") + std::to_string(n) + " of " + name);
                // The look before an open leaves what it cannot tell to the open, which then succeeds.
                const int status = run_failing(state, {"newfstatat", n, name, name});
                // strace says where it found a name given as the run spells it.
                for (std::size_t at; (at = errors_.find("strace: ")) != std::string::npos;)
                    errors_.erase(at, errors_.find('\n', at) + 1 - at);
                if (status == 0) {
                    EXPECT_EQ(out_, counted.out);
                    continue;
                }
                const std::string last = out_.substr(std::min(out_.size(), out_.rfind(kBanner)));
                EXPECT_NE(last.find(std::strerror(EIO)), std::string::npos) << out_;
                for (const char* answer : {"took its name", "was replaced", "removed by something else", "completed!"})
                    EXPECT_EQ(out_.find(answer), std::string::npos) << out_;
                // Until the plan has read the files, a failure adds no note, and has changed nothing.
                const three_files now = files();
                if (errors_.empty() && now.target == state.target && now.backup == state.backup &&
                    now.update == state.update)
                    errors_ = "half-written";
                expect_run_ends_clean();
            }
        }
    }

    // Fails the archive's last close, after its magic is on the disk: the
    // failure says the update is in, and what became of update.pak.
    void fail_last_close() {
        command_ = {"pak0.pak"};
        const std::string applied = ", and update.pak was removed";
        for (const auto& [state, said] : {std::pair{three_files{o_, std::nullopt, u_}, applied},
                                          std::pair{three_files{"\x89TWc" + result_.substr(4), o_, u_}, applied},
                                          std::pair{three_files{"\x89TWc" + result_.substr(4), o_, std::nullopt},
                                                    std::string()}}) {
            SCOPED_TRACE(state.target->substr(0, 4));
            // The archive's last close: the look for programs holding it closes a handle on it first.
            restore(state);
            const std::string canonical = fs::canonical(target()).string();
            ASSERT_EQ(run_program({"strace", kNoLeakCheck, "-f", "-qq", "-o", path("trace"), "-e", "trace=close", "-P",
                                   canonical, tarnwick_exe(), "pak0.pak"},
                                  dir())
                          .status,
                      0);
            const std::string trace = read_file(path("trace"));
            const int closes = static_cast<int>(std::count(trace.begin(), trace.end(), '\n'));
            EXPECT_EQ(run_failing(state, {"close", closes, "pak0.pak", canonical}), 1);
            EXPECT_EQ(out_.substr(out_.find(kBanner)),
                      kBanner + "Error writing pak0.pak: " + std::strerror(EIO) + "\n");
            EXPECT_EQ(errors_, "tarnwick: pak0.pak is updated" + said + "; only closing it failed\n");
            EXPECT_TRUE(same_bytes(read_file(target()), result_));
            EXPECT_FALSE(exists(update()));
        }
    }

    // Fails each call of an undo from `updated`, the target an update left,
    // whose clean end is `undone`.
    void fail_each_call_of_undo(const three_files& updated, const three_files& undone, const std::string& done) {
        command_ = {"--undo", "pak0.pak"};
        std::string clean_out;
        std::vector<failing_call> calls = failing_calls(updated, clean_out);
        ASSERT_FALSE(calls.empty());
        EXPECT_NE(clean_out.find(done), std::string::npos) << clean_out;
        // Its claim on the backup's temporary name goes last. A removal of it
        // that fails leaves what a killed run leaves, which the next run removes.
        EXPECT_EQ(calls.back().call.rfind("unlink", 0), 0u) << calls.back().call;
        calls.pop_back();
        // The names it gave the archives are on disk before it ends.
        EXPECT_EQ(calls.back().call + " " + calls.back().file, "fsync .");
        for (const failing_call& call : calls) {
            SCOPED_TRACE(call.call + " #" + std::to_string(call.n) + " on " + call.file + " of " +
                         updated.target->substr(0, 4));
            EXPECT_EQ(run_failing(updated, call), 1);
            expect_failure_reported(call);
            // Both archives stay whole; an undo that happened says so.
            const three_files now = files();
            const bool undone_now = now.target == o_;
            EXPECT_EQ(out_.find(done) != std::string::npos, undone_now) << out_;
            // A failed last flush leaves the undo done, and says so, lest it be undone again.
            EXPECT_EQ(errors_.find("only the flush of their folder failed") != std::string::npos,
                      undone_now && call.file == ".")
                << errors_;
            if (undone_now) {
                EXPECT_TRUE(now.backup == undone.backup);
            } else {
                EXPECT_TRUE(now.target == updated.target || now.target == result_);
                EXPECT_TRUE(now.backup == o_);
                const run_result again = run_tarnwick(command_, dir());
                EXPECT_EQ(again.status, 0) << again.out;
            }
            EXPECT_TRUE(same_bytes(read_file(target()), o_));
            EXPECT_TRUE(files().backup == undone.backup);
            EXPECT_TRUE(same_bytes(read_file(update()), u_));
            // The update applies again as it did the first time.
            const run_result run = run_tarnwick({"pak0.pak"}, dir());
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_TRUE(same_bytes(read_file(target()), result_));
            EXPECT_TRUE(same_bytes(read_file(backup()), o_));
        }
    }

    // A target cut short while it was rewritten, as a run stopped there leaves it.
    std::string cut_short() {
        command_ = {"pak0.pak"};
        restore({o_, std::nullopt, u_});
        stop_at({"copy_file_range", 3});
        const std::string target_bytes = read_file(target());
        EXPECT_EQ(target_bytes.substr(0, 4), "\x89TWr");
        return target_bytes;
    }

    std::string out_, errors_;
    std::string o_, u_, result_;
};

TEST_P(FailingCalls, AFailedCallIsReportedAndLosesNothing) {
    const std::string scenario = GetParam();
    if (scenario == "fresh") {
        fail_each_call_of_run({o_, std::nullopt, u_});
        fail_first_reads({o_, std::nullopt, u_});
        fail_each_stat({o_, std::nullopt, u_});
        fail_each_stat({o_, result_, u_});
        fail_last_close();
    } else if (scenario == "already applied") {
        fail_each_call_of_run({result_, o_, u_});
    } else if (scenario == "unmarked") {
        // Marked, then stopped before any other byte changed: the mark comes off first.
        fail_each_call_of_run({"\x89TWr" + o_.substr(4), o_, u_});
    } else if (scenario == "resumed") {
        fail_each_call_of_run({cut_short(), o_, u_});
        const std::string complete = "\x89TWc" + result_.substr(4);
        fail_each_call_of_run({complete, o_, u_});
        fail_each_call_of_run({complete, o_, std::nullopt});
        fail_each_stat({complete, o_, u_});
    } else if (scenario == "undo") {
        const std::string exchanged = "Exchanged pak0.pak and pak0.bak";
        fail_each_call_of_undo({result_, o_, u_}, {o_, result_, u_}, exchanged);
        fail_each_call_of_undo({"\x89TWc" + result_.substr(4), o_, u_}, {o_, result_, u_}, exchanged);
        fail_each_call_of_undo({cut_short(), o_, u_}, {o_, std::nullopt, u_}, "is back in its place");
    }
}

// One test per scenario, so that they run side by side.
INSTANTIATE_TEST_SUITE_P(Scenarios, FailingCalls, ::testing::Values("fresh", "already applied", "unmarked", "resumed", "undo"),
                         [](const ::testing::TestParamInfo<const char*>& scenario) {
                             std::string name = scenario.param;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

#endif

#ifndef _WIN32

// A second run started while a first one is held at each stage of its work
// is refused and changes nothing; the first ends as if it were alone.
TEST_F(Interrupted, ASecondRunNeverOverlapsTheFirst) {
    const std::string o = build_pak({{"a", random_bytes(3000, 1)}, {"b", random_bytes(9000, 2)}});
    const std::string u = build_pak({{"A", "new a"}, {"d", random_bytes(5000, 3)}});
    const auto merged = model_merge(o, u);
    ASSERT_TRUE(merged);
    const std::string tool = tarnwick_exe();
    // The exchange refused before the kernel sees it: the undo's renames are
    // then the calls strace counts. Without the shim its rows are skipped.
    std::optional<std::string> no_exchange;
#ifdef TARNWICK_LYING_COPY
    no_exchange = " -E TARNWICK_TEST_NO_EXCHANGE=1 -E LD_PRELOAD=" TARNWICK_LYING_COPY
                  " -E ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0";
#endif
    // A run on the marked pak0.pak holds pak0.bak's lock from its copy to its report.
    const std::string live_sibling = "Cannot update ../pak0: ../pak0.pak, whose original is in ../pak0.bak, is being "
                                     "updated by another run; run it again when that run ends";
    const struct {
        const char* label;
        const char* hold;         // the call the first run is held in, and its count
        std::string second;       // the second run's command line, in the case folder
        std::string refusal;
        bool resuming = false;    // pak0.pak was cut short while rewriting; pak0.bak holds the original
        std::string first = "pak0.pak";  // or an undo of the update, which pak0.pak then holds
        std::optional<std::string> environment = "";  // strace's -E and -P options for the first run
        bool completing = false;  // pak0.pak was left complete but for its magic; pak0.bak holds the original
    } cases[] = {
        {"same target, while the backup is copied", "copy_file_range:when=1", tool + " pak0.pak",
         "Cannot update pak0.pak: another run is updating it"},
        {"same target, while rewriting", "copy_file_range:when=2", tool + " pak0.pak",
         "Cannot update pak0.pak: another run is updating it"},
        {"another target sharing update.pak, while flushing", "fdatasync:when=3", tool + " pak1.pak",
         "Cannot update pak1.pak: update.pak is in use by another run"},
        {"a target sharing the backup name, while the backup is copied", "copy_file_range:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a dry run of a target sharing the backup name, while the backup is copied", "copy_file_range:when=1",
         "cd other && " + tool + " --dry-run ../pak0",
         "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a dry run of the same target, while rewriting", "copy_file_range:when=2", tool + " --dry-run pak0.pak",
         "Cannot update pak0.pak: another run is updating it"},
        {"an undo of the same target, while rewriting", "copy_file_range:when=2", tool + " --undo pak0.pak",
         "Cannot undo the update of pak0.pak: another run is updating it"},
        {"a target sharing the backup name, while rewriting", "copy_file_range:when=2",
         "cd other && " + tool + " ../pak0", live_sibling},
        {"a target sharing the backup name, while a rewrite cut short is made again", "copy_file_range:when=1",
         "cd other && " + tool + " ../pak0",
         live_sibling, true},
        {"same target, once an undo has exchanged it with its backup", "renameat2:when=1", tool + " pak0.pak",
         "Cannot update pak0.pak: another run is updating it", false, "--undo pak0.pak"},
        {"same target, while an undo by three renames has moved it away", "renameat2:when=1", tool + " pak0.pak",
         "Cannot finish the interrupted undo of pak0.pak: pak0.pak.tarnwick-undo is in use by another run", false,
         "--undo pak0.pak", no_exchange},
        {"a target sharing the backup name, while an undo by three renames has left that name free",
         "renameat2:when=2", "cd other && " + tool + " ../pak0",
         "Cannot update ../pak0: its backup ../pak0.bak is in use by another run", false,
         "--undo pak0.pak", no_exchange},
        // An undo holds the backup's temporary name from before it opens anything.
        {"a target sharing the backup name, while an undo locks the backup's temporary name", "flock:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak"},
        {"a target sharing the backup name, while an undo opens the archive", "openat:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak", " -P pak0.pak"},
        {"a target sharing the backup name, while an undo locks the archive", "flock:when=2",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak"},
        {"a target sharing the backup name, while an undo opens the backup", "openat:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak", " -P pak0.bak"},
        {"a target sharing the backup name, while an undo locks the backup", "flock:when=3",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "--undo pak0.pak"},
        // The first run's report names the backup: it must still be the original when printed.
        {"a target sharing the backup name, while the backup is flushed", "fdatasync:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a target sharing the backup name, while the backup is given its name", "rename:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a target sharing the backup name, while the backup's name is flushed", "fsync:when=1",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a target sharing the backup name, while the mark is flushed", "fdatasync:when=2",
         "cd other && " + tool + " ../pak0", live_sibling},
        {"a target sharing the backup name, while the complete mark is flushed", "fdatasync:when=7",
         "cd other && " + tool + " ../pak0", live_sibling},
        {"a target sharing the backup name, while update.pak's removal is flushed", "fsync:when=2",
         "cd other && " + tool + " ../pak0", live_sibling},
        {"a target sharing the backup name, while the magic is flushed", "fdatasync:when=8",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run"},
        {"a target sharing the backup name, while a complete rewrite is finished", "fdatasync:when=1",
         "cd other && " + tool + " ../pak0", live_sibling, false, "pak0.pak", "", true},
        {"a target sharing the backup name, while a complete rewrite's magic is flushed", "fdatasync:when=2",
         "cd other && " + tool + " ../pak0", "Cannot update ../pak0: its backup ../pak0.bak is in use by another run",
         false, "pak0.pak", "", true},
        {"a dry run of a target sharing the backup name, while a complete rewrite is finished", "fdatasync:when=1",
         "cd other && " + tool + " --dry-run ../pak0",
         "Cannot update ../pak0: ../pak0.pak, whose original is in ../pak0.bak, is being updated by another run; "
         "run it again when that run ends",
         false, "pak0.pak", "", true},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string d = path("case" + std::to_string(index++));
        fs::create_directories(d + "/other");
        for (const std::string name : {"/pak0.pak", "/pak1.pak"}) write_file(d + name, o);
        // Other bytes than the original's, that a wrongly replaced backup would show.
        write_file(d + "/pak0", u);
        write_file(d + "/update.pak", u);
        write_file(d + "/other/update.pak", u);
        std::string first_out = success_stdout("pak0.pak", "pak0.bak", merged->member_lines);
        if (!c.environment) continue;
        const bool undoing = c.first != "pak0.pak";
        if (undoing) {
            write_file(d + "/pak0.pak", merged->archive);
            write_file(d + "/pak0.bak", o);
            first_out = kTitle + "Undoing the update of pak0.pak...\nExchanged pak0.pak and pak0.bak: each now holds "
                                 "what the other held; --undo again exchanges them back\n";
        }
        if (c.resuming || c.completing) {
            write_file(d + "/pak0.pak", c.resuming ? with_record("\x89TWr" + merged->archive.substr(4, 36), o, u)
                                                   : "\x89TWc" + merged->archive.substr(4));
            write_file(d + "/pak0.bak", o);
            first_out.replace(kTitle.size(), backing_up("pak0.pak").size() - kTitle.size(),
                              "The original is already in pak0.bak, saved by an interrupted run\n");
        }
        const std::string sums = "find . -type f ! -name '*.out' ! -name '*.sum' -exec cksum {} + | sort";
        const std::string held_call = std::string(c.hold).substr(0, std::string(c.hold).find(':'));
        const std::string script =
            std::string(kUnderStrace) + *c.environment + " -qq -o held.out -e trace=" + held_call + " -e inject=" +
            c.hold + ":signal=STOP " + tool + " " + c.first + " >first.out 2>&1 & first=$!\n"
            // Held stopped at that call until the second run is over, whatever the machine's speed.
            "i=0; until grep -qs 'stopped by SIGSTOP' held.out || [ $i -gt 3000 ]; do i=$((i+1)); sleep 0.01; done\n"
            "held=$(tr -d ' ' </proc/$first/task/$first/children)\n" +
            sums + " >before.sum\n(" + c.second + ") >second.out 2>&1; echo $? >>second.out\n" + sums +
            " >after.sum\nkill -CONT $held\nwait $first";
        const run_result run = run_program({"sh", "-c", script}, d);
        std::string first_said = read_file(d + "/first.out");
        // strace -P names the path it resolved a relative one into.
        if (first_said.rfind("strace: Requested path", 0) == 0) first_said.erase(0, first_said.find('\n') + 1);
        EXPECT_EQ(run.status, 0) << first_said;
        EXPECT_EQ(first_said, first_out);
        EXPECT_TRUE(same_bytes(read_file(d + "/pak0.pak"), undoing ? o : merged->archive));
        EXPECT_TRUE(same_bytes(read_file(d + "/pak0.bak"), undoing ? merged->archive : o));
        const std::string second = read_file(d + "/second.out");
        EXPECT_NE(second.find(kBanner + c.refusal + "\n"), std::string::npos) << second;
        EXPECT_EQ(second.substr(second.size() - 2), "1\n") << second;
        EXPECT_EQ(read_file(d + "/before.sum"), read_file(d + "/after.sum"));
    }
}

#endif
