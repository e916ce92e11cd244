#pragma once

#include <string>

namespace qel_core {

// Text of an operating-system error number the way the library reports it
// everywhere: the platform's description, then " (os error N)".
std::string os_error_text(int err);

}  // namespace qel_core
