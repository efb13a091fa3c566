// Native tests of the input probe (src/readiness/input_probe), linked without
// Python, against real programs on a terminal this program opens itself:
// REPLs and shells that wait, compute or sleep; a parent waiting for a child
// that reads the terminal (a shell's foreground job, git and its editor or
// pager); event loops that can wake on their own; input pending; stopped,
// exited and unreadable programs.
//
// The test plays the session's reader (see pty_program.hpp): a Waiting
// verdict promises that every byte the program wrote is in Program::output.
//
// Usage: test_input_probe --python PATH CASE   (or --list)
// Prints "SKIP: why" or "N passed, M failed"; exit 1 on failure.

#include <dirent.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pty_program.hpp"
#include "readiness/input_probe.hpp"

using namespace pellux;
using namespace pellux::probe_support;

namespace {

int g_passed = 0;
int g_failed = 0;
std::string g_python;

void report(bool ok, const char* what, const std::string& detail = "") {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAIL: %s %s\n", what, detail.c_str());
        std::fflush(stdout);
    }
}

// The condition is evaluated before the detail, which describes its outcome.
#define CHECK(condition, ...)          \
    do {                               \
        bool ok_ = (condition);        \
        report(ok_, __VA_ARGS__);      \
    } while (0)

const char* verdict_name(InputVerdict v) {
    switch (v) {
        case InputVerdict::Waiting: return "Waiting";
        case InputVerdict::Busy: return "Busy";
        case InputVerdict::Exited: return "Exited";
        case InputVerdict::Unknown: return "Unknown";
    }
    return "?";
}

std::unique_ptr<Program> python_repl() {
    return std::make_unique<Program>(std::vector<std::string>{g_python, "-q"},
                                     std::vector<std::string>{"PYTHON_BASIC_REPL=1"});
}

std::unique_ptr<Program> python_script(const std::string& body) {
    return std::make_unique<Program>(std::vector<std::string>{g_python, "-u", "-c", body},
                                     std::vector<std::string>{});
}

std::string read_text(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Every process of the program's session, each thread's state and call: what
// the probe saw, for a failure's report.
std::string session_picture(pid_t leader) {
    std::string picture;
    std::string leader_stat = read_text("/proc/" + std::to_string(leader) + "/stat");
    std::size_t close = leader_stat.rfind(')');
    if (close == std::string::npos) return "(leader gone)";
    int session = 0;
    std::sscanf(leader_stat.c_str() + close + 2, "%*c %*d %*d %d", &session);
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return "";
    while (dirent* entry = readdir(proc)) {
        int pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty()) continue;
        std::size_t c = stat.rfind(')');
        int s = 0;
        std::sscanf(stat.c_str() + c + 2, "%*c %*d %*d %d", &s);
        if (s != session) continue;
        picture += "\n  " + stat.substr(0, c + 1) + stat.substr(c + 1, 40);
        std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
        if (DIR* dir = opendir(tasks.c_str())) {
            while (dirent* task = readdir(dir)) {
                if (task->d_name[0] == '.') continue;
                std::string call = read_text(tasks + task->d_name + "/syscall");
                if (!call.empty()) picture += "\n    " + std::string(task->d_name) + ": " + call.substr(0, call.size() - 1);
            }
            closedir(dir);
        }
    }
    closedir(proc);
    return picture;
}

std::string detail(Program& p) {
    return std::string("last ") + verdict_name(p.last.verdict) + " reason '" + std::string(p.probe->reason()) +
           "' output '" + tail(p.output) + "'" + session_picture(p.pid);
}

// ---------------------------------------------------------------------------

void python_repl_waits_and_answers() {
    auto p = python_repl();
    CHECK(p->await(InputVerdict::Waiting), "python3 REPL waits", detail(*p));
    CHECK(p->last.reading, "a waiting program reads");
    CHECK(ends_with(p->output, ">>> "), "the prompt is queued when Waiting", detail(*p));
    p->take();
    // A quick answer: no stale Waiting from before the input (it is pending,
    // then taken), and once Waiting, the answer and the prompt are queued.
    p->send("6*7\n");
    CHECK(p->await(InputVerdict::Waiting), "waits again after an answer", detail(*p));
    CHECK(p->output.find("42") != std::string::npos && ends_with(p->output, ">>> "),
          "answer and prompt are queued when Waiting", detail(*p));
}

