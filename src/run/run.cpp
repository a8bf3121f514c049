// The run: a plan, then what it would do for a dry run, or its carrying out.
#include "run.h"

#include <memory>
#include <string>

#include "backup.h"
#include "file_names.h"
#include "interruption.h"
#include "pak_format.h"
#include "pending_file.h"
#include "plan.h"

std::string guard_standard_output(const std::string& target_path)
{
    const std::string backup_path = backup_path_for(target_path);
    bool errors_are_unsafe = false;
    std::string taken;
    // The third name holds one of the archives while an undo is half done.
    for (const std::string& archive : {target_path, backup_path, std::string(UPDATE_ARCHIVE_NAME),
                                       target_path + UNDO_TEMP_SUFFIX}) {
        errors_are_unsafe = errors_are_unsafe || output_is_file(stderr, archive.c_str());
        if (taken.empty() && output_is_file(stdout, archive.c_str())) {
            taken = archive;
        }
    }
    if (!taken.empty()) {
        divert_output_to_errors(errors_are_unsafe);
    } else if (errors_are_unsafe) {
        silence_errors();
    }
    return taken;
}

int run_update(const std::string& target_path, const std::string& output_archive, run_mode mode)
{
    catch_interruptions();
    // Value-initialised, so unused entries and the bytes after each name are zero.
    const auto plan = std::make_unique<run_plan>();
    const bool dry_run = mode == run_mode::dry_run;
    // Before the interrupted undo is finished, whose renames would move the
    // file standard output writes into.
    refuse_output_into_archive(target_path, output_archive);
    refuse_held_target(*plan, target_path);
    const bool finished_undo = finish_interrupted_undo(target_path);
    if (finished_undo) {
        // Its renames change no byte a game reads, but put another file
        // under the archive's name.
        refuse_held_target(*plan, target_path);
    }
    make_plan(*plan, target_path, output_archive, dry_run);
    plan->finished_undo = finished_undo;
    // A dry run takes every lock the run takes, so that it refuses what the run would.
    pending_file backup{{NO_FILE, nullptr}, "", "", "", false};
    if (backs_up(*plan)) {
        if (!dry_run) {
            print_text("%s", plan->backing_up.c_str());
            set_failure_prelude(nullptr);
        }
        claim_backup(plan->files.target_path, plan->files.backup_path, backup,
                     dry_run ? leftover::keep : leftover::remove);
    }
    if (dry_run) {
        abandon_pending_file(backup);
        print_plan(*plan);
        return 0;
    }
    return carry_out(*plan, backup);
}
