// Questions about paths rather than open files: which file a name (or a
// standard stream) reaches, and flushing or removing a name in its folder.
#include <cstdio>
#include <cstring>
#include <string>

#include "checked_io.h"
#include "file_system.h"

bool same_identity(const file_identity& a, const file_identity& b)
{
    return a.volume == b.volume && a.index == b.index;
}

namespace {

// Where a chain of symbolic links that ends nowhere would create its file, or
// "" when `path` is no such chain.
std::string dangling_link_end(const std::string& path)
{
    constexpr int MAX_LINK_HOPS = 40;
    std::string current = path;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        std::string target;
        switch (read_link(current.c_str(), target)) {
        case link_state::nothing:
            return hop > 0 ? current : "";
        case link_state::not_link:
            return "";
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

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> names_in_folder(const std::string& folder)
{
    std::vector<std::string> names;
    (void)list_folder(folder.c_str(), names);
    return names;
}

bool same_file(const char* path_a, const char* path_b)
{
    file_identity a{};
    file_identity b{};
    return identity_of_path(path_a, a) && identity_of_path(path_b, b) && same_identity(a, b);
}

bool output_is_file(std::FILE* stream, const char* path)
{
    file_identity output{};
    file_identity named{};
    return identity_of_stream(stream, output) && identity_of_path(path, named) && same_identity(output, named);
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

void flush_folder_of(const char* path)
{
    const std::string folder = folder_of(path);
    const int error = sync_folder(folder.c_str());
    if (error != 0) {
        fatal_error("Error writing %s: %s", folder.c_str(), std::strerror(error));
    }
}

std::string folder_of_run()
{
    return current_folder();
}

bool path_exists(const char* path)
{
    return anything_at(path);
}