void python_computing_and_sleeping_are_busy() {
    auto p = python_repl();
    CHECK(p->await(InputVerdict::Waiting), "python3 REPL waits", detail(*p));
    p->send("while True: pass\n\n");
    CHECK(p->await_look([](const ProbeLook& l) { return l.verdict == InputVerdict::Busy && !l.reading; }),
          "computing: Busy and not reading", detail(*p));
    CHECK(p->never_waiting(0.5), "computing is never Waiting", detail(*p));
    p->send("\x03");
    CHECK(p->await(InputVerdict::Waiting), "waits after Ctrl-C", detail(*p));
    CHECK(p->output.find("KeyboardInterrupt") != std::string::npos, "the interrupt's trace is queued", detail(*p));
    p->take();
    p->send("import time; time.sleep(2.5); print('slept')\n");
    CHECK(p->await_look([](const ProbeLook& l) { return l.verdict == InputVerdict::Busy && !l.reading; }),
          "sleeping: Busy and not reading", detail(*p));
    CHECK(p->never_waiting(1.0), "sleeping is never Waiting", detail(*p));
    CHECK(p->await(InputVerdict::Waiting), "waits after the sleep", detail(*p));
    CHECK(p->output.find("slept") != std::string::npos && ends_with(p->output, ">>> "), "the sleep's answer is queued",
          detail(*p));
}

void bash_reading_waits() {
    auto p = std::make_unique<Program>(std::vector<std::string>{"bash", "--norc", "--noprofile"},
                                       std::vector<std::string>{"PS1=P$ "});
    CHECK(p->await(InputVerdict::Waiting), "bash waits", detail(*p));
    p->take();
    p->send("echo $((6*7))\n");
    CHECK(p->await(InputVerdict::Waiting), "bash waits after a command", detail(*p));
    CHECK(p->output.find("42") != std::string::npos && ends_with(p->output, "P$ "), "bash's answer is queued",
          detail(*p));
}

// The first number of /proc/<pid>/syscall: the call the main thread sleeps in.
long syscall_of(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return -2;
    long nr = -2;
    if (std::fscanf(f, "%ld", &nr) != 1) nr = -2;
    std::fclose(f);
    return nr;
}

#if defined(__x86_64__)
constexpr long kWait4 = 61;
#elif defined(__aarch64__)
constexpr long kWait4 = 260;
#else
constexpr long kWait4 = -3;
#endif

void parent_waiting_for_a_reading_child_waits() {
    // A shell without job control runs its command in its own group and
    // waits for it: the shell is in wait4, the child reads the terminal.
    std::string command = "'" + g_python + "' -q; echo done";
    auto p = std::make_unique<Program>(std::vector<std::string>{"/bin/sh", "-c", command},
                                       std::vector<std::string>{"PYTHON_BASIC_REPL=1"});
    CHECK(p->await(InputVerdict::Waiting), "sh waiting for a reading python3 waits", detail(*p));
    CHECK(syscall_of(p->pid) == kWait4, "the shell sleeps in wait4", std::to_string(syscall_of(p->pid)));
    CHECK(p->last.reading, "the child reads");
    p->take();
    p->send("6*7\n");
    CHECK(p->await(InputVerdict::Waiting), "waits again after an answer", detail(*p));
    CHECK(p->output.find("42") != std::string::npos, "the child's answer is queued", detail(*p));
    p->send("exit()\n");
    CHECK(p->await(InputVerdict::Exited), "the shell exits after its child", detail(*p));
    CHECK(p->output.find("done") != std::string::npos, "the shell's last words are queued", detail(*p));
}

