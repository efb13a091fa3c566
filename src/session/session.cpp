// Building, closing and disposing of session records.
#include "session/session.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "session/errno_text.hpp"

namespace pellux {

namespace {

std::expected<UniqueFd, int> dup_cloexec(int fd) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return std::unexpected(errno);
    return UniqueFd(copy);
}

}  // namespace

Session::Session(PtyProcess process_, BufferedWriter writer_, Receiver rx_, ReaderThread reader,
                 std::string command_, bool interactive_, std::size_t max_history_bytes_)
    : max_history_bytes(max_history_bytes_),
      history(max_history_bytes_),
      ready_markers(),
      interactive(interactive_),
      command(std::move(command_)),
      reader_thread(std::move(reader)),
      rx(std::move(rx_)),
      writer(std::move(writer_)),
      process(std::move(process_)) {}

Session::~Session() { close_inner(*this); }

Result<std::unique_ptr<Session>> spawn_session(const std::string& command, bool interactive,
                                               std::size_t max_history_bytes) {
    auto process = PtyProcess::spawn(command, {command});
    if (!process) {
        return start_error("Failed to spawn process with command '" + command +
                           "': " + errno_text(process.error()));
    }
    return attach_session(std::move(*process), command, interactive, max_history_bytes);
}

Result<std::unique_ptr<Session>> attach_session(PtyProcess&& process_, const std::string& command,
                                                bool interactive, std::size_t max_history_bytes) {
    // Owned here from the start, so that every failure below ends the child.
    std::optional<PtyProcess> process(std::move(process_));
    auto raw = process->get_raw_handle();
    if (!raw) return start_error("Failed to get pty handle: " + errno_text(raw.error()));
    auto reader_fd = dup_cloexec(raw->get());
    if (!reader_fd) {
        return start_error("Failed to clone pty handle (reader): " +
                           system_error_text(reader_fd.error()));
    }
    auto writer_fd = dup_cloexec(raw->get());
    if (!writer_fd) {
        return start_error("Failed to clone pty handle (writer): " +
                           system_error_text(writer_fd.error()));
    }
    // Non-blocking, so that a write to a full terminal can wait for room in
    // slices and notice a program that is gone. The flag is shared by every
    // descriptor of this terminal; the reader polls before it reads.
    int flags = ::fcntl(writer_fd->get(), F_GETFL);
    if (flags >= 0) ::fcntl(writer_fd->get(), F_SETFL, flags | O_NONBLOCK);
    BufferedWriter writer(std::move(*writer_fd));
    std::optional<std::pair<Sender, Receiver>> channel;
    try {
        channel.emplace(make_output_channel());
    } catch (const std::system_error& e) {
        // Running out of descriptors is an ordinary failure to start.
        return start_error("Failed to create output channel: " +
                           system_error_text(e.code().value()));
    }
    std::optional<ReaderThread> reader;
    try {
        reader.emplace(spawn_reader_thread(std::move(channel->first), std::move(*reader_fd)));
    } catch (const std::system_error& e) {
        throw InternalFailure("failed to spawn reader thread: " + system_error_text(e.code().value()));
    }
    auto session = std::make_unique<Session>(std::move(*process), std::move(writer),
                                             std::move(channel->second), std::move(*reader), command,
                                             interactive, max_history_bytes);
    raw->reset();  // the record keeps the process's master and the two duplicates
    return session;
}

void store_initial_markers(Session& session, std::optional<std::vector<std::string>> markers) {
    auto lock = session.ready_markers.lock();
    if (!lock) throw InternalFailure(kPoisonedUnwrap);
    **lock = markers ? std::move(*markers) : kDefaultReadyMarkers;
}

void close_inner(Session& session) {
    (void)session.process.exit();
    std::optional<ReaderThread> handle;
    if (auto lock = session.reader_thread.lock()) {
        handle = std::move(**lock);
        (*lock)->reset();
    }
    if (handle) handle->finish(kReaderGrace);
}

Result<bool> is_alive(Session& session) {
    auto alive = session.process.is_alive();
    if (!alive) return runtime_error("is_alive failed: " + errno_text(alive.error()));
    return *alive;
}

Result<void> reset(std::unique_ptr<Session>& slot) {
    Session& old = *slot;
    std::string command = old.command;
    bool interactive = old.interactive;
    std::size_t cap = old.max_history_bytes;
    std::vector<std::string> markers;
    {
        auto lock = old.ready_markers.lock();
        if (!lock) throw InternalFailure(kPoisonedUnwrap);
        markers = **lock;
    }
    close_inner(old);
    auto fresh = spawn_session(command, interactive, cap);
    if (!fresh) return std::unexpected(fresh.error());
    {
        auto lock = (*fresh)->ready_markers.lock();
        if (!lock) throw InternalFailure(kPoisonedUnwrap);
        **lock = std::move(markers);
    }
    (void)read_available(**fresh, kResetDrainBytes);
    slot = std::move(*fresh);  // disposes of the old record
    return {};
}

}  // namespace pellux
