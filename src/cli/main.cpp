#include "checked_io.h"
#include "run_update.h"

int main(int argc, char** argv)
{
    const int status = run_update(command_line_arguments(argc, argv));
    pause_if_started_from_explorer();
    return status;
}
