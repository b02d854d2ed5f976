#include "platform/system_info.h"

#include <sys/utsname.h>

namespace korvane {

std::string operatingSystemVersion() {
    struct utsname info {};
    if (::uname(&info) != 0) return "";
    return std::string(info.sysname) + " " + info.release;
}

} // namespace korvane