void parent_waiting_for_a_busy_or_foreign_child_is_busy() {
    auto p = std::make_unique<Program>(std::vector<std::string>{"/bin/sh", "-c", "sleep 30; echo x"},
                                       std::vector<std::string>{});
    CHECK(p->await(InputVerdict::Busy), "sh waiting for sleep: Busy", detail(*p));
    bool reading = false;
    CHECK(p->never_waiting(1.0, &reading), "sh waiting for sleep is never Waiting", detail(*p));
    CHECK(!reading, "nobody reads the terminal");
    CHECK(syscall_of(p->pid) == kWait4, "the shell sleeps in wait4", std::to_string(syscall_of(p->pid)));

    // A thread waits for a child of another session (outside the group)
    // while the main thread reads: the child can end the wait on its own.
    auto q = python_script(
        "import subprocess, threading, sys\n"
        "child = subprocess.Popen(['sleep', '30'], start_new_session=True)\n"
        "threading.Thread(target=child.wait, daemon=True).start()\n"
        "print('ready', flush=True)\n"
        "sys.stdin.readline()\n"
        "child.kill()\n");
    CHECK(q->await_output("ready"), "the waiter started", detail(*q));
    CHECK(q->await_look([](const ProbeLook& l) { return l.verdict == InputVerdict::Busy && l.reading; }),
          "a wait for a child outside the group: Busy, reading", detail(*q));
    CHECK(q->never_waiting(0.5), "a wait for a child outside the group is never Waiting", detail(*q));
}

void exited_programs() {
    auto p = python_repl();
    CHECK(p->await(InputVerdict::Waiting), "python3 REPL waits", detail(*p));
    p->send("exit()\n");
    CHECK(p->await(InputVerdict::Exited), "an exited program (a zombie) is Exited", detail(*p));
    p->reap();
    CHECK(p->look().verdict == InputVerdict::Exited, "a reaped program is Exited", detail(*p));
}

void input_pending_is_busy() {
    // The main thread waits in select for the terminal's exceptional
    // conditions only: input never wakes it, so it sleeps on with the input
    // pending, which alone makes it Busy.
    auto p = python_script(
        "import select, sys\n"
        "print('ready', flush=True)\n"
        "select.select([], [], [0])\n");
    CHECK(p->await(InputVerdict::Waiting), "a select on the terminal waits", detail(*p));
    p->send("x\n");
    CHECK(p->await_look([](const ProbeLook& l) { return l.verdict == InputVerdict::Busy && l.reading; }),
          "input pending: Busy, still reading", detail(*p));
    CHECK(p->never_waiting(0.5), "input pending is never Waiting", detail(*p));

    // A line written while the program sleeps: Busy until it took and
    // answered it.
    auto q = python_repl();
    CHECK(q->await(InputVerdict::Waiting), "python3 REPL waits", detail(*q));
    q->take();
    q->send("import time; time.sleep(1.5)\n");
    q->send("6*7\n");
    CHECK(q->never_waiting(0.5), "a sleeping program with input pending is never Waiting", detail(*q));
    CHECK(q->await(InputVerdict::Waiting), "waits once it took the line", detail(*q));
    CHECK(q->output.find("42") != std::string::npos && ends_with(q->output, ">>> "),
          "the pending line's answer is queued", detail(*q));
}

void threads_parked_or_busy() {
    auto p = python_script(
        "import sys, threading, time\n"
        "park = threading.Event()\n"
        "threading.Thread(target=park.wait, daemon=True).start()\n"
        "for line in sys.stdin:\n"
        "    if line.startswith('spin'):\n"
        "        threading.Thread(target=lambda: [0 for _ in range(30_000_000)], daemon=True).start()\n"
        "    elif line.startswith('nap'):\n"
        "        threading.Thread(target=time.sleep, args=(2,), daemon=True).start()\n"
        "    print('ok', flush=True)\n");
    CHECK(p->await(InputVerdict::Waiting), "main thread reading, one parked: Waiting", detail(*p));
    for (const char* worker : {"spin\n", "nap\n"}) {
        p->take();
        p->send(worker);
        CHECK(p->await_output("ok"), "the worker started", detail(*p));
        // The main thread reads again, but another thread works (or sleeps
        // on a timer, which can end with output): not waiting.
        CHECK(p->never_waiting(0.3), "a working or napping thread holds the turn", worker);
        CHECK(p->await(InputVerdict::Waiting), "waits once the worker ended", detail(*p));
    }
}

