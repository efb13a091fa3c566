// Error values of the core and the one failure that unwinds.
//
// Ordinary failures travel as values: an Error carries the kind of exception
// the binding raises and the exact message text. Internal failures (a lock
// found poisoned where that cannot happen, a reader thread that cannot start)
// are thrown as InternalFailure and caught only at the binding's boundary.
#pragma once

#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace pellux {

enum class ErrorKind {
    Runtime,    // a running session failed: RuntimeError
    Exception,  // a session could not be started: Exception
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> runtime_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Runtime, std::move(message)});
}

inline std::unexpected<Error> start_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Exception, std::move(message)});
}

// An unrecoverable condition. Unwinding releases (and poisons) the locks on
// the way; the binding turns it into its panic exception.
class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

// The message an internal failure carries when a lock it needed was poisoned.
inline constexpr const char* kPoisonedUnwrap =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

}  // namespace pellux
