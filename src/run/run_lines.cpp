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