void event_loops_that_can_wake_alone() {
    auto p = python_script(
        "import os, select, subprocess, sys\n"
        "own_r, own_w = os.pipe()\n"
        "child = subprocess.Popen(['sleep', '60'], stdout=subprocess.PIPE, start_new_session=True)\n"
        "for mode in ('self', 'foreign', 'timer'):\n"
        "    print('mode', mode, flush=True)\n"
        "    if mode == 'self':\n"
        "        select.select([0, own_r], [], [])\n"
        "    elif mode == 'foreign':\n"
        "        select.select([0, child.stdout], [], [])\n"
        "    else:\n"
        "        select.select([0], [], [], 60)\n"
        "    sys.stdin.readline()\n"
        "child.kill()\n");
    CHECK(p->await_output("mode self"), "self mode", detail(*p));
    CHECK(p->await(InputVerdict::Waiting), "its own pipe cannot wake it: Waiting", detail(*p));
    for (const char* mode : {"mode foreign", "mode timer"}) {
        p->send("next\n");
        CHECK(p->await_output(mode), mode, detail(*p));
        CHECK(p->await_look([](const ProbeLook& l) { return l.verdict == InputVerdict::Busy && l.reading; }),
              "a foreign pipe or a timer: Busy, reading", mode);
        CHECK(p->never_waiting(0.3), "a loop that can wake alone is never Waiting", mode);
    }
    p->send("next\n");

    // An epoll loop over the terminal and an eventfd waits; node keeps a
    // timer in its loop at all times.
    auto e = python_script(
        "import os, select\n"
        "ep = select.epoll()\n"
        "ep.register(0, select.EPOLLIN)\n"
        "ep.register(os.eventfd(0), select.EPOLLIN)\n"
        "print('ready', flush=True)\n"
        "ep.poll()\n");
    CHECK(e->await(InputVerdict::Waiting), "epoll over the terminal and an eventfd waits", detail(*e));
    try {
        Program node({"node"}, {"NODE_NO_READLINE=1"});
        CHECK(node.await_output("> "), "node's prompt", detail(node));
        CHECK(node.await_look([](const ProbeLook& l) { return l.verdict == InputVerdict::Busy && l.reading; }),
              "node: Busy, reading", detail(node));
        CHECK(node.never_waiting(0.3), "node is never Waiting", detail(node));
    } catch (const Skip&) {
    }
}

void pagers_and_raw_reads_with_a_timer() {
    auto less = std::make_unique<Program>(std::vector<std::string>{"less", "/etc/passwd"},
                                          std::vector<std::string>{"LESS="});
    CHECK(less->await(InputVerdict::Waiting), "less reading keys from /dev/tty waits", detail(*less));
    auto timed = python_script(
        "import os, termios\n"
        "attrs = termios.tcgetattr(0)\n"
        "attrs[3] &= ~termios.ICANON\n"
        "attrs[6][termios.VMIN] = 0\n"
        "attrs[6][termios.VTIME] = 100\n"
        "termios.tcsetattr(0, termios.TCSANOW, attrs)\n"
        "print('ready', flush=True)\n"
        "os.read(0, 1)\n");
    CHECK(timed->await_output("ready"), "raw read started", detail(*timed));
    CHECK(timed->await_look([](const ProbeLook& l) { return l.verdict == InputVerdict::Busy && l.reading; }),
          "a raw read with VTIME: Busy, reading", detail(*timed));
    CHECK(timed->never_waiting(0.5), "a raw read with VTIME is never Waiting", detail(*timed));
}

void stopped_programs() {
    auto p = std::make_unique<Program>(std::vector<std::string>{"bc", "-q"}, std::vector<std::string>{});
    CHECK(p->await(InputVerdict::Waiting), "bc waits", detail(*p));
    kill(p->pid, SIGSTOP);
    CHECK(p->await(InputVerdict::Busy, 5), "a stopped program is Busy", detail(*p));
    kill(p->pid, SIGCONT);
    CHECK(p->await(InputVerdict::Waiting), "waits again once continued", detail(*p));
    p->send("quit\n");
    CHECK(p->await(InputVerdict::Exited), "bc quit", detail(*p));
}

void jobs_in_the_foreground_hold_the_turn() {
    auto p = std::make_unique<Program>(std::vector<std::string>{"bash", "--norc", "--noprofile", "-i"},
                                       std::vector<std::string>{"PS1=P$ "});
    CHECK(p->await(InputVerdict::Waiting), "bash waits", detail(*p));
    p->send("sleep 30 &\n");
    CHECK(p->await(InputVerdict::Waiting), "a background job does not hold the turn", detail(*p));
    CHECK(ends_with(p->output, "P$ "), "the prompt after the job", detail(*p));
    p->take();
    p->send("sleep 1 | cat\n");  // a pipeline: cat reads the pipe, not the terminal
    CHECK(p->await_look([](const ProbeLook& l) { return l.verdict == InputVerdict::Busy && !l.reading; }, 0.9),
          "a foreground pipeline: Busy, not reading", detail(*p));
    CHECK(p->await(InputVerdict::Waiting), "waits after the pipeline", detail(*p));
    p->send("kill %1\n");
}

