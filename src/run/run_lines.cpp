// The lines a run and a dry run print of the merge, and a run's report.
#include "run_lines.h"

#include <cstddef>

#include "run_files.h"

void report_member(const pak_entry& entry)
{
    print_text("Updating %s : %i bytes\n", shown_text(entry.name.data()).c_str(), entry.file_length);
}

void report_update_members(const pak_directory& update)
{
    for (std::int32_t i = 0; i < update.count; ++i) {
        report_member(update.entries[static_cast<std::size_t>(i)]);
    }
}

void warn_of_repeated_names(const pak_directory& update)
{
    for (std::int32_t i = 0; i < update.count; ++i) {
        const pak_entry& entry = update.entries[static_cast<std::size_t>(i)];
        std::int32_t earlier = 0;
        for (std::int32_t j = 0; j < i; ++j) {
            earlier += names_match(update.entries[static_cast<std::size_t>(j)].name.data(), entry.name.data()) ? 1 : 0;
        }
        if (earlier == 1) {
            print_note("%s holds %s more than once; the game loads only one of them", UPDATE_ARCHIVE_NAME,
                       shown_text(entry.name.data()).c_str());
        }
    }
}

void print_merge_preview(const merge_plan& plan, std::int32_t original_length, std::int64_t start)
{
    for (std::int32_t i = 0; i < plan.update.count; ++i) {
        const pak_entry& entry = plan.update.entries[static_cast<std::size_t>(i)];
        bool replaces = false;
        const char* other_case = replaced_name(plan, entry, replaces);
        print_text("  %s : %i bytes, %s%s%s\n", shown_text(entry.name.data()).c_str(), entry.file_length,
                   replaces ? "replaces" : "adds", other_case != nullptr ? " " : "",
                   other_case != nullptr ? shown_text(other_case).c_str() : "");
    }
    const std::int64_t result_length = plan.data_end + OUTPUT_DIRECTORY_SIZE;
    print_text("  kept: %d of %d members\n", plan.kept, plan.original.count);
    static_assert(MAX_PAK_ENTRIES == 4096, "the size line names the directory's entries");
    print_text("  size: %d bytes now, %lld bytes after; the directory always holds 4,096 entries\n", original_length,
               static_cast<long long>(result_length));
    print_text("  rewritten: %lld bytes, from offset %lld\n", static_cast<long long>(result_length - start),
               static_cast<long long>(start));
}

void print_updating(const run_files& files)
{
    print_text("Updating %s...\n", files.target_path.c_str());
}

void print_original_saved(const run_files& files, backup_standing backup)
{
    switch (backup) {
    case backup_standing::original:
        print_text("The original is already in %s, saved by an interrupted run\n", files.backup_path.c_str());
        return;
    case backup_standing::missing:
        print_text("Finishing the interrupted update of %s; its backup %s is missing\n", files.target_path.c_str(),
                   files.backup_path.c_str());
        return;
    case backup_standing::other:
    case backup_standing::changed:
        print_text("Finishing the interrupted update of %s; its backup %s is not the archive it was updated from\n",
                   files.target_path.c_str(), files.backup_path.c_str());
        return;
    }
}

void print_report(const run_files& files, backup_standing backup)
{
    print_text("\n---------------------------------------\n");
    print_text("Update of %s completed!\n\n", files.target_path.c_str());
    switch (backup) {
    case backup_standing::original:
        print_text("Backup of original in %s\n", files.backup_path.c_str());
        break;
    case backup_standing::missing:
        print_text("No backup of the original: %s is missing\n", files.backup_path.c_str());
        break;
    case backup_standing::other:
        print_text("No backup of the original: %s is another archive\n", files.backup_path.c_str());
        break;
    case backup_standing::changed:
        print_text("No backup of the original: %s was changed by another program during the run\n",
                   files.backup_path.c_str());
        break;
    }
    print_text("Thanks for using tarnwick!\n");
}

