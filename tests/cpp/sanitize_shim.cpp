// C entry point to sanitize_for_agent for the Python tests, which load it
// with ctypes.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "sanitize/sanitize.hpp"

// Sanitizes in[0, n) and copies as much of the result as fits into
// out[0, cap). Returns the full length of the result, so a caller whose
// buffer was too small can tell; 3 * n bytes always suffice, as no input
// byte becomes more than one U+FFFD.
extern "C" __attribute__((visibility("default"))) std::size_t pellux_test_sanitize(const char* in, std::size_t n,
                                                                                   char* out,
                                                                                   std::size_t cap) noexcept {
    const std::string text = pellux::sanitize_for_agent(std::string_view(in, n));
    if (cap) std::memcpy(out, text.data(), std::min(text.size(), cap));
    return text.size();
}
