// The one file a failed run must not leave behind: the backup being made.
#include <string>

#include "checked_io.h"
#include "file_system.h"

namespace {

std::string& pending()
{
    static std::string path;
    return path;
}

} // namespace

void set_pending_file(const char* path)
{
    pending() = path != nullptr ? path : "";
}

void remove_pending_file()
{
    if (!pending().empty()) {
        (void)remove_path(pending().c_str());
        pending().clear();
    }
}
