// Renderings of operating-system errors used in messages.
#pragma once

#include <string>

namespace pellux {

// "ENOENT: No such file or directory": symbolic name and the kernel's
// description, from a fixed table of Linux errors 1..133. Numbers without a
// row render as "UnknownErrno: Unknown errno".
std::string errno_text(int err);

// The C library's description followed by " (os error N)", e.g.
// "Too many open files (os error 24)".
std::string system_error_text(int err);

}  // namespace pellux
