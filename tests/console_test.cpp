// A run waits for Enter only where its window would otherwise vanish with
// the report: never in a console shared with a shell or with streams
// redirected, where the wait would hang a script.
#include <gtest/gtest.h>

#include "console.h"
#include "exit_pause.h"

TEST(Console, PausesBeforeExitOnlyInAConsoleOfItsOwn) {
    const struct {
        const char* what;
        unsigned console_processes;
        bool input_is_console;
        bool output_is_console;
        bool pause;
    } cases[] = {
        {"started from Explorer", 1, true, true, true},
        {"started in a console, with its shell", 2, true, true, false},
        {"a POSIX terminal, which counts no console processes", 0, true, true, false},
        {"its own console, input redirected", 1, false, true, false},
        {"its own console, output redirected", 1, true, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pause_before_exit(c.console_processes, c.input_is_console, c.output_is_console), c.pause)
            << c.what;
    }
}
