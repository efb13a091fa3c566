// The terminal modes a program set, followed through its raw output: the
// ones the agent layer acts on.
//
//  - Cursor keys (DECCKM, private mode 1): a full-screen program that wants
//    arrow keys as SS3 sequences (ESC O A) sets it; the key encoder follows.
//  - The alternate screen (modes 47, 1047, 1049): a full-screen program
//    (less, vim, top, man's pager) draws on it and leaves it when it ends;
//    while it is held, the program is a screen, not a line conversation.
//  - Bracketed paste (mode 2004): the program (readline, zsh's line editor,
//    Python's REPL) asks for pasted text between ESC [ 200 ~ and ESC [ 201 ~,
//    so that several lines arrive as one piece of input.
//
// Each is set with DECSET (ESC [ ? n h, often inside a list such as
// ESC [ ? 1 ; 1049 h) and reset with DECRST (... l); a full reset (RIS,
// ESC c) resets them all. The scan keeps its state across chunks, so a
// sequence split between two reads still counts. No Python here.
#pragma once

#include <cstddef>
#include <string_view>

namespace pellux::agent {

class TerminalModes {
public:
    bool app_cursor() const { return app_cursor_; }
    bool alt_screen() const { return alt_screen_; }
    bool bracketed_paste() const { return bracketed_paste_; }

    void feed(std::string_view bytes) {
        for (unsigned char c : bytes) step(c);
    }

private:
    enum class State { Ground, Escape, Csi, Private };

    void step(unsigned char c) {
        switch (state_) {
            case State::Ground:
                if (c == 0x1B) state_ = State::Escape;
                return;
            case State::Escape:
                if (c == 'c') *this = TerminalModes{};
                state_ = c == '[' ? State::Csi : c == 0x1B ? State::Escape : State::Ground;
                return;
            case State::Csi:
                if (c == '?') {
                    state_ = State::Private;
                    param_ = 0;
                    overflow_ = false;
                    touched_ = 0;
                } else {
                    state_ = c == 0x1B ? State::Escape : State::Ground;
                }
                return;
            case State::Private:
                if (c >= '0' && c <= '9') {
                    if (param_ < 100000) {
                        param_ = param_ * 10 + (c - '0');
                    } else {
                        overflow_ = true;
                    }
                } else if (c == ';') {
                    close_param();
                } else if (c == 'h' || c == 'l') {
                    close_param();
                    // The modes change only once the sequence is complete:
                    // one cut short by another byte changes nothing.
                    const bool on = c == 'h';
                    if (touched_ & kCursor) app_cursor_ = on;
                    if (touched_ & kAltScreen) alt_screen_ = on;
                    if (touched_ & kPaste) bracketed_paste_ = on;
                    state_ = State::Ground;
                } else {
                    // Any other byte ends the sequence without effect (an
                    // ESC starts a new one).
                    state_ = c == 0x1B ? State::Escape : State::Ground;
                }
                return;
        }
    }

    void close_param() {
        if (!overflow_) {
            switch (param_) {
                case 1: touched_ |= kCursor; break;
                case 47:
                case 1047:
                case 1049: touched_ |= kAltScreen; break;
                case 2004: touched_ |= kPaste; break;
                default: break;
            }
        }
        param_ = 0;
        overflow_ = false;
    }

    static constexpr unsigned kCursor = 1, kAltScreen = 2, kPaste = 4;

    State state_ = State::Ground;
    unsigned long param_ = 0;
    bool overflow_ = false;
    unsigned touched_ = 0;  // the modes the sequence so far names
    bool app_cursor_ = false;
    bool alt_screen_ = false;
    bool bracketed_paste_ = false;
};

}  // namespace pellux::agent