void a_child_started_after_a_wait_holds_the_turn() {
    // The probe keeps what it listed while nothing in the session runs: a
    // child started after a Waiting verdict must still be seen.
    auto p = python_script(
        "import subprocess, sys\n"
        "for line in sys.stdin:\n"
        "    subprocess.Popen(['sleep', '2'])\n"
        "    print('started', flush=True)\n");
    CHECK(p->await(InputVerdict::Waiting), "the parent waits", detail(*p));
    CHECK(p->look().verdict == InputVerdict::Waiting, "and again, from what it knows", detail(*p));
    p->send("go\n");
    CHECK(p->await_output("started"), "the child started", detail(*p));
    CHECK(p->never_waiting(0.8), "a sleeping child in the group holds the turn", detail(*p));
    CHECK(p->await(InputVerdict::Waiting), "waits once the child ended", detail(*p));
}

void every_answer_is_queued_when_waiting() {
    // Many small writes and big bursts (more than the terminal buffers), each
    // followed at once by the next read of input.
    auto p = python_script(
        "import os, sys\n"
        "n = 0\n"
        "while True:\n"
        "    line = sys.stdin.readline()\n"
        "    if not line:\n"
        "        break\n"
        "    n += 1\n"
        "    if n % 2:\n"
        "        for i in range(200):\n"
        "            os.write(1, b'x%d ' % i)\n"
        "    else:\n"
        "        os.write(1, b'y' * 300_000 + b'\\n')\n"
        "    os.write(1, b'END %d\\n' % n)\n");
    CHECK(p->await(InputVerdict::Waiting), "the echo program waits", detail(*p));
    p->take();
    int good = 0;
    for (int turn = 1; turn <= 150; ++turn) {
        p->send("go\n");
        if (!p->await(InputVerdict::Waiting)) break;
        std::string text = p->take();
        std::string end = "END " + std::to_string(turn) + "\r\n";
        std::size_t count = 0;
        for (std::size_t at = text.find("END"); at != std::string::npos; at = text.find("END", at + 1)) ++count;
        if (!ends_with(text, end) || count != 1) {
            CHECK(false, "the whole answer is queued when Waiting", "turn " + std::to_string(turn) + ": " + tail(text, 80));
            return;
        }
        ++good;
    }
    CHECK(good == 150, "150 turns, each whole when Waiting", std::to_string(good));
}

// Each real program: argv, environment, a computation of about a second or
// more, its result, the prompt after an answer, a quick question holding 42.
struct RealProgram {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string slow, answer, prompt, quick;
};

void real_program(const RealProgram& r) {
    Program p(r.argv, r.env);
    CHECK(p.await(InputVerdict::Waiting), "starts waiting", detail(p));
    p.take();
    p.send(r.slow + "\n");
    // While it computes it is not reading; once Waiting, the whole answer
    // and the prompt are queued.
    CHECK(p.await_look([](const ProbeLook& l) { return l.verdict != InputVerdict::Waiting && !l.reading; }, 0.9),
          "computing: not reading", detail(p));
    CHECK(p.await(InputVerdict::Waiting), "waits after computing", detail(p));
    CHECK(p.last.reading, "reads when Waiting");
    CHECK(p.output.find(r.answer) != std::string::npos && ends_with(p.output, r.prompt), "answer and prompt queued",
          detail(p));
    p.take();
    p.send(r.quick + "\n");
    CHECK(p.await(InputVerdict::Waiting), "waits after a quick answer", detail(p));
    CHECK(p.output.find("42") != std::string::npos, "the quick answer is queued", detail(p));
}

