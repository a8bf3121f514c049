// Names: which file a name, an open file or a standard stream is, and
// giving, taking and flushing the names in a folder.
#include "file_names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fatal_error.h"
#include "file_system.h"

bool same_identity(const file_identity& a, const file_identity& b)
{
    return a.volume == b.volume && a.index == b.index && a.index_high == b.index_high;
}

namespace {

// A check that could not look ends the run: its answer would be a guess.
[[noreturn]] void look_failure(const char* path, int error)
{
    fatal_error("Error reading the status of %s: %s", path, std::strerror(error));
}

// False when nothing stands at `path`.
bool identity_at(const char* path, file_identity& identity)
{
    const int error = identity_of_path(path, identity);
    if (error != 0 && error != ENOENT) {
        look_failure(path, error);
    }
    return error == 0;
}

// Where a chain of symbolic links that ends nowhere would create its file, or
// "" when `path` is no such chain.
std::string dangling_link_end(const std::string& path)
{
    constexpr int MAX_LINK_HOPS = 40;
    std::string current = path;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        std::string target;
        int error = 0;
        switch (read_link(current.c_str(), target, error)) {
        case link_state::nothing:
            return hop > 0 ? current : "";
        case link_state::not_link:
            return "";
        case link_state::unreadable:
            look_failure(current.c_str(), error);
        case link_state::link:
            break;
        }
        if (target[0] != '/') {
            target.insert(0, folder_of(current) += '/');
        }
        current = target;
    }
    return "";
}

} // namespace

bool ends_folder_part(const std::string& path, std::size_t i)
{
    const char c = path[i];
    if (c == '/') {
        return true;
    }
    // A drive letter's colon ends a folder part too: "c:pak0" backs up to "c:pak0.bak".
    const bool drive = i == 1 && ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
    return BACKSLASH_SEPARATES_FOLDERS && (c == '\\' || (c == ':' && drive));
}

namespace {

// The index of the byte that ends the path's folder part, or npos.
std::size_t last_separator(const std::string& path)
{
    for (std::size_t i = path.size(); i > 0; --i) {
        if (ends_folder_part(path, i - 1)) {
            return i - 1;
        }
    }
    return std::string::npos;
}

} // namespace

std::string folder_of(const std::string& path)
{
    const std::size_t separator = last_separator(path);
    if (separator == std::string::npos) {
        return ".";
    }
    // "c:pak0" lies in drive c's current folder, "c:." ("c:" alone would be
    // read as the root once a separator is added).
    if (path[separator] == ':') {
        return path.substr(0, separator + 1) + ".";
    }
    // A root keeps its separator: "/", a lone backslash, "c:/".
    const bool root = separator == 0 || (separator == 2 && ends_folder_part(path, 1));
    return path.substr(0, root ? separator + 1 : separator);
}

std::string name_of(const std::string& path)
{
    const std::size_t separator = last_separator(path);
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

int names_in_folder(const std::string& folder, std::vector<std::string>& names)
{
    return list_folder(folder.c_str(), names);
}

bool path_names(const char* path, const checked_file& file)
{
    file_identity named{};
    return identity_at(path, named) && same_identity(named, state_of(file).identity);
}

bool same_file(const char* path_a, const char* path_b)
{
    file_identity a{};
    file_identity b{};
    return identity_at(path_a, a) && identity_at(path_b, b) && same_identity(a, b);
}

bool output_is_file(std::FILE* stream, const char* path)
{
    file_identity output{};
    file_identity named{};
    return identity_of_stream(stream, output) && identity_at(path, named) && same_identity(output, named);
}

bool leads_to(const char* path, const char* other)
{
    if (same_file(path, other)) {
        return true;
    }
    const std::string end = dangling_link_end(path);
    return !end.empty() && name_of(end) == name_of(other) &&
           same_file(folder_of(end).c_str(), folder_of(other).c_str());
}

void flush_folder_of(const char* path, const checked_file& on_its_volume)
{
    const std::string folder = folder_of(path);
    const int error = sync_folder(folder.c_str(), on_its_volume.handle);
    if (error != 0) {
        fatal_error("Error writing %s: %s", folder.c_str(), error_text(error));
    }
}

std::string folder_of_run()
{
    return current_folder();
}

bool path_exists(const char* path)
{
    const int error = look_at(path);
    if (error != 0 && error != ENOENT) {
        look_failure(path, error);
    }
    return error == 0;
}

file_state state_of(const checked_file& file)
{
    file_status status{};
    if (!status_of_native(file.handle, status)) {
        const int error = errno;
        fatal_error("Error reading the status of %s: %s", file.path, error != 0 ? error_text(error) : "unknown");
    }
    return {status.identity, status.size, status.modified, status.changed};
}

bool same_state(const file_state& a, const file_state& b)
{
    return same_state_but_change_time(a, b) && a.changed == b.changed;
}

bool same_state_but_change_time(const file_state& a, const file_state& b)
{
    return same_identity(a.identity, b.identity) && a.size == b.size && a.modified == b.modified;
}

bool same_open_file(const checked_file& a, const checked_file& b)
{
    return same_identity(state_of(a).identity, state_of(b).identity);
}

std::string folder_refusal(const char* path, int error)
{
    return "its folder " + shown_folder_of(path) + " refuses the change (" + error_text(error) + ")";
}

// A new name, or a name given to another file, is the folder's to refuse:
// saying only "Permission denied" sends the user to the file's own rights.
void rename_file(const char* from, const char* to)
{
    const int error = rename_path(from, to);
    if (error != 0) {
        fatal_error("Error writing %s: %s", to,
                    refused_by_folder(error) ? folder_refusal(to, error).c_str() : error_text(error));
    }
}

std::string remove_file(const char* path)
{
    const int error = remove_path(path);
    return error == 0 ? "" : error_text(error);
}

std::string shown_folder_of(const char* path)
{
    const std::string folder = folder_of(path);
    const std::string current = folder == "." ? folder_of_run() : "";
    return current.empty() ? folder : current;
}
