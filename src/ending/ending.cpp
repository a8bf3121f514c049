// What a failed or interrupted run removes and tells, kept for the moment
// it ends.
#include <atomic>
#include <string>
#include <utility>

#include "ending_system.h"
#include "fatal_error.h"
#include "interruption.h"

namespace {

// Read by a signal handler, or on Windows by a console handler on a thread
// of its own: set only once the text it points to is complete, and read
// whole.
std::atomic<const char*> removal{nullptr};
std::atomic<const char*> failure_note{nullptr};
std::atomic<const char*> signal_note{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "a handler may read the notes");
const char* prelude = nullptr;
std::string detail;

} // namespace

void register_removal(const char* path)
{
    removal = path;
}

void clear_removal()
{
    removal = nullptr;
}

void remove_registered_now()
{
    const char* name = removal.exchange(nullptr);
    if (name != nullptr) {
        remove_name_now(name);
    }
}

void clean_up_interrupted_run()
{
    remove_registered_now();
    erase_progress_now();
    write_error_now("tarnwick: interrupted");
    if (const char* note = signal_note.load()) {
        write_error_now("; ");
        write_error_now(note);
    }
    write_error_now("\n");
}

void set_failure_notes(const char* on_failure, const char* on_interrupt)
{
    failure_note = on_failure;
    signal_note = on_interrupt;
}

const char* failure_notice()
{
    return failure_note;
}

void set_failure_prelude(const char* line)
{
    prelude = line;
}

const char* take_failure_prelude()
{
    const char* line = prelude;
    prelude = nullptr;
    return line;
}

void set_failure_detail(std::string note)
{
    detail = std::move(note);
}

std::string take_failure_detail()
{
    std::string note;
    note.swap(detail);
    return note;
}
