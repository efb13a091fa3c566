// Building, closing and disposing of session records.
#include "session/session.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

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
                 std::string command_, bool interactive_, std::size_t max_history_bytes_,
                 DescriptorNumbers descriptors_)
    : origin_pid(::getpid()),
      descriptors(descriptors_),
      channel(rx_.watch()),
      max_history_bytes(max_history_bytes_),
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
                                                bool interactive, std::size_t max_history_bytes,
                                                std::shared_ptr<Recording> recording) {
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
    DescriptorNumbers numbers{process->master(), writer_fd->get(), reader_fd->get(), -1};
    BufferedWriter writer(std::move(*writer_fd));
    std::optional<std::pair<Sender, Receiver>> channel;
    try {
        channel.emplace(make_output_channel());
    } catch (const std::system_error& e) {
        // Running out of descriptors is an ordinary failure to start.
        return start_error("Failed to create output channel: " +
                           system_error_text(e.code().value()));
    }
    numbers.wake = channel->first.wake_fd();
    std::optional<ReaderThread> reader;
    try {
        reader.emplace(spawn_reader_thread(std::move(channel->first), std::move(*reader_fd),
                                           std::move(recording)));
    } catch (const std::system_error& e) {
        throw InternalFailure("failed to spawn reader thread: " + system_error_text(e.code().value()));
    }
    auto session = std::make_unique<Session>(std::move(*process), std::move(writer),
                                             std::move(channel->second), std::move(*reader), command,
                                             interactive, max_history_bytes, numbers);
    raw->reset();  // the record keeps the process's master and the two duplicates
    return session;
}

void store_initial_markers(Session& session, std::optional<std::vector<std::string>> markers) {
    auto lock = session.ready_markers.lock();
    if (!lock) throw InternalFailure(kPoisonedUnwrap);
    **lock = markers ? std::move(*markers) : kDefaultReadyMarkers;
}

bool started_here(const Session& session) { return ::getpid() == session.origin_pid; }

std::string foreign_process_text(const Session& session) {
    return "the session was started by process " + std::to_string(session.origin_pid) +
           " and cannot be used in process " + std::to_string(::getpid()) +
           " (after a fork it is closed here)";
}

void close_inner(Session& session, InterpreterRelease* waiting) {
    if (!started_here(session)) return;
    // The signals, their pauses and the join can take a second; none of it
    // needs the interpreter.
    without_interpreter(waiting, [&] {
        (void)session.process.exit();
        std::optional<ReaderThread> handle;
        if (auto lock = session.reader_thread.lock()) {
            handle = std::move(**lock);
            (*lock)->reset();
        }
        if (handle) handle->finish(kReaderGrace);
    });
}

void dispose_session(std::unique_ptr<Session> session, InterpreterRelease* waiting) {
    if (!session) return;
    if (!started_here(*session)) {
        // Only the descriptor table is this process's own. The record's
        // destructors would signal the original's child, wake and wait for a
        // reader thread that is not here, and take locks that a thread which
        // is not here may have held at the fork; its memory stays unreleased.
        const DescriptorNumbers& fds = session->descriptors;
        for (int fd : {fds.master, fds.writer, fds.reader, fds.wake}) {
            if (fd >= 0) ::close(fd);
        }
        (void)session.release();
        return;
    }
    close_inner(*session, waiting);
    session.reset();  // quick now: the child is collected and the reader joined
}

Result<bool> is_alive(Session& session) {
    if (!started_here(session)) return false;
    auto alive = session.process.is_alive();
    if (!alive) return runtime_error("is_alive failed: " + errno_text(alive.error()));
    return *alive;
}

Result<void> reset(std::unique_ptr<Session>& slot, InterpreterRelease* waiting) {
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
    close_inner(old, waiting);
    auto fresh = spawn_session(command, interactive, cap);
    if (!fresh) return std::unexpected(fresh.error());
    {
        auto lock = (*fresh)->ready_markers.lock();
        if (!lock) throw InternalFailure(kPoisonedUnwrap);
        **lock = std::move(markers);
    }
    (void)read_available(**fresh, kResetDrainBytes);
    dispose_session(std::exchange(slot, std::move(*fresh)), waiting);
    return {};
}

}  // namespace pellux
