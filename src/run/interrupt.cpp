#include "checked_io.h"
#include "interrupt.h"

void clean_up_interrupted_run()
{
    abandon_pending_file_now();
    erase_progress_now();
    write_error_now("tarnwick: interrupted");
    if (const char* note = interrupt_note()) {
        write_error_now("; ");
        write_error_now(note);
    }
    write_error_now("\n");
}
