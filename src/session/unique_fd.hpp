// Owning file descriptor: closed exactly once, when its owner goes away.
#pragma once

#include <unistd.h>

#include <utility>

namespace pellux {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    int release() { return std::exchange(fd_, -1); }

    // Closes the current descriptor (if any) and returns close's result.
    int reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        return old >= 0 ? ::close(old) : 0;
    }

private:
    int fd_ = -1;
};

}  // namespace pellux
