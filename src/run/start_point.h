// Where a run starts: the plan's decision, which the run's lines also name.
#pragma once

enum class start_point {
    fresh,              // the target is the original: back it up, then apply update.pak
    already_applied,    // the target already is what update.pak would make of it
    resume_rewrite,     // cut short while rewriting: rewrite it whole from its backup
    finish_complete,    // complete but for its magic, holding update.pak's members or with no update.pak
    finish_then_apply,  // complete but for its magic, and update.pak is another update
    unmark_then_apply,  // marked by a run that changed nothing else: unmark it, then as fresh
};
