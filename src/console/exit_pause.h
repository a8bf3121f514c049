// The pause at the end of a run in a console window of its own.
#pragma once

// Whether the run waits for Enter before it ends. A console that no other
// process shares was opened for this run alone (a double-click in Explorer,
// or an archive dropped on the program) and closes with it, report and
// all. A console shared with a shell, or streams redirected by a script,
// must never wait.
bool pause_before_exit(unsigned console_processes, bool input_is_console, bool output_is_console);
// Called on every way out of the program: in a console of its own, ends
// with "Press Enter to close this window." and reads a line; elsewhere
// returns at once.
void pause_if_started_from_explorer();
