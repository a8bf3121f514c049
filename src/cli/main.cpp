#include "checked_io.h"
#include "run_update.h"

int main(int argc, char** argv)
{
    return run_update(command_line_arguments(argc, argv));
}
