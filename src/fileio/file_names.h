// Names: which file a name, an open file or a standard stream is; the
// parts of a path and the names in a folder; giving a file a name, taking
// one away, and putting a folder's names on stable storage.
//
// The calling sequence, for a name that must lead to an open file:
//   checked_file file = open_for_read(path);
//   lock_file(file);
//   if (!path_names(path, file)) ...       the name now leads elsewhere
//   file_state pin = state_of(file);       later: same_state(pin, state_of(file))
//   rename_file(from, to); flush_folder_of(to, file);
// The checks of names answer "nothing there" only when the system says
// so; any other failure of their calls ends the run, as an error reading
// the status of the name, never as an answer. state_of, rename_file and
// flush_folder_of end the run on failure; remove_file, names_in_folder and
// folder_of_run return it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "checked_file.h"

// The one comparison of identities: every question whether two names or
// open files are one file comes down to it.
bool same_identity(const file_identity& a, const file_identity& b);
// Taken on the open file wherever the system allows.
file_state state_of(const checked_file& file);
bool same_state(const file_state& a, const file_state& b);
// The same on every field but the change time, which a rename moves.
bool same_state_but_change_time(const file_state& a, const file_state& b);
// True when both open files are one file.
bool same_open_file(const checked_file& a, const checked_file& b);
// True when `path` names the open `file`, whatever the spelling or link.
bool path_names(const char* path, const checked_file& file);
// True when both paths name one existing file, whatever the spelling or link.
bool same_file(const char* path_a, const char* path_b);
// True when the standard stream (stdout or stderr) writes into the existing
// regular file `path`.
bool output_is_file(std::FILE* stream, const char* path);
// True when writing to `path` would create or write `other`: the same file,
// or a link that leads, through links, to where `other` would be.
bool leads_to(const char* path, const char* other);
// False only when nothing at all is found at `path`.
bool path_exists(const char* path);

// True when the byte at `i` ends a folder part: '/', and on Windows also
// a backslash and a drive's ':'.
bool ends_folder_part(const std::string& path, std::size_t i);
// The folder part of a path as the system reads it, and the last name in it.
std::string folder_of(const std::string& path);
std::string name_of(const std::string& path);
// The current folder's absolute path, or "" where the system cannot tell.
std::string folder_of_run();
// The folder that holds `path`, as the user can find it: for a name
// without one, the current folder's full path.
std::string shown_folder_of(const char* path);
// Appends the names in a folder; 0 or the error of its listing.
int names_in_folder(const std::string& folder, std::vector<std::string>& names);

// Removes the name; "" on success, else the system's reason.
std::string remove_file(const char* path);
// Gives the file `from` the name `to` in one step, replacing what `to` names;
// a failure is a write failure of `to`.
void rename_file(const char* from, const char* to);
// Why a name could not be made or changed in the folder that holds `path`,
// where the folder refuses it: "its folder F refuses the change (reason)".
std::string folder_refusal(const char* path, int error);
// Puts the folder's list of names (a file created or removed in it) on stable
// storage; a folder that cannot be opened for this (written but not read)
// through the flush of the volume that holds `on_its_volume`. Only a system
// without folder flushes passes over it.
void flush_folder_of(const char* path, const checked_file& on_its_volume);
