// Small /proc files, read and parsed without allocation: what the input probe
// reads many times a second, and what the agent terminal reads to tell what
// runs in front. One reader and one stat parser for both.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "session/unique_fd.hpp"

namespace pellux::proc {

// Reads a whole small file into buf (NUL-terminated). The length, or -1 with
// errno set.
inline ssize_t read_file(const char* path, char* buf, std::size_t cap) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return -1;
    std::size_t len = 0;
    while (len + 1 < cap) {
        ssize_t n = ::read(fd.get(), buf + len, cap - 1 - len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        len += static_cast<std::size_t>(n);
    }
    buf[len] = '\0';
    return static_cast<ssize_t>(len);
}

// A decimal number after any spaces; p moves past it.
inline bool parse_signed(const char*& p, std::int64_t& out) {
    while (*p == ' ') ++p;
    bool negative = *p == '-';
    if (negative) ++p;
    if (*p < '0' || *p > '9') return false;
    std::int64_t value = 0;
    while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
    out = negative ? -value : value;
    return true;
}

// The fields of a /proc stat file after the command name (state, field 3,
// first), or null. The name may hold spaces and parentheses: the fields
// follow its last ')'.
inline const char* stat_fields(const char* buf, std::size_t len) {
    for (std::size_t i = len; i > 0; --i) {
        if (buf[i - 1] == ')') return buf[i] == ' ' ? buf + i + 1 : nullptr;
    }
    return nullptr;
}

// Fields 3 to 8 of a stat file.
struct StatFields {
    char state;
    pid_t ppid;
    pid_t pgrp;
    pid_t session;
    std::int64_t tty_nr;
    pid_t tpgid;
};

inline bool parse_stat(const char* buf, std::size_t len, StatFields& out) {
    const char* p = stat_fields(buf, len);
    if (p == nullptr) return false;
    out.state = *p++;
    std::int64_t v[5];
    for (auto& field : v) {
        if (!parse_signed(p, field)) return false;
    }
    out.ppid = static_cast<pid_t>(v[0]);
    out.pgrp = static_cast<pid_t>(v[1]);
    out.session = static_cast<pid_t>(v[2]);
    out.tty_nr = v[3];
    out.tpgid = static_cast<pid_t>(v[4]);
    return true;
}

// Field 22 of a stat file: when the process started, in clock ticks since boot.
inline bool parse_start_time(const char* buf, std::size_t len, std::int64_t& out) {
    const char* p = stat_fields(buf, len);
    if (p == nullptr) return false;
    ++p;  // the state, field 3
    for (int field = 4; field < 22; ++field) {
        while (*p == ' ') ++p;
        if (*p == '\0') return false;
        while (*p != ' ' && *p != '\0') ++p;
    }
    return parse_signed(p, out);
}

}  // namespace pellux::proc
