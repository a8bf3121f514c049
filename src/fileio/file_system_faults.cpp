// The seam of the test build tarnwick-faults, never installed: each call of
// file_system.h is counted by its kind on its way to the platform's own
// function, which this build compiles under the name real_*. The variable
// TARNWICK_FAULT="<kind> <n> <what>" picks the n-th call of a kind, and that
// call is not made: with <what> a number, it fails with that system error
// (errno on POSIX, a Win32 error on Windows), turned into the error the run
// sees by the platform's own mapping; with "stop", the process ends there as
// a kill ends it; with "interrupt", it is interrupted there as by Ctrl-C, and
// the call is made only where a commit step holds the interrupt back, as it
// would hold back a real one; with "busy", a lock is found held by another
// run. Faults are separated by ';'. Without the
// variable every call goes through.
// TARNWICK_FAULT_TRACE=1 writes each call's kind and number on standard
// error, to find the number of the call a test is after.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_system.h"
#include "file_system_faults.h"
#include "interruption.h"

decltype(kind_of_path) real_kind_of_path;
decltype(open_native) real_open_native;
decltype(close_native) real_close_native;
decltype(read_native) real_read_native;
decltype(write_native) real_write_native;
decltype(status_of_native) real_status_of_native;
decltype(truncate_native) real_truncate_native;
decltype(sync_native) real_sync_native;
decltype(sync_folder) real_sync_folder;
decltype(sync_renames) real_sync_renames;
decltype(lock_native) real_lock_native;
decltype(rename_path) real_rename_path;
decltype(rename_path_no_replace) real_rename_path_no_replace;
decltype(exchange_paths) real_exchange_paths;
decltype(identity_of_path) real_identity_of_path;
decltype(read_link) real_read_link;
decltype(list_folder) real_list_folder;
decltype(look_at) real_look_at;
decltype(remove_path) real_remove_path;
decltype(kernel_copy) real_kernel_copy;
decltype(begin_commit_step) real_begin_commit_step;
decltype(end_commit_step) real_end_commit_step;