void real_programs() {
    std::map<std::string, RealProgram> programs{
        {"bc", {{"bc", "-q"}, {}, "2^400000 % 7", "2", "", "6 * 7"}},
        {"python3", {{g_python, "-q"}, {"PYTHON_BASIC_REPL=1"}, "sum(range(40_000_000))", "799999980000000", ">>> ", "6 * 7"}},
        {"bash", {{"bash", "--norc", "--noprofile"}, {"PS1=P$ "}, "sleep 1; echo done", "done", "P$ ", "echo 42"}},
        {"dash", {{"dash"}, {"PS1=P$ "}, "sleep 1; echo done", "done", "P$ ", "echo 42"}},
        {"sqlite3",
         {{"sqlite3", "-interactive"},
          {},
          "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE x<4000000) SELECT count(*) FROM c;",
          "4000000",
          "sqlite> ",
          "SELECT 42;"}},
        {"gdb", {{"gdb", "-q", "-nx"}, {}, "python import time; time.sleep(1); print('done')", "done", "(gdb) ", "print 42"}},
    };
    for (const auto& [name, r] : programs) {
        int failed = g_failed;
        try {
            real_program(r);
        } catch (const Skip& skip) {
            std::printf("skipped %s: %s\n", name.c_str(), skip.why.c_str());
        }
        if (g_failed != failed) std::printf("  (in %s)\n", name.c_str());
    }
}

