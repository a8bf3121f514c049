// Exchanging the files at two names, for going back to a backup: in one step
// where the system can; elsewhere by three renames through a third name,
// none of which replaces a file, so that at every instant each file has a
// name and the names left tell how far the exchange went. Each rename is a
// commit step, so that a stop is told what the names are.
#include "exchange.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "fatal_error.h"
#include "file_names.h"
#include "file_system.h"
#include "interruption.h"

namespace {

struct rename_step {
    const std::string& from;
    const std::string& to;
    const checked_file& file;  // the file that moves
};
constexpr std::size_t RENAME_STEPS = 3;

// Where the system has no rename that refuses to replace, a plain rename
// made only once `to` is found free. The caller's claim and locks keep every
// run away; only a file another program makes at `to` between the look and
// the rename would be replaced.
int rename_unless_taken(const std::string& from, const std::string& to)
{
    const int error = rename_path_no_replace(from.c_str(), to.c_str());
    if (error != ENOTSUP) {
        return error;
    }
    return path_exists(to.c_str()) ? EEXIST : rename_path(from.c_str(), to.c_str());
}

void switch_note(const failure_notes& note)
{
    set_failure_notes(note.on_failure, note.on_interrupt);
}

// Takes back the first `done` steps, last first, each a commit step. False
// when one of them cannot be taken back.
bool put_back(const rename_step* steps, std::size_t done)
{
    while (done > 0) {
        --done;
        begin_commit_step();
        const int error = rename_unless_taken(steps[done].to, steps[done].from);
        if (error == 0 && done == 0) {
            // The names are as they were: nothing is left to say.
            set_failure_notes(nullptr, nullptr);
        }
        if (error == 0) {
            flush_renamed(steps[done].file, steps[done].from);
        }
        end_commit_step();
        if (error != 0) {
            return false;
        }
    }
    return true;
}

// Only a regular file at the third name is what an exchange left: Windows
// takes NUL.tarnwick-undo for the device NUL, in every folder.
bool regular_file_at(const std::string& path)
{
    // A named pipe would hold the open until a writer came.
    if (kind_of_path(path.c_str()) != path_kind::file_or_nothing) {
        return false;
    }
    int error = 0;
    const native_handle file = open_native(path.c_str(), open_mode::read, error);
    if (file == NO_NATIVE_HANDLE) {
        return path_exists(path.c_str());
    }
    file_status status{};
    const bool regular = is_disk_file(file) && status_of_native(file, status) && status.regular;
    (void)close_native(file);
    return regular;
}

// The system's reason, or the folder's where the folder refuses the change.
std::string reason_of(int error, const std::string& path)
{
    if (refused_by_folder(error)) {
        return folder_refusal(path.c_str(), error);
    }
    return error_text(error);
}

// Each rename, and the flush that must come before the next, is one commit
// step, which leaves the note of the names it made.
exchange_failure rename_in_steps(const rename_step* steps, std::size_t next, const exchange_notes& notes)
{
    for (; next < RENAME_STEPS; ++next) {
        const rename_step& step = steps[next];
        const bool last = next + 1 == RENAME_STEPS;
        begin_commit_step();
        const int error = rename_unless_taken(step.from, step.to);
        if (error == 0) {
            switch_note(last ? notes.done : notes.half_done);
        }
        if (error == 0 && !last) {
            flush_renamed(step.file, step.to);
        }
        end_commit_step();
        if (error != 0) {
            return {"renaming " + step.from + " to " + step.to, reason_of(error, step.to), put_back(steps, next)};
        }
    }
    return {};
}

} // namespace

exchange_step exchange_step_of(const exchange_names& names)
{
    if (!regular_file_at(names.third)) {
        return exchange_step::none;
    }
    const bool a_there = path_exists(names.a.c_str());
    if (a_there == path_exists(names.b.c_str())) {
        return exchange_step::unclear;
    }
    return a_there ? exchange_step::b_moved : exchange_step::a_moved;
}

exchange_failure exchange_files(const exchange_names& names, exchange_step done, const checked_file& a_file,
                                const checked_file& b_file, const exchange_notes& notes)
{
    if (done == exchange_step::none) {
        begin_commit_step();
        const int error = exchange_paths(names.a.c_str(), names.b.c_str());
        if (error == 0) {
            switch_note(notes.done);
        }
        end_commit_step();
        if (error == 0) {
            return {};
        }
        if (error != ENOTSUP) {
            return {"exchanging " + names.a + " and " + names.b, reason_of(error, names.a), true};
        }
    }
    const rename_step steps[RENAME_STEPS] = {
        {names.a, names.third, a_file}, {names.b, names.a, b_file}, {names.third, names.b, a_file}};
    return rename_in_steps(steps, done == exchange_step::a_moved ? 1 : done == exchange_step::b_moved ? 2 : 0, notes);
}

std::string move_over(const char* from, const char* to)
{
    const int error = rename_path(from, to);
    return error == 0 ? "" : reason_of(error, to);
}

void flush_renamed(const checked_file& file, const std::string& path)
{
    const std::string folder = folder_of(path);
    const int error = sync_renames(file.handle, folder.c_str());
    if (error != 0) {
        fatal_error("Error writing %s: %s", folder.c_str(), error_text(error));
    }
}