namespace {

enum call_kind : std::size_t {
    OPEN,
    CLOSE,
    READ,
    WRITE,
    TRUNCATE,
    FLUSH,
    FLUSH_FOLDER,  // the flush of a folder's names, or of a file's renames
    RENAME,
    EXCHANGE,
    REMOVE,
    LOCK,
    STATUS,  // what stands at a name or in an open file, and a folder's names
    COPY,    // inside the kernel
    CALL_KINDS
};
constexpr std::array<const char*, CALL_KINDS> KIND_NAMES = {
    "open", "close", "read", "write", "truncate", "flush", "flush-folder",
    "rename", "exchange", "remove", "lock", "status", "copy"};

enum class fault_action {
    none,
    fail,
    stop,
    interrupt,
    busy,
};
struct chosen_fault {
    std::size_t kind;
    long n;
    fault_action action;
    unsigned long code;
};

[[noreturn]] void refuse_fault(const char* text) noexcept
{
    (void)std::fprintf(stderr, "tarnwick-faults: \"%s\" is not \"<kind> <n> <code|stop|interrupt|busy>\", separated by ';'\n",
                       text);
    std::_Exit(2);
}

std::size_t kind_named(const char* name, std::size_t length) noexcept
{
    std::size_t kind = 0;
    while (kind < CALL_KINDS && (std::strlen(KIND_NAMES[kind]) != length ||
                                 std::strncmp(KIND_NAMES[kind], name, length) != 0)) {
        ++kind;
    }
    return kind;
}

// `what`, of `length` bytes: "stop", "interrupt" or a system error code.
void choose_action(chosen_fault& fault, const char* what, std::size_t length) noexcept
{
    const auto is = [what, length](const char* word) {
        return std::strlen(word) == length && std::strncmp(word, what, length) == 0;
    };
    char* end = nullptr;
    if (is("stop")) {
        fault.action = fault_action::stop;
    } else if (is("interrupt")) {
        fault.action = fault_action::interrupt;
    } else if (is("busy")) {
        fault.action = fault_action::busy;
    } else if ((fault.code = std::strtoul(what, &end, 10)) != 0 && end == what + length) {
        fault.action = fault_action::fail;
    }
}

// One "<kind> <n> <what>" of `text`, up to a ';' or the end, after which
// `next` goes on.
chosen_fault fault_from(const char* text, const char*& next) noexcept
{
    const char* semicolon = std::strchr(text, ';');
    const char* end = semicolon == nullptr ? text + std::strlen(text) : semicolon;
    next = semicolon == nullptr ? end : semicolon + 1;
    chosen_fault fault{CALL_KINDS, 0, fault_action::none, 0};
    const char* space = std::strchr(text, ' ');
    char* after_n = nullptr;
    if (space != nullptr && space < end) {
        fault.kind = kind_named(text, static_cast<std::size_t>(space - text));
        fault.n = std::strtol(space + 1, &after_n, 10);
    }
    if (fault.kind != CALL_KINDS && fault.n > 0 && *after_n == ' ' && after_n < end) {
        choose_action(fault, after_n + 1, static_cast<std::size_t>(end - after_n - 1));
    }
    // Only a lock can be held by another.
    if (fault.action == fault_action::none || (fault.action == fault_action::busy && fault.kind != LOCK)) {
        refuse_fault(text);
    }
    return fault;
}

// The faults TARNWICK_FAULT chooses, separated by ';'.
constexpr std::size_t MOST_FAULTS = 4;
std::array<chosen_fault, MOST_FAULTS> faults_chosen() noexcept
{
    std::array<chosen_fault, MOST_FAULTS> faults{};
    faults.fill({CALL_KINDS, 0, fault_action::none, 0});
    const char* text = std::getenv("TARNWICK_FAULT");
    for (std::size_t i = 0; text != nullptr && *text != '\0'; ++i) {
        if (i == MOST_FAULTS) {
            refuse_fault(text);
        }
        faults[i] = fault_from(text, text);
    }
    return faults;
}

// Read before main, so that no handler ever parses it.
const std::array<chosen_fault, MOST_FAULTS> chosen = faults_chosen();
// Counted from every thread: a read back beside a flush, a handler's removal.
std::array<std::atomic<long>, CALL_KINDS> calls_made{};
const bool tracing = std::getenv("TARNWICK_FAULT_TRACE") != nullptr;
std::atomic<int> commit_steps_under_way{0};
std::atomic<bool> interrupted{false};

// An interrupt outside a commit step ends the run before the call; inside
// one it waits, as a real one does, for the step to end.
void interrupt_here()
{
    const bool held_back = commit_steps_under_way > 0;
    interrupted = true;
    deliver_interrupt();
    if (!held_back) {
        let_the_interrupt_end_the_run();
    }
}

int act_on(const chosen_fault& fault)
{
    switch (fault.action) {
    case fault_action::stop:
        end_as_killed();
    case fault_action::interrupt:
        interrupt_here();
        return 0;
    case fault_action::fail:
        return error_from_system(fault.code);
    case fault_action::busy:
    case fault_action::none:
        break;
    }
    return 0;
}

// The fault chosen for this call, or nullptr.
const chosen_fault* count_call(call_kind kind)
{
    const long n = ++calls_made[kind];
    if (tracing) {
        (void)std::fprintf(stderr, "tarnwick-faults: %s %ld\n", KIND_NAMES[kind], n);
    }
    const auto* fault = std::find_if(chosen.begin(), chosen.end(),
                                     [kind, n](const chosen_fault& one) { return one.kind == kind && one.n == n; });
    return fault == chosen.end() ? nullptr : fault;
}

// The error number the call fails with, or 0 when it is to be made.
int fault_at(call_kind kind)
{
    const chosen_fault* fault = count_call(kind);
    return fault == nullptr ? 0 : act_on(*fault);
}

} // namespace

path_kind kind_of_path(const char* path)
{
    // A look that fails finds nothing to refuse, as a failed stat does.
    return fault_at(STATUS) != 0 ? path_kind::file_or_nothing : real_kind_of_path(path);
}

