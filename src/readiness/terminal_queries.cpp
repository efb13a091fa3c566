#include "readiness/terminal_queries.hpp"

namespace pellux {

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kBel = 0x07;
// CAN and SUB end any sequence on a terminal, without effect.
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kSub = 0x1A;
// The prefix of a sequence with a byte out of place, which a terminal ignores.
constexpr unsigned char kIgnored = 0xFF;

bool is_final(unsigned char c) { return c >= 0x40 && c <= 0x7E; }
bool is_intermediate(unsigned char c) { return c >= 0x20 && c <= 0x2F; }
bool is_parameter(unsigned char c) { return (c >= '0' && c <= '9') || c == ';' || c == ':'; }

}  // namespace

void QueryScanner::scan(std::string_view bytes, std::vector<TerminalQuery>& found) {
    for (unsigned char c : bytes) step(c, found);
}

void QueryScanner::start_sequence(State state) {
    state_ = state;
    prefix_ = 0;
    intermediate_ = 0;
    param_length_ = 0;
    asks_ = false;
    previous_ = 0;
}

void QueryScanner::param(unsigned char c) {
    if (param_length_ < sizeof params_) params_[param_length_] = static_cast<char>(c);
    ++param_length_;
}

bool QueryScanner::csi_is_query(unsigned char f) const {
    if (prefix_ == kIgnored) return false;
    if (intermediate_ == '$') return f == 'p';  // DECRQM: is a mode set
    if (intermediate_ != 0) return false;
    switch (f) {
        case 'c': return true;                // device attributes, all three kinds
        case 'n': return true;                // status reports
        case 'q': return prefix_ == '>';      // XTVERSION
        case 'u': return prefix_ == '?';      // the keyboard protocol's flags
        case 't': return prefix_ == 0;        // window reports (sizes, title)
        default: return false;
    }
}

TerminalQuery QueryScanner::csi_query(unsigned char f) const {
    const std::string_view params(params_, param_length_ <= sizeof params_ ? param_length_ : 0);
    const bool fits = param_length_ <= sizeof params_;
    if (f == 'c' && fits && intermediate_ == 0) {
        if (prefix_ == 0 && (params.empty() || params == "0")) return TerminalQuery::PrimaryAttributes;
        if (prefix_ == '>' && (params.empty() || params == "0")) return TerminalQuery::SecondaryAttributes;
    }
    if (f == 'n' && fits && prefix_ == 0 && intermediate_ == 0) {
        if (params == "5") return TerminalQuery::Status;
        if (params == "6") return TerminalQuery::CursorPosition;
    }
    return TerminalQuery::Other;
}

void QueryScanner::step(unsigned char c, std::vector<TerminalQuery>& found) {
    if (c == kCan || c == kSub) {
        // Inside a string (OSC, DCS...) they end it too.
        state_ = State::Ground;
        return;
    }
    switch (state_) {
        case State::Ground:
            if (c == kEsc) state_ = State::Escape;
            return;
        case State::Escape:
            switch (c) {
                case '[': start_sequence(State::Csi); return;
                case ']': start_sequence(State::Osc); return;
                case 'P': start_sequence(State::Dcs); return;
                case 'X': case '^': case '_': start_sequence(State::String); return;
                case 'Z':  // DECID: answered as primary device attributes
                    found.push_back(TerminalQuery::PrimaryAttributes);
                    state_ = State::Ground;
                    return;
                case kEsc: return;
                default:
                    state_ = is_intermediate(c) ? State::EscapeIntermediate : State::Ground;
                    return;
            }
        case State::EscapeIntermediate:
            if (c == kEsc) {
                state_ = State::Escape;
            } else if (!is_intermediate(c)) {
                state_ = c >= 0x30 && c <= 0x7E ? State::Ground : state_;
            }
            return;
        case State::Csi:
            if (c == kEsc) {
                state_ = State::Escape;
            } else if (c >= '<' && c <= '?' && param_length_ == 0 && prefix_ == 0 && intermediate_ == 0) {
                prefix_ = c;
            } else if (is_parameter(c) && intermediate_ == 0) {
                param(c);
            } else if (is_intermediate(c)) {
                intermediate_ = c;
            } else if (is_final(c)) {
                if (csi_is_query(c)) found.push_back(csi_query(c));
                state_ = State::Ground;
            } else if (c >= 0x20) {
                // A byte out of place: the sequence is ignored to its end.
                prefix_ = kIgnored;
            }
            // C0 controls inside a sequence are carried out by the terminal
            // and leave the sequence going.
            return;
        case State::Osc:
            if (c == kBel) {
                if (asks_) found.push_back(TerminalQuery::Other);
                state_ = State::Ground;
            } else if (c == kEsc) {
                state_ = State::OscEscape;
            } else {
                // "11;?", "4;1;?", "52;c;?": a field that is a question mark.
                if (c == '?' && (previous_ == ';' || previous_ == 0)) asks_ = true;
                previous_ = c;
            }
            return;
        case State::OscEscape:
            if (c == '\\') {
                if (asks_) found.push_back(TerminalQuery::Other);
                state_ = State::Ground;
            } else {
                // An escape inside the string ends it and starts anew.
                state_ = State::Escape;
                step(c, found);
            }
            return;
        case State::Dcs:
            // The header: parameters, intermediates, then the final byte.
            if (c == kEsc) {
                state_ = State::DcsEscape;
            } else if (is_intermediate(c)) {
                intermediate_ = c;
            } else if (is_final(c)) {
                // DECRQSS (ESC P $ q) and XTGETTCAP (ESC P + q) ask.
                asks_ = c == 'q' && (intermediate_ == '$' || intermediate_ == '+');
                state_ = State::DcsPayload;
            }
            return;
        case State::DcsPayload:
            if (c == kEsc) state_ = State::DcsEscape;
            return;
        case State::DcsEscape:
            if (c == '\\') {
                if (asks_) found.push_back(TerminalQuery::Other);
                state_ = State::Ground;
            } else {
                state_ = State::Escape;
                step(c, found);
            }
            return;
        case State::String:
            if (c == kEsc) state_ = State::StringEscape;
            return;
        case State::StringEscape:
            if (c == '\\') {
                state_ = State::Ground;
            } else {
                state_ = State::Escape;
                step(c, found);
            }
            return;
    }
}

std::string_view fixed_answer(TerminalQuery query) {
    switch (query) {
        case TerminalQuery::PrimaryAttributes: return "\x1b[?62;22c";
        case TerminalQuery::SecondaryAttributes: return "\x1b[>1;0;0c";
        case TerminalQuery::Status: return "\x1b[0n";
        case TerminalQuery::CursorPosition:
        case TerminalQuery::Other: return {};
    }
    return {};
}

}  // namespace pellux
