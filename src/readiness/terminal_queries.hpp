// The questions a program asks its terminal in its output, and the answers
// a terminal without a screen can give.
//
// A program asks by printing a sequence (device attributes ESC [ c, the
// cursor position ESC [ 6 n, a mode ESC [ ? 2004 $ p, a colour
// ESC ] 11 ; ? BEL...) and waits for the terminal to type the answer as
// input. Many wait for ever, or for seconds, when no answer comes. The
// scanner finds the end of each such sequence in raw output cut at any
// byte, keeping its state from one piece to the next; what the answer is
// depends on the terminal: a screen's emulator knows them all, and without
// one the answers that need no screen (device attributes, the status
// report) are fixed, the same as the emulator's.
//
// No Python here; one scanner per terminal, used under its owner's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace pellux {

enum class TerminalQuery : std::uint8_t {
    PrimaryAttributes,    // ESC [ c, ESC [ 0 c, ESC Z
    SecondaryAttributes,  // ESC [ > c, ESC [ > 0 c
    Status,               // ESC [ 5 n
    CursorPosition,       // ESC [ 6 n
    Other,                // anything else a terminal may answer: modes, colours, sizes, settings
};

class QueryScanner {
public:
    // Scans the next piece of output; appends each query that ends in it,
    // in order.
    void scan(std::string_view bytes, std::vector<TerminalQuery>& found);

private:
    enum class State : std::uint8_t {
        Ground,
        Escape,
        EscapeIntermediate,  // ESC ( B and the like: no query
        Csi,
        Osc,
        OscEscape,
        Dcs,
        DcsPayload,
        DcsEscape,
        String,  // SOS, PM, APC: skipped to their end
        StringEscape,
    };

    void step(unsigned char c, std::vector<TerminalQuery>& found);
    void start_sequence(State state);
    void param(unsigned char c);
    TerminalQuery csi_query(unsigned char final_byte) const;
    bool csi_is_query(unsigned char final_byte) const;

    State state_ = State::Ground;
    // The sequence being read: its private prefix (< = > ?), its parameters
    // (the first few bytes: every query's fit), its last intermediate byte.
    unsigned char prefix_ = 0;
    unsigned char intermediate_ = 0;
    char params_[8] = {};
    std::size_t param_length_ = 0;  // may exceed the buffer: then no fixed answer
    // OSC: a '?' as the payload or one of its fields. DCS: its header was a
    // request ($ q, + q).
    bool asks_ = false;
    unsigned char previous_ = 0;
};

// The answer a terminal without a screen gives, or empty: device
// attributes as a VT220 with ANSI colour (the emulator's own answer), the
// secondary attributes, and "in good order" for the status report. The
// cursor position needs a screen.
std::string_view fixed_answer(TerminalQuery query);

}  // namespace pellux
