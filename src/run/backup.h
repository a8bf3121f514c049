// The backup: its name, the temporary file it is made under, the refusals
// that keep it from replacing a file something still needs, and the one
// proof that it holds the original of a marked target. Every line that
// vouches for a backup rests on these.
#pragma once

#include <string>

#include "exchange.h"
#include "journal.h"
#include "pak_format.h"
#include "pending_file.h"
#include "refusals.h"

inline constexpr char BACKUP_SUFFIX[] = ".bak";
inline constexpr char BACKUP_TEMP_SUFFIX[] = ".tarnwick-new";
// The third name an undo's exchange of the target and its backup goes
// through.
inline constexpr char UNDO_TEMP_SUFFIX[] = ".tarnwick-undo";

// The target's path with its last extension replaced by ".bak".
std::string backup_path_for(const std::string& target_path);
// The name the backup is made under before it replaces the earlier one.
std::string backup_temp_path_for(const std::string& backup_path);
// The names an undo exchanges: the target, its backup, and the target's
// name with UNDO_TEMP_SUFFIX between them.
exchange_names undo_names_for(const std::string& target_path, const std::string& backup_path);
// Removes the last extension. '/' separates folders, on Windows also '\'
// and a drive's ':'; the byte at index 0 never starts an extension.
void drop_extension(std::string& path);

// Refuses a backup name that is, or leads to, update.pak, or the other way round.
void refuse_backup_leading_to_update(const std::string& target_path, const std::string& backup_path);
// Refuses a backup that would be the target, one another run is using, and
// an earlier backup that an interrupted update of another archive still
// needs as its original. `verb` is what the refusal says the run cannot do.
void refuse_unusable_backup_name(const std::string& target_path, const std::string& backup_path,
                                 const checked_file& target);
// Claims the backup's temporary name for this run, once the name was found
// usable; a leftover of a killed run is removed first, or for a dry run
// only checked.
void claim_backup(const std::string& target_path, const std::string& backup_path, pending_file& backup,
                  leftover found);

// Opens the existing backup for reading, locked; refuses one another run
// holds, under `lead`.
checked_file open_locked_backup(request_lead lead, const std::string& target_path, const std::string& backup_path);
// Why the file at the backup's name cannot be the original of anything
// ("is missing", "is not a pak file", ...), or nullptr.
const char* backup_fault(const std::string& backup_path);

// What the backup is to a target an interrupted run left marked.
enum class backup_standing {
    missing,
    original,  // proven the original the marked target was rewritten from
    other,     // an archive, but not that original
    changed,   // the run's own backup, changed by another program after it was made
};
// The refusal of a backup the proof does not tie to the target, in the
// same words for the rerun and for --undo.
[[noreturn]] void refuse_foreign_backup(request_lead lead, const std::string& target_path,
                                        const std::string& backup_path);
// The refusal of a backup another program changed while it was the only
// copy of the original: running again cannot help, so no note says to.
[[noreturn]] void refuse_changed_backup(request_lead lead, const std::string& target_path,
                                        const std::string& backup_path);
// The proof for a complete target: its members are those of the backup
// that some update left, in order and of the same lengths, then that
// update's. A backup that is the original stays open in `held`, locked, so
// that no other run replaces it before the report vouches for it; one
// another run holds is refused.
backup_standing standing_of_backup(const pak_directory& complete, const std::string& target_path,
                                   const std::string& backup_path, checked_file& held);
