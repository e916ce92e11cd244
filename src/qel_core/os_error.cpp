#include "os_error.hpp"

#include <cstring>

namespace qel_core {

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace qel_core
