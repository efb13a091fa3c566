#include "session/recording.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>
#include <utility>

namespace pellux {

namespace {

// The length of the valid UTF-8 character that starts `s`, 0 when `s` does
// not start with one. `incomplete` is set when `s` ends inside what is so
// far a valid character (its end may come with the next bytes).
std::size_t character_length(std::string_view s, bool& incomplete) {
    incomplete = false;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= s.size()) {
            incomplete = true;
            return 0;
        }
        const unsigned char b = byte(i);
        if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return 0;
    }
    return length;
}

void append_escaped(std::string& out, std::string_view bytes, std::string* carry) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            // The common case, a run of printable ASCII, in one append.
            std::size_t end = i + 1;
            while (end < bytes.size()) {
                const unsigned char d = static_cast<unsigned char>(bytes[end]);
                if (d < 0x20 || d >= 0x7F || d == '"' || d == '\\') break;
                ++end;
            }
            out.append(bytes.substr(i, end - i));
            i = end;
            continue;
        }
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                default:
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
            }
            ++i;
            continue;
        }
        bool incomplete = false;
        const std::size_t length = character_length(bytes.substr(i), incomplete);
        if (length > 0) {
            out.append(bytes.substr(i, length));
            i += length;
        } else if (incomplete && carry != nullptr) {
            carry->assign(bytes.substr(i));
            return;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD for the one byte that starts nothing valid
            ++i;
        }
    }
}

}  // namespace

void append_json_text(std::string& out, std::string_view bytes, std::string* carry) {
    if (carry != nullptr && !carry->empty()) {
        // The held-back start of a character goes first; the copy is rare
        // (a character split between two reads).
        std::string joined = std::exchange(*carry, std::string());
        joined.append(bytes);
        append_escaped(out, joined, carry);
        return;
    }
    append_escaped(out, bytes, carry);
}

std::expected<std::shared_ptr<Recording>, int> Recording::open(const std::string& path,
                                                               std::uint64_t max_bytes,
                                                               const Header& header) {
    std::string line = "{\"version\": 2, \"width\": " + std::to_string(header.cols) +
                       ", \"height\": " + std::to_string(header.rows) +
                       ", \"timestamp\": " + std::to_string(static_cast<long long>(std::time(nullptr)));
    if (!header.title.empty()) {
        line += ", \"title\": \"";
        append_json_text(line, header.title, nullptr);
        line += '"';
    }
    if (!header.term.empty()) {
        line += ", \"env\": {\"TERM\": \"";
        append_json_text(line, header.term, nullptr);
        line += "\"}";
    }
    line += "}\n";
    if (max_bytes < line.size() + kRecordingEndRoom) return std::unexpected(EINVAL);
    // O_NOFOLLOW: a link planted where the recording goes does not redirect it.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return std::unexpected(errno);
    std::shared_ptr<Recording> recording(new Recording(std::move(fd), max_bytes));
    std::lock_guard lock(recording->mutex_);
    recording->line_ = std::move(line);
    recording->write_line_locked();
    if (recording->stopped_) return std::unexpected(EIO);
    return recording;
}

void Recording::output(std::string_view bytes) noexcept { text_event("o", bytes, output_carry_); }

void Recording::input(std::string_view bytes) noexcept { text_event("i", bytes, input_carry_); }

void Recording::text_event(std::string_view kind, std::string_view bytes, std::string& carry) noexcept {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    try {
        // Escaped, a byte takes at most six: what surely fits goes whole.
        const std::uint64_t bound = 6 * (bytes.size() + carry.size()) + 64;
        if (written_ + bound + kRecordingEndRoom <= max_bytes_) {
            body_.clear();
            append_json_text(body_, bytes, &carry);
            if (!body_.empty()) event_locked(kind);
            return;
        }
        // Near the cap: in small pieces, so that the recording ends as
        // close to it as the events allow, not at the first large one.
        while (!bytes.empty() && !stopped_) {
            const std::string_view piece = bytes.substr(0, kRecordingPieceBytes);
            bytes.remove_prefix(piece.size());
            body_.clear();
            append_json_text(body_, piece, &carry);
            if (!body_.empty()) event_locked(kind);
        }
    } catch (const std::bad_alloc&) {
        stopped_ = true;
    }
}

void Recording::resize(unsigned rows, unsigned cols) noexcept {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    try {
        body_ = std::to_string(cols) + "x" + std::to_string(rows);
        event_locked("r");
    } catch (const std::bad_alloc&) {
        stopped_ = true;
    }
}

void Recording::marker(std::string_view label) noexcept {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    try {
        body_.clear();
        append_json_text(body_, label, nullptr);
        event_locked("m");
    } catch (const std::bad_alloc&) {
        stopped_ = true;
    }
}

void Recording::finish() noexcept {
    marker("end");
    std::lock_guard lock(mutex_);
    stopped_ = true;
}

std::uint64_t Recording::size() const {
    std::lock_guard lock(mutex_);
    return written_;
}

bool Recording::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void Recording::event_locked(std::string_view kind) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char time[32];
    const int n = std::snprintf(time, sizeof time, "[%.6f, \"", seconds);
    line_.assign(time, static_cast<std::size_t>(n > 0 ? n : 0));
    line_.append(kind);
    line_.append("\", \"");
    line_.append(body_);
    line_.append("\"]\n");
    if (written_ + line_.size() + kRecordingEndRoom > max_bytes_) {
        // The last event: a marker that says why the recording ends here
        // (it fits the room kept for it).
        std::snprintf(time, sizeof time, "[%.6f, \"", seconds);
        line_.assign(time);
        line_.append("m\", \"recording stopped: size cap of ");
        line_.append(std::to_string(max_bytes_));
        line_.append(" bytes reached\"]\n");
        write_line_locked();
        stopped_ = true;
        return;
    }
    write_line_locked();
}

void Recording::write_line_locked() noexcept {
    std::string_view rest = line_;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd_.get(), rest.data(), rest.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            stopped_ = true;  // a full disk, a file gone bad: the session goes on without it
            return;
        }
        written_ += static_cast<std::uint64_t>(n);
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace pellux
