// The plan's decisions, one pure function a stage: from what the stage has
// read, the next read, the start, or the refusal.
#include "plan.h"

namespace {

stage_verdict next(stage_next read)
{
    return {read, start_point::fresh, stage_refusal::none};
}

stage_verdict start_at(start_point start)
{
    return {stage_next::start, start, stage_refusal::none};
}

stage_verdict refusal(stage_refusal why)
{
    return {stage_next::refuse, start_point::fresh, why};
}

} // namespace

stage_verdict decide_resume(const resume_facts& facts)
{
    if (facts.proof == rewrite_proof::changed) {
        return refusal(stage_refusal::changed_backup);
    }
    // Only the update a sealed target was finished with proves its appended
    // members: without one the run refuses before it opens anything more.
    if (facts.proof == rewrite_proof::rewritten_whole && !facts.update_looked_for) {
        return next(stage_next::look_for_update);
    }
    if (facts.proof == rewrite_proof::rewritten_whole && !facts.update_present) {
        return refusal(stage_refusal::unknown_update);
    }
    if (!facts.update_read) {
        return next(stage_next::read_update);
    }
    switch (facts.proof) {
    case rewrite_proof::unchanged:
        return start_at(start_point::unmark_then_apply);
    case rewrite_proof::placed:
        return start_at(start_point::resume_rewrite);
    case rewrite_proof::recorded:
    case rewrite_proof::rewritten_whole:
        if (!facts.update_checked) {
            return next(stage_next::check_update);
        }
        if (facts.same_update) {
            return start_at(start_point::resume_rewrite);
        }
        return refusal(facts.proof == rewrite_proof::recorded ? stage_refusal::other_update
                                                              : stage_refusal::unknown_update);
    case rewrite_proof::changed:
    case rewrite_proof::unproven:
        break;
    }
    return refusal(stage_refusal::foreign_backup);
}

stage_verdict decide_finish(const finish_facts& facts)
{
    if (!facts.mark_fits_length) {
        return refusal(stage_refusal::mark_length);
    }
    if (!facts.update_looked_for) {
        return next(stage_next::look_for_update);
    }
    if (facts.update_present && !facts.update_checked) {
        return next(stage_next::check_update);
    }
    return start_at(facts.update_present && !facts.update_applied ? start_point::finish_then_apply
                                                                  : start_point::finish_complete);
}
