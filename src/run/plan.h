// A run is a plan and its carrying out. The plan reads what is on disk,
// decides where the run starts, makes every refusal that needs no lock
// taken later, and pins every input the run relies on; it changes nothing.
// A dry run prints it, once it has taken every lock the run would take; a
// run carries it out as one straight sequence of steps, each step that
// commits preceded by the check it needs.
#pragma once

#include <string>

#include "backup.h"
#include "journal.h"
#include "merge.h"
#include "pak_format.h"
#include "pending_file.h"
#include "run_files.h"

enum class start_point {
    fresh,              // the target is the original: back it up, then apply update.pak
    already_applied,    // the target already is what update.pak would make of it
    resume_rewrite,     // cut short while rewriting: rewrite it whole from its backup
    finish_complete,    // complete but for its magic, holding update.pak's members or with no update.pak
    finish_then_apply,  // complete but for its magic, and update.pak is another update
    unmark_then_apply,  // marked by a run that changed nothing else: unmark it, then as fresh
};

struct run_plan {
    run_files files;
    start_point start;
    merge_plan merge;
    pak_header original_header;  // of the archive the merge reads from
    pak_header final_header;     // the header a marked target gets when it is finished
    rewrite_record record;       // what the target is rewritten from
    std::int32_t original_length;
    std::int64_t rewrite_from;   // the first byte of the target the rewrite writes
    backup_standing backup;      // of a complete target's backup
    bool dry_run;                // every check and lock of a run; nothing changes
    bool finished_undo;          // an interrupted undo was finished before the plan
    bool holders_unseen;         // some programs could not be looked at for holding the target
    // What the run says first, owed also when it cannot start.
    std::string backing_up;
};

// The plan reads a stage at a time, then decides: the stage first
// (read_rewrite_stage), then what that stage needs. What a stage has read
// goes into one value, and a pure function of it gives the next read, the
// start, or the refusal; the plan makes the read and asks again. Refusals
// made while reading (a damaged header, the limits, a backup that is no
// archive) stand where the read is.
enum class stage_next {
    look_for_update,  // whether update.pak is there
    read_update,      // open update.pak and plan the merge from it
    check_update,     // whether update.pak is the update the target holds
    start,
    refuse,
};
enum class stage_refusal {
    none,
    changed_backup,  // the backup no longer holds the original's bytes
    unknown_update,  // the update a sealed rewrite holds is not there
    other_update,    // update.pak is not the update the record names
    foreign_backup,  // the backup is not the original of the rewrite
    mark_length,     // a complete target's mark does not fit its length
};
struct stage_verdict {
    stage_next next;
    start_point start;      // with stage_next::start
    stage_refusal refusal;  // with stage_next::refuse
};

// A target cut short while it was rewritten, once its backup is proven.
struct resume_facts {
    rewrite_proof proof;
    bool update_looked_for;
    bool update_present;
    bool update_read;
    bool update_checked;
    bool same_update;  // the record's update, or for a sealed target the one it holds
};
stage_verdict decide_resume(const resume_facts& facts);

// A target complete but for its magic.
struct finish_facts {
    bool mark_fits_length;
    bool update_looked_for;
    bool update_present;
    bool update_checked;
    bool update_applied;  // update.pak is the update the target already holds
};
stage_verdict decide_finish(const finish_facts& facts);

// What a fresh run says first, owed also when it cannot start.
std::string backing_up_line(const std::string& target_path);
// Refuses a run whose standard output writes into one of its archives
// (`output_archive`, "" for none), before anything changes.
void refuse_output_into_archive(const std::string& target_path, const std::string& output_archive);
// Refuses a target another program holds open when asked, before anything
// changes: a game reads its pak files by offset for as long as it runs, so a
// rewrite in place under it corrupts what it reads. A program that opens it
// later is not kept out.
void refuse_held_target(run_plan& plan, const std::string& target_path);
// Plans the run on `target_path`; `plan` must be value-initialised, so that
// unused directory slots and the bytes after each name are zero.
// `output_archive` is the archive standard output writes into, or "".
void make_plan(run_plan& plan, const std::string& target_path, const std::string& output_archive, bool dry_run);
// True when the run makes a new backup.
bool backs_up(const run_plan& plan);
// What the run would do, for a dry run.
void print_plan(const run_plan& plan);
// Carries the plan out, with `backup` claimed when the run backs up, and
// returns the exit status.
int carry_out(run_plan& plan, pending_file& backup);
