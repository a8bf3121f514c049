// Exchanging the files at two names, for going back to a backup: in one step
// where the system can; elsewhere by three renames through a third name,
// none of which replaces a file, so that at every instant each file has a
// name and the names left tell how far the exchange went.
#include <cerrno>
#include <cstring>
#include <string>

#include "checked_io.h"
#include "file_system.h"

namespace {

struct rename_step {
    const std::string& from;
    const std::string& to;
    const checked_file& file;  // the file that moves
};
constexpr std::size_t RENAME_STEPS = 3;

// Takes back the first `done` steps, last first. False when one of them
// cannot be taken back.
bool put_back(const rename_step* steps, std::size_t done)
{
    while (done > 0) {
        --done;
        if (rename_path_no_replace(steps[done].to.c_str(), steps[done].from.c_str()) != 0) {
            return false;
        }
        flush_renamed(steps[done].file, steps[done].from);
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
        return "its folder " + shown_folder_of(path.c_str()) + " refuses the change (" + error_text(error) + ")";
    }
    return error_text(error);
}

exchange_failure rename_in_steps(const rename_step* steps, std::size_t next)
{
    for (; next < RENAME_STEPS; ++next) {
        const rename_step& step = steps[next];
        const int error = rename_path_no_replace(step.from.c_str(), step.to.c_str());
        if (error != 0) {
            return {"renaming " + step.from + " to " + step.to, reason_of(error, step.to), put_back(steps, next)};
        }
        if (next + 1 < RENAME_STEPS) {
            flush_renamed(step.file, step.to);
        }
    }
    return {};
}

} // namespace

exchange_names exchange_names_for(const std::string& a, const std::string& b, const std::string& claim)
{
    return {a, b, a + EXCHANGE_TEMP_SUFFIX, claim};
}

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
                                const checked_file& b_file)
{
    if (done == exchange_step::none) {
        const int error = exchange_paths(names.a.c_str(), names.b.c_str());
        if (error == 0) {
            return {};
        }
        if (error != ENOTSUP) {
            return {"exchanging " + names.a + " and " + names.b, reason_of(error, names.a), true};
        }
    }
    pending_file claim{};
    switch (reserve_pending_file(claim, names.b, names.claim, leftover::remove)) {
    case reservation::made:
        break;
    case reservation::held:
        return {"holding " + names.claim, "another run holds it", true};
    case reservation::unremovable:
        return {"holding " + names.claim, "an earlier run left it, and it cannot be removed: " + claim.failure, true};
    }
    const rename_step steps[RENAME_STEPS] = {
        {names.a, names.third, a_file}, {names.b, names.a, b_file}, {names.third, names.b, a_file}};
    exchange_failure failure =
        rename_in_steps(steps, done == exchange_step::a_moved ? 1 : done == exchange_step::b_moved ? 2 : 0);
    abandon_pending_file(claim);
    return failure;
}

std::string move_over(const char* from, const char* to)
{
    const int error = rename_path(from, to);
    return error == 0 ? "" : error_text(error);
}

void flush_renamed(const checked_file& file, const std::string& path)
{
    const std::string folder = folder_of(path);
    const int error = sync_renames(file.handle, folder.c_str());
    if (error != 0) {
        fatal_error("Error writing %s: %s", folder.c_str(), error_text(error));
    }
}
