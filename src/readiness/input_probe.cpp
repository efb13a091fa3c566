// Placeholder until the /proc probe is built: it never claims to know, so
// every read that asks it falls back on markers or quiet output.
#include "readiness/input_probe.hpp"

namespace pellux {

InputProbe::InputProbe(pid_t pid, int master_fd) : pid_(pid), master_fd_(master_fd) {}

void InputProbe::rescan() {}

ProbeLook InputProbe::check(const std::function<bool()>&) {
    reason_ = "not built yet";
    return ProbeLook{InputVerdict::Unknown, false};
}

std::string_view InputProbe::reason() const { return reason_; }

}  // namespace pellux
