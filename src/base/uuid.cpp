#include "base/uuid.h"

#include <cctype>
#include <uuid/uuid.h>

namespace korvane {

std::string makeUuid() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

} // namespace korvane