// git waits (wait4) while its editor or pager reads the terminal.
void git_editor_and_pager() {
    if (which("git").empty()) throw Skip{"git is not installed"};
    char dir_template[] = "/tmp/pellux-probe-git-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) throw Skip{"mkdtemp"};
    std::string dir = dir_template;
    std::string git = "git -C '" + dir + "' -c user.name=t -c user.email=t@e ";
    std::string setup = "git init -q '" + dir + "' && for i in $(seq 1 80); do echo $i > '" + dir + "/f'; " + git +
                        "add f && " + git + "commit -q -m \"commit $i\" || exit 1; done";
    if (std::system(setup.c_str()) != 0) throw Skip{"could not set up a git repository"};
    std::string editor = dir + "/editor.sh";
    {
        FILE* f = std::fopen(editor.c_str(), "w");
        std::fputs("#!/bin/sh\nprintf 'message? '\nread line </dev/tty\necho \"$line\" > \"$1\"\n", f);
        std::fclose(f);
        chmod(editor.c_str(), 0755);
    }
    std::vector<std::string> env{"GIT_CONFIG_NOSYSTEM=1", "HOME=" + dir};
    {
        std::system(("echo more >> '" + dir + "/f'").c_str());
        Program p({"git", "-C", dir, "-c", "user.name=t", "-c", "user.email=t@e", "-c", "core.editor=" + editor,
                   "commit", "-a"},
                  env);
        CHECK(p.await(InputVerdict::Waiting), "git commit waiting for its editor waits", detail(p));
        CHECK(p.output.find("message? ") != std::string::npos, "the editor's prompt is queued", detail(p));
        p.send("from the editor\n");
        CHECK(p.await(InputVerdict::Exited), "git commit ends after the editor", detail(p));
    }
    if (!which("vim").empty()) {
        std::system(("echo again >> '" + dir + "/f'").c_str());
        Program p({"git", "-C", dir, "-c", "user.name=t", "-c", "user.email=t@e", "-c",
                   "core.editor=vim -u NONE -i NONE -n", "commit", "-a"},
                  env);
        CHECK(p.await(InputVerdict::Waiting), "git commit waiting for vim waits", detail(p));
        p.send("ifrom vim\x1b:wq\r");
        CHECK(p.await(InputVerdict::Exited), "git commit ends after vim", detail(p));
    } else {
        std::printf("skipped vim: not installed\n");
    }
    if (!which("less").empty()) {
        Program p({"git", "-C", dir, "-c", "core.pager=less", "log"}, env);
        CHECK(p.await(InputVerdict::Waiting), "git log under less waits", detail(p));
        CHECK(p.output.find("commit 80") != std::string::npos, "the first page is queued", detail(p));
        p.take();
        p.send(" ");
        CHECK(p.await(InputVerdict::Waiting), "waits after paging", detail(p));
        CHECK(!p.output.empty(), "the next page is queued", detail(p));
        p.send("q");
        CHECK(p.await(InputVerdict::Exited), "git log ends with less", detail(p));
    } else {
        std::printf("skipped less: not installed\n");
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}

// A program that made itself non-dumpable keeps /proc/<pid>/syscall from an
// observer without the capability to trace, as ptrace rules or another user
// do: the probe says Unknown with the cause, never Waiting.
void unreadable_proc_is_unknown() {
    auto p = python_script(
        "import ctypes, sys\n"
        "ctypes.CDLL(None).prctl(4, 0)  # PR_SET_DUMPABLE\n"
        "print('hidden', flush=True)\n"
        "sys.stdin.readline()\n");
    CHECK(p->await_output("hidden"), "the program hid", detail(*p));
    std::this_thread::sleep_for(milliseconds(200));
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw Skip{"pipe"};
    pid_t observer = fork();
    if (observer == 0) {
        close(pipe_fds[0]);
        // Without CAP_SYS_PTRACE, as an unprivileged observer is.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        syscall(SYS_capget, &header, data);
        data[0].effective &= ~(1u << CAP_SYS_PTRACE);
        data[0].permitted &= ~(1u << CAP_SYS_PTRACE);
        syscall(SYS_capset, &header, data);
        int unknown = 0, other = 0;
        std::string reason;
        for (int i = 0; i < 20; ++i) {
            ProbeLook l = p->probe->check([] { return true; });
            if (l.verdict == InputVerdict::Unknown) ++unknown;
            else ++other;
            reason = std::string(p->probe->reason());
        }
        std::string line = std::to_string(unknown) + " " + std::to_string(other) + " " + reason;
        ssize_t written = write(pipe_fds[1], line.data(), line.size());
        _exit(written > 0 ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string answer;
    char buf[512];
    ssize_t n;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) answer.append(buf, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    waitpid(observer, nullptr, 0);
    CHECK(answer.rfind("20 0 ", 0) == 0, "every look is Unknown", answer);
    CHECK(answer.find("syscall") != std::string::npos, "the reason names the file", answer);
    // Seen with the capability (where this process has it), it waits.
    if (p->look().verdict != InputVerdict::Unknown) {
        CHECK(p->await(InputVerdict::Waiting), "with the capability to trace, it waits", detail(*p));
        CHECK(p->probe->reason().empty(), "no reason unless Unknown", std::string(p->probe->reason()));
    }
}

const std::map<std::string, std::function<void()>>& cases() {
    static const std::map<std::string, std::function<void()>> all{
        {"python_repl_waits_and_answers", python_repl_waits_and_answers},
        {"python_computing_and_sleeping_are_busy", python_computing_and_sleeping_are_busy},
        {"bash_reading_waits", bash_reading_waits},
        {"parent_waiting_for_a_reading_child_waits", parent_waiting_for_a_reading_child_waits},
        {"parent_waiting_for_a_busy_or_foreign_child_is_busy", parent_waiting_for_a_busy_or_foreign_child_is_busy},
        {"exited_programs", exited_programs},
        {"input_pending_is_busy", input_pending_is_busy},
        {"threads_parked_or_busy", threads_parked_or_busy},
        {"event_loops_that_can_wake_alone", event_loops_that_can_wake_alone},
        {"pagers_and_raw_reads_with_a_timer", pagers_and_raw_reads_with_a_timer},
        {"stopped_programs", stopped_programs},
        {"jobs_in_the_foreground_hold_the_turn", jobs_in_the_foreground_hold_the_turn},
        {"a_child_started_after_a_wait_holds_the_turn", a_child_started_after_a_wait_holds_the_turn},
        {"every_answer_is_queued_when_waiting", every_answer_is_queued_when_waiting},
        {"real_programs", real_programs},
        {"git_editor_and_pager", git_editor_and_pager},
        {"unreadable_proc_is_unknown", unreadable_proc_is_unknown},
    };
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--list") {
        for (const auto& [name, fn] : cases()) std::printf("%s\n", name.c_str());
        return 0;
    }
    if (args.size() != 3 || args[0] != "--python") {
        std::fprintf(stderr, "usage: test_input_probe --python PATH CASE | --list\n");
        return 2;
    }
    g_python = args[1];
    auto found = cases().find(args[2]);
    if (found == cases().end()) {
        std::fprintf(stderr, "no case %s\n", args[2].c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        found->second();
    } catch (const Skip& skip) {
        std::printf("SKIP: %s\n", skip.why.c_str());
        return 0;
    }
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
