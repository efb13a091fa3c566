// The session record: one Pellux object's child, channel, writer, history and
// ready markers, with the lock that guards each member.
//
// Every operation here runs on the object's owner thread. The reader thread
// owns only the channel's sending end and touches no member. The five locks
// are independent; the only nesting is `history` inside `rx` in
// read_available.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/guarded.hpp"
#include "session/history.hpp"
#include "session/input.hpp"
#include "session/interpreter_release.hpp"
#include "session/output_channel.hpp"
#include "session/pty_process.hpp"
#include "session/reader_thread.hpp"
#include "session/result.hpp"

namespace pellux {

inline const std::vector<std::string> kDefaultReadyMarkers = {"pwndbg> ", "(gdb) "};

// The descriptors a record owns, by number, for releasing the copies a
// forked process inherited without touching what they belong to.
struct DescriptorNumbers {
    int master = -1;  // the process's own
    int writer = -1;
    int reader = -1;  // owned by the reader thread
    int wake = -1;    // the channel's wake eventfd, shared with the reader thread
};

// How long close waits for the reader thread to end by itself once the child
// is gone, before stopping it (a background process may hold the terminal).
inline constexpr std::chrono::milliseconds kReaderGrace{500};

struct Session {
    Session(PtyProcess process, BufferedWriter writer, Receiver rx, ReaderThread reader,
            std::string command, bool interactive, std::size_t max_history_bytes,
            DescriptorNumbers descriptors);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Disposal in the process that started the record: close_inner, then the
    // members are released in the order process, writer, rx, reader_thread,
    // command, ready_markers, history (reverse declaration order below).
    // Anywhere else use dispose_session, which never runs this.
    ~Session();

    // The reader thread sits in its poll on the terminal, with every byte it
    // read already queued. Any thread; takes no lock.
    bool reader_idle() const { return channel.reader_idle(); }

    // The process that started the record. After a fork the other process
    // shares the terminal, the child and the wake descriptor but has neither
    // the child as its own nor the reader thread; there the record behaves as
    // closed (see started_here).
    const pid_t origin_pid;
    const DescriptorNumbers descriptors;
    // The output channel as any thread may see it: the reader's idleness,
    // and the wake-up that ends a read's wait when it is stopped.
    const ChannelWatch channel;
    std::size_t max_history_bytes;
    Guarded<History> history;
    Guarded<std::vector<std::string>> ready_markers;
    bool interactive;
    std::string command;
    Guarded<std::optional<ReaderThread>> reader_thread;
    Guarded<Receiver> rx;
    Guarded<BufferedWriter> writer;
    PtyProcess process;
};

// Starts `command` (the whole text is the program, and its only argument) in
// a new terminal and builds its record. Errors carry the constructor's
// messages; a reader thread that cannot start is an internal failure.
Result<std::unique_ptr<Session>> spawn_session(const std::string& command, bool interactive,
                                               std::size_t max_history_bytes);

// Builds the record around a child already started; `command` is what
// reset starts again. A `recording` records the output as the reader
// thread reads it.
Result<std::unique_ptr<Session>> attach_session(PtyProcess&& process, const std::string& command,
                                                bool interactive, std::size_t max_history_bytes,
                                                std::shared_ptr<Recording> recording = nullptr);

// Stores the constructor's marker list, or the defaults when none was given.
void store_initial_markers(Session& session, std::optional<std::vector<std::string>> markers);

// False in a process other than the one that started the record (a forked
// copy of the host). There the record behaves as closed: reads return
// nothing, is_alive is false, writes fail, close does nothing, and disposal
// releases only this process's copies of the descriptors. It signals no
// process (the child is not ours), wakes nothing (the wake eventfd is shared
// with the original's reader thread) and joins nothing (the reader thread
// does not exist here); nor may it take a lock that a thread which does not
// exist here might have held at the fork.
bool started_here(const Session& session);

// The message of a write refused by a record used after a fork.
std::string foreign_process_text(const Session& session);

// Ends the child and the reader thread. Never fails. Output already queued
// stays readable. `waiting`, when given, is released for the termination
// pauses and the join.
void close_inner(Session& session, InterpreterRelease* waiting = nullptr);

// Disposes of a record: closes it (with `waiting` released while it waits)
// and releases it, or, in a process other than the one that started it,
// closes only this process's copies of its descriptors and leaves the rest
// of the record unreleased.
void dispose_session(std::unique_ptr<Session> session, InterpreterRelease* waiting = nullptr);

Result<bool> is_alive(Session& session);

// How much of a fresh child's first output reset takes into the new history.
inline constexpr std::uint32_t kResetDrainBytes = 262144;

// Replaces the whole record with a fresh one for the same command, mode and
// markers. On a failed start the old record stays, closed. `waiting` as for
// close_inner.
Result<void> reset(std::unique_ptr<Session>& slot, InterpreterRelease* waiting = nullptr);

// History and the reads that never wait.
inline constexpr std::size_t kDefaultReadAvailableBytes = 65536;
void append_history(Session& session, std::string_view bytes);
Result<std::string> read_available(Session& session, std::optional<std::uint32_t> max_bytes);
// The same, leaving the history to the caller: commit once the text is
// handed over, or drop the result to put the bytes back.
Result<CleanRead> take_available(Session& session, std::optional<std::uint32_t> max_bytes);
Result<std::string> get_history(Session& session);

// Input.
// `waiting`, when given, is released while the terminal has no room; the
// wait ends at `deadline` with "write failed: timed out ...".
Result<void> write_bytes(Session& session, std::string_view bytes,
                         InterpreterRelease* waiting = nullptr,
                         WriteDeadline deadline = kNoWriteDeadline,
                         const ReceiveStop* stop = nullptr);
Result<void> send_ctrl_c(Session& session, InterpreterRelease* waiting = nullptr);

}  // namespace pellux
