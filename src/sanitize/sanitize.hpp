// Turns raw terminal output into text an agent can read.
#pragma once

#include <string>
#include <string_view>

namespace pellux {

// Removes terminal control sequences, carriage returns and other control
// bytes (keeping TAB and LF), then decodes the rest as UTF-8, replacing each
// maximal ill-formed subsequence with U+FFFD. The result is always valid
// UTF-8. Pure: touches nothing but its input and its result; any thread.
std::string sanitize_for_agent(std::string_view raw);

}  // namespace pellux