native_handle open_native(const char* path, open_mode mode, int& error)
{
    error = fault_at(OPEN);
    return error != 0 ? NO_NATIVE_HANDLE : real_open_native(path, mode, error);
}

// A close that fails has still given up the handle.
int close_native(native_handle file)
{
    const int error = fault_at(CLOSE);
    const int closed = real_close_native(file);
    return error != 0 ? error : closed;
}

std::int64_t read_native(native_handle file, void* buffer, std::uint32_t count, std::int64_t offset, int& error)
{
    error = fault_at(READ);
    return error != 0 ? -1 : real_read_native(file, buffer, count, offset, error);
}

std::int64_t write_native(native_handle file, const void* buffer, std::uint32_t count, std::int64_t offset,
                          int& error)
{
    error = fault_at(WRITE);
    return error != 0 ? -1 : real_write_native(file, buffer, count, offset, error);
}

bool status_of_native(native_handle file, file_status& status)
{
    const int error = fault_at(STATUS);
    if (error != 0) {
        errno = error;
        return false;
    }
    return real_status_of_native(file, status);
}

int truncate_native(native_handle file, std::int64_t length)
{
    const int error = fault_at(TRUNCATE);
    return error != 0 ? error : real_truncate_native(file, length);
}

int sync_native(native_handle file)
{
    const int error = fault_at(FLUSH);
    return error != 0 ? error : real_sync_native(file);
}

int sync_folder(const char* folder, native_handle on_its_volume)
{
    const int error = fault_at(FLUSH_FOLDER);
    return error != 0 ? error : real_sync_folder(folder, on_its_volume);
}

int sync_renames(native_handle file, const char* folder)
{
    const int error = fault_at(FLUSH_FOLDER);
    return error != 0 ? error : real_sync_renames(file, folder);
}

// Any error refuses the lock, as a file system without locks does.
lock_outcome lock_native(native_handle file)
{
    const chosen_fault* fault = count_call(LOCK);
    if (fault != nullptr && fault->action == fault_action::busy) {
        return lock_outcome::busy;
    }
    return fault != nullptr && act_on(*fault) != 0 ? lock_outcome::refused : real_lock_native(file);
}

int rename_path(const char* from, const char* to)
{
    const int error = fault_at(RENAME);
    return error != 0 ? error : real_rename_path(from, to);
}

int rename_path_no_replace(const char* from, const char* to)
{
    const int error = fault_at(RENAME);
    return error != 0 ? error : real_rename_path_no_replace(from, to);
}

int exchange_paths(const char* a, const char* b)
{
    const int error = fault_at(EXCHANGE);
    return error != 0 ? error : real_exchange_paths(a, b);
}

int identity_of_path(const char* path, file_identity& identity)
{
    const int error = fault_at(STATUS);
    return error != 0 ? error : real_identity_of_path(path, identity);
}

link_state read_link(const char* path, std::string& target, int& error)
{
    error = fault_at(STATUS);
    return error != 0 ? link_state::unreadable : real_read_link(path, target, error);
}

int list_folder(const char* folder, std::vector<std::string>& names)
{
    const int error = fault_at(STATUS);
    return error != 0 ? error : real_list_folder(folder, names);
}

int look_at(const char* path)
{
    const int error = fault_at(STATUS);
    return error != 0 ? error : real_look_at(path);
}

int remove_path(const char* path)
{
    const int error = fault_at(REMOVE);
    return error != 0 ? error : real_remove_path(path);
}

// A copy that fails is one the kernel would not make: the program's own
// loop moves the bytes.
std::int64_t kernel_copy(native_handle from, std::int64_t from_offset, native_handle to, std::int64_t to_offset,
                         std::uint32_t count)
{
    return fault_at(COPY) != 0 ? 0 : real_kernel_copy(from, from_offset, to, to_offset, count);
}

void begin_commit_step()
{
    real_begin_commit_step();
    ++commit_steps_under_way;
}

// An interrupt held back by the step is handled now: POSIX delivers the
// pending signal as the step unlocks, Windows' handler takes the lock.
void end_commit_step()
{
    --commit_steps_under_way;
    real_end_commit_step();
    if (interrupted) {
        let_the_interrupt_end_the_run();
    }
}
