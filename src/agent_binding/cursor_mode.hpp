// The cursor-key mode a program set, followed through its raw output.
//
// A full-screen program that wants arrow keys as SS3 sequences (ESC O A)
// switches the terminal into application cursor mode with DECSET 1
// (ESC [ ? 1 h, often inside a list such as ESC [ ? 1 ; 1049 h) and back with
// DECRST 1 (... l); a full reset (RIS, ESC c) puts the terminal back in
// normal cursor mode too. The scan keeps its state across chunks, so a
// sequence split between two reads still counts. No Python here.
#pragma once

#include <cstddef>
#include <string_view>

namespace pellux::agent {

class CursorKeyMode {
public:
    bool application() const { return application_; }

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
                if (c == 'c') application_ = false;
                state_ = c == '[' ? State::Csi : c == 0x1B ? State::Escape : State::Ground;
                return;
            case State::Csi:
                if (c == '?') {
                    state_ = State::Private;
                    param_ = 0;
                    has_mode_ = false;
                    overflow_ = false;
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
                    if (has_mode_) application_ = c == 'h';
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
        if (param_ == 1 && !overflow_) has_mode_ = true;
        param_ = 0;
        overflow_ = false;
    }

    State state_ = State::Ground;
    unsigned long param_ = 0;
    bool has_mode_ = false;
    bool overflow_ = false;
    bool application_ = false;
};

}  // namespace pellux::agent
