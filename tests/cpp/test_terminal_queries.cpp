// The scanner of a program's terminal queries (src/readiness/terminal_queries),
// without Python: which sequences ask, of what kind, cut at any byte.
// Prints "N passed, M failed"; exit 1 on failure.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "readiness/terminal_queries.hpp"

namespace {

using pellux::QueryScanner;
using pellux::TerminalQuery;

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

std::string shown(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::vector<TerminalQuery> scan_whole(std::string_view bytes) {
    QueryScanner scanner;
    std::vector<TerminalQuery> found;
    scanner.scan(bytes, found);
    return found;
}

struct Case {
    std::string_view bytes;
    std::vector<TerminalQuery> expected;
};

const TerminalQuery PA = TerminalQuery::PrimaryAttributes;
const TerminalQuery SA = TerminalQuery::SecondaryAttributes;
const TerminalQuery ST = TerminalQuery::Status;
const TerminalQuery CP = TerminalQuery::CursorPosition;
const TerminalQuery OT = TerminalQuery::Other;

const std::vector<Case> kCases = {
    // Device attributes, the status and the cursor position: the kinds with
    // a fixed answer or a screen's.
    {"\x1b[c", {PA}},
    {"\x1b[0c", {PA}},
    {"\x1bZ", {PA}},
    {"\x1b[>c", {SA}},
    {"\x1b[>0c", {SA}},
    {"\x1b[5n", {ST}},
    {"\x1b[6n", {CP}},
    // Questions only a screen answers.
    {"\x1b[=c", {OT}},
    {"\x1b[?6n", {OT}},
    {"\x1b[?2004$p", {OT}},
    {"\x1b[4$p", {OT}},
    {"\x1b[>q", {OT}},
    {"\x1b[?u", {OT}},
    {"\x1b[18t", {OT}},
    {"\x1b]11;?\x07", {OT}},
    {"\x1b]4;1;?\x1b\\", {OT}},
    {"\x1bP$qm\x1b\\", {OT}},
    {"\x1bP+q544e\x1b\\", {OT}},
    // Not questions.
    {"plain text 6n c Z", {}},
    {"\x1b[6;1H\x1b[?25h\x1b[2J\x1b[1;31m\x1b[?1049h\x1b[2;23r", {}},
    {"\x1b]0;title?\x07\x1b]2;a?b\x1b\\", {}},
    {"\x1bPq#0;2;0;0;0~-\x1b\\", {}},   // sixel
    {"\x1b_Gq=1;?\x1b\\", {}},           // an application string
    {"\x1b(B\x1b)0\x1b#8", {}},
    {"\x1b[?>6n", {}},                   // a byte out of place: ignored
    {"\x1b[6\x18n\x1b[\x1a" "6n", {}},  // CAN and SUB end a sequence
    {"\x1b]11;?\x18\x07", {}},
    // C0 controls inside a sequence leave it going; an escape starts anew.
    {"\x1b[\r6n", {CP}},
    {"\x1b[1;2\x1b[c", {PA}},
    {"\x1b]0;title\x1b[6n", {CP}},
    {"\x1bP$q\x1b[5n", {ST}},
    // Several in one piece, in order.
    {"ab\x1b[c\x1b[6nxy\x1b]10;?\x07\x1b[>c", {PA, CP, OT, SA}},
    // Long parameters fit no fixed answer but still ask.
    {"\x1b[000000000000c", {OT}},
};

void test_each_sequence() {
    for (const Case& c : kCases) {
        check(scan_whole(c.bytes) == c.expected, "kinds of " + shown(c.bytes));
    }
}

void test_any_cut_finds_the_same() {
    std::string all;
    std::vector<TerminalQuery> expected;
    for (const Case& c : kCases) {
        all.append(c.bytes);
        all.append("text ");
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    }
    check(scan_whole(all) == expected, "the whole stream");
    for (std::size_t cut = 0; cut <= all.size(); ++cut) {
        QueryScanner scanner;
        std::vector<TerminalQuery> found;
        scanner.scan(std::string_view(all).substr(0, cut), found);
        scanner.scan(std::string_view(all).substr(cut), found);
        if (found != expected) {
            check(false, "cut at " + std::to_string(cut));
            return;
        }
    }
    check(true, "every cut");
    // Byte by byte, as the slowest program writes it.
    QueryScanner scanner;
    std::vector<TerminalQuery> found;
    for (char c : all) scanner.scan(std::string_view(&c, 1), found);
    check(found == expected, "byte by byte");
}

void test_fixed_answers() {
    check(pellux::fixed_answer(PA) == "\x1b[?62;22c", "primary attributes");
    check(pellux::fixed_answer(SA) == "\x1b[>1;0;0c", "secondary attributes");
    check(pellux::fixed_answer(ST) == "\x1b[0n", "status");
    check(pellux::fixed_answer(CP).empty() && pellux::fixed_answer(OT).empty(), "no guess without a screen");
}

}  // namespace

int main() {
    test_each_sequence();
    test_any_cut_finds_the_same();
    test_fixed_answers();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