void print_thanks()
{
    print_text("\n---------------------------------------\n");
    print_text("Thanks for using tarnwick!\n");
}

std::string backing_up_line(const std::string& target_path)
{
    return "Backing up update target " + target_path + "...\n";
}

void print_dry_run_line(const std::string& target_path, bool finished_undo)
{
    // Finishing an interrupted undo is no part of the update, and the run
    // before it has said what it changed.
    print_text("Dry run of the update of %s: nothing %swas changed\n", target_path.c_str(), finished_undo ? "else " : "");
}

bool print_would_start(start_point start, const run_files& files)
{
    const char* target = files.target_path.c_str();
    switch (start) {
    case start_point::fresh:
        print_text("A run would back up %s to %s, then rewrite it:\n", target, files.backup_path.c_str());
        return true;
    case start_point::already_applied:
        print_text("%s already holds the update in %s: a run would rewrite nothing and remove %s\n", target,
                   UPDATE_ARCHIVE_NAME, UPDATE_ARCHIVE_NAME);
        return false;
    case start_point::resume_rewrite:
        print_text("A run would finish the interrupted update of %s, which was cut short while it was rewritten: "
                   "it would rewrite it whole from its backup %s:\n",
                   target, files.backup_path.c_str());
        return true;
    case start_point::finish_complete:
        print_text("A run would finish the interrupted update of %s: its members and directory are complete, only "
                   "its header is missing%s\n",
                   target, files.update.handle != NO_FILE ? "; update.pak, which it holds, would be removed" : "");
        return false;
    case start_point::unmark_then_apply:
        print_text("A run would take off the mark of an interrupted run that had not changed %s, then back it up "
                   "to %s and rewrite it:\n",
                   target, files.backup_path.c_str());
        return true;
    case start_point::finish_then_apply:
        print_text("A run would finish the interrupted update of %s, whose members and directory are complete, "
                   "then back it up to %s and apply %s to it:\n",
                   target, files.backup_path.c_str(), UPDATE_ARCHIVE_NAME);
        return true;
    }
    return false;
}

void print_holders_unseen(const std::string& target_path)
{
    print_text("Some programs could not be looked at: whether one of them has %s open is not known\n",
               target_path.c_str());
}

void print_finished_first(const run_files& files)
{
    print_text("The interrupted update of %s was finished first\n", files.target_path.c_str());
}

void print_unmarked_first(const run_files& files)
{
    print_text("The interrupted run had not changed %s\n", files.target_path.c_str());
}

void print_already_applied(const run_files& files)
{
    print_text("%s already holds the update in %s: nothing was rewritten, no backup was made\n",
               files.target_path.c_str(), UPDATE_ARCHIVE_NAME);
}

void print_update_left(update_left why)
{
    switch (why) {
    case update_left::removed_elsewhere:
        print_text("%s was removed by something else during the run\n", UPDATE_ARCHIVE_NAME);
        return;
    case update_left::replaced:
        print_text("%s was replaced during the run and was not applied; it stays for the next run\n",
                   UPDATE_ARCHIVE_NAME);
        return;
    case update_left::changed:
        print_text("%s changed during the run, after it was applied; it stays for the next run\n",
                   UPDATE_ARCHIVE_NAME);
        return;
    }
}

void print_undoing(const std::string& target_path)
{
    print_text("Undoing the update of %s...\n", target_path.c_str());
}

void print_restored(const run_files& files)
{
    print_text("%s was half-written by an interrupted update: the original from %s is back in its place, and the "
               "half-written file was dropped\n",
               files.target_path.c_str(), files.backup_path.c_str());
}

void print_exchanged(const run_files& files)
{
    print_text("Exchanged %s and %s: each now holds what the other held; --undo again exchanges them back\n",
               files.target_path.c_str(), files.backup_path.c_str());
}

void print_finished_undo_first(const std::string& target_path, const std::string& other_path)
{
    print_text("Finished the interrupted undo of %s first: it and %s are exchanged\n", target_path.c_str(),
               other_path.c_str());
}
