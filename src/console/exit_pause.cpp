// Keeps a console window that Explorer opened for the run until its report
// has been read.
#include <cstdio>

#include "console.h"
#include "exit_pause.h"
#include "terminal.h"

bool pause_before_exit(unsigned console_processes, bool input_is_console, bool output_is_console)
{
    return console_processes == 1 && input_is_console && output_is_console;
}

void pause_if_started_from_explorer()
{
    if (!pause_before_exit(console_process_count(), is_terminal(stdin), is_terminal(stdout))) {
        return;
    }
    print_text("Press Enter to close this window.\n");
    int c = 0;
    do {
        c = std::getchar();
    } while (c != '\n' && c != EOF);
}
