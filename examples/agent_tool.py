"""A debugger as a tool for an LLM agent.

``DebuggerTool`` wraps one gdb session in a single call, "run this command in
the debugger", that returns text for the model. It is what a tool loop
registers (``TOOL_SCHEMA`` is the description a model sees). It never raises
for a slow or stuck program and never returns more text than the model should
read:

* an answer that does not come back within the time limit gets a Ctrl-C, and
  the model is told that the program was still running;
* if gdb does not come back after the Ctrl-C either, the session is reset and
  the model is told that breakpoints and program state are gone;
* if gdb has exited (the model sent ``quit``), the next call starts a new one;
* gdb's yes/no questions are handed to the model, which answers them;
* long answers are cut in the middle, keeping their beginning and end.

Here the "model" is a scripted list of tool calls, so the example runs on its
own::

    python examples/agent_tool.py

It needs ``gdb`` and ``cc`` on ``PATH`` and takes about ten seconds.
"""

from __future__ import annotations

import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Final, TypedDict

from pellux import Pellux

GDB_PROMPT: Final = "(gdb) "
# gdb's questions ("Delete all breakpoints? (y or n) ", and the forms with a
# default answer) also wait for input: the read ends there and the model
# answers the question itself.
QUESTIONS: Final = ["(y or n) ", "(y or [n]) ", "([y] or n) "]
MARKERS: Final = [GDB_PROMPT, *QUESTIONS]

# Sent to every fresh gdb: no pager prompts, no line wrapping.
SETUP: Final = ["set pagination off", "set width 0"]

TOOL_SCHEMA: Final[dict[str, object]] = {
    "name": "gdb",
    "description": (
        "Run one gdb command in the debugging session of the program under test and "
        "return what gdb printed. The session keeps its state between calls. If the "
        "program keeps running, it is interrupted after a time limit; bracketed notes "
        "starting with 'tool:' report such events."
    ),
    "parameters": {
        "type": "object",
        "properties": {
            "command": {"type": "string", "description": "one gdb command line, e.g. 'bt'"},
        },
        "required": ["command"],
    },
}


class ToolCall(TypedDict):
    name: str
    arguments: dict[str, str]


def clip(text: str, limit: int) -> str:
    """Keeps the beginning and the end of a long text, at line boundaries
    where possible, and says how much was left out."""
    if len(text) <= limit:
        return text
    head_len = limit // 2
    tail_len = limit - head_len
    head = text[:head_len]
    tail = text[-tail_len:]
    # Cut at a line break, or else at a blank, so no line or word is split.
    for sep in ("\n", " "):
        if sep in head:
            head = head[: head.rindex(sep) + 1]
            break
    for sep in ("\n", " "):
        if sep in tail:
            tail = tail[tail.index(sep) + 1 :]
            break
    omitted = len(text) - len(head) - len(tail)
    return f"{head}[... {omitted} characters omitted ...]\n{tail}"


class DebuggerTool:
    """One gdb session behind a text-in, text-out tool call.

    Like every ``Pellux`` object, the tool belongs to the thread that created
    it: an agent serving several conversations from several threads gives
    each thread its own tool.
    """

    def __init__(
        self,
        launcher: str,
        *,
        answer_timeout_ms: int = 10_000,
        interrupt_timeout_ms: int = 3_000,
        max_chars: int = 2_000,
    ) -> None:
        self.answer_timeout_ms = answer_timeout_ms
        self.interrupt_timeout_ms = interrupt_timeout_ms
        self.max_chars = max_chars
        self._gdb = Pellux(launcher, True, MARKERS)
        self._prepare(self._gdb.read_until_ready(timeout_ms=self.answer_timeout_ms))

    def __call__(self, command: str) -> str:
        try:
            return self._run(command)
        except Exception as error:
            # A failed write or restart reaches the model as text, like any
            # other answer, instead of ending the agent's loop.
            return f"[tool: the debugger failed: {error}]"

    def close(self) -> None:
        self._gdb.close()

    def _run(self, command: str) -> str:
        before: list[str] = []
        notes: list[str] = []
        if not self._gdb.is_alive():
            self._restart()
            before.append("gdb had exited; started a new session, "
                          "so breakpoints and program state are gone")

        started = time.monotonic()
        text = self._gdb.send_and_read_until_ready(command, timeout_ms=self.answer_timeout_ms)
        if not self._waiting(text):
            if self._exited(time.monotonic() - started):
                notes.append("gdb exited")
            else:
                notes.append(f"no prompt after {self.answer_timeout_ms / 1000:g} s, "
                             "gdb or the program was still busy; sent Ctrl-C")
                self._gdb.send_ctrl_c()
                text += self._gdb.read_until_ready(timeout_ms=self.interrupt_timeout_ms)
                if not self._waiting(text):
                    self._restart()
                    notes.append("gdb did not respond to Ctrl-C; the session was reset, "
                                 "so breakpoints and program state are gone")
        return self._for_model(text, before, notes)

    def _waiting(self, text: str) -> bool:
        # The reply does not say why the read ended; a marker at its end is
        # what tells that gdb waits for input.
        return any(text.endswith(marker) for marker in MARKERS)

    def _exited(self, elapsed_s: float) -> bool:
        # A read that ends early without a prompt ran out of output: gdb is
        # gone (or going). One that ran to its limit found gdb busy.
        if elapsed_s * 1000 >= self.answer_timeout_ms:
            return False
        deadline = time.monotonic() + 1.0
        while self._gdb.is_alive():
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.02)
        return True

    def _restart(self) -> None:
        self._gdb.reset()
        # reset() takes what the new gdb printed right away into the new
        # history; its first prompt may already be there.
        early = self._gdb.get_history()
        if not self._waiting(early):
            early += self._gdb.read_until_ready(timeout_ms=self.answer_timeout_ms)
        self._prepare(early)

    def _prepare(self, banner: str) -> None:
        if not self._waiting(banner):
            raise RuntimeError(f"gdb did not start: {banner!r}")
        for line in SETUP:
            self._gdb.send_and_read_until_ready(line, timeout_ms=self.answer_timeout_ms)

    def _for_model(self, text: str, before: list[str], after: list[str]) -> str:
        # The prompt carries no information for the model; a question does.
        if text.endswith(GDB_PROMPT):
            text = text[: -len(GDB_PROMPT)]
        text = clip(text.strip("\n"), self.max_chars) or "(no output)"
        return "\n".join([*(f"[tool: {n}]" for n in before), text,
                          *(f"[tool: {n}]" for n in after)])


PROGRAM = r"""
#include <stdio.h>

struct item { int id; int weight; struct item *next; };

static int histogram[1500];

static int score(const struct item *it) { return it->id * it->weight; }

static long total(const struct item *head)
{
    long sum = 0;
    for (const struct item *it = head; it != NULL; it = it->next)
        sum += score(it);
    return sum;
}

static void wait_for_work(void)
{
    volatile unsigned long spins = 0;
    for (;;)
        spins++;
}

int main(void)
{
    for (int i = 0; i < 1500; i++)
        histogram[i] = (i * 37) % 1009;
    struct item c = {3, 30, NULL}, b = {2, 20, &c}, a = {1, 10, &b};
    printf("total = %ld\n", total(&a));
    fflush(stdout);
    wait_for_work();
    return 0;
}
"""

# What a model might ask for, in order, with the reason it would give.
SCRIPT: Final[list[tuple[str, ToolCall]]] = [
    ("stop where scores are computed", {"name": "gdb", "arguments": {"command": "break score"}}),
    ("start the program", {"name": "gdb", "arguments": {"command": "run"}}),
    ("where are we?", {"name": "gdb", "arguments": {"command": "bt"}}),
    ("look at the item", {"name": "gdb", "arguments": {"command": "print *it"}}),
    ("see the result", {"name": "gdb", "arguments": {"command": "finish"}}),
    ("dump all the data (a long answer, cut for the model)",
     {"name": "gdb", "arguments": {"command": "print histogram"}}),
    ("remove the breakpoint (gdb asks first)", {"name": "gdb", "arguments": {"command": "delete"}}),
    ("answer gdb's question", {"name": "gdb", "arguments": {"command": "y"}}),
    ("let it run (it never stops by itself)",
     {"name": "gdb", "arguments": {"command": "continue"}}),
    ("where was it spinning?", {"name": "gdb", "arguments": {"command": "bt 1"}}),
    ("a shell command that ignores Ctrl-C",
     {"name": "gdb", "arguments": {"command": "shell sh -c 'trap \"\" INT; sleep 60'"}}),
    ("check what survived", {"name": "gdb", "arguments": {"command": "info breakpoints"}}),
    ("leave gdb", {"name": "gdb", "arguments": {"command": "quit"}}),
    ("keep going anyway", {"name": "gdb", "arguments": {"command": "info line main"}}),
]


def build(workdir: Path) -> Path:
    """Compiles the program and writes the launcher pellux runs: the command
    is one program path with no arguments, so gdb's arguments live here."""
    (workdir / "inventory.c").write_text(PROGRAM)
    subprocess.run(["cc", "-g", "-O0", "-o", "inventory", "inventory.c"], cwd=workdir, check=True)
    launcher = workdir / "gdb-inventory"
    binary = shlex.quote(str(workdir / "inventory"))
    # With DEBUGINFOD_URLS set, gdb asks whether to download debug info on
    # the first run: a question, not a prompt. No network is wanted here.
    launcher.write_text(
        "#!/bin/sh\n"
        "unset DEBUGINFOD_URLS\n"
        f"exec gdb -q -nx {binary}\n"
    )
    launcher.chmod(0o755)
    return launcher


def agent_loop(tool: DebuggerTool, script: list[tuple[str, ToolCall]]) -> list[dict[str, str]]:
    """Plays the scripted model against the tool, as a tool loop would, and
    returns the conversation."""
    tools = {"gdb": tool}
    messages: list[dict[str, str]] = []
    for thought, call in script:
        command = call["arguments"]["command"]
        print(f"\nmodel: {thought}\n  gdb> {command}")
        started = time.monotonic()
        result = tools[call["name"]](command)
        print(f"  ({time.monotonic() - started:.2f} s)")
        for line in result.split("\n"):
            print(f"  | {line}")
        messages.append({"role": "assistant", "tool": call["name"], "content": command})
        messages.append({"role": "tool", "tool": call["name"], "content": result})
    return messages


def main() -> int:
    missing = [tool for tool in ("gdb", "cc") if shutil.which(tool) is None]
    if missing:
        print(f"this example needs {' and '.join(missing)} on PATH", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory(prefix="pellux-agent-") as tmp:
        launcher = build(Path(tmp))
        started = time.monotonic()
        # Short limits keep the demonstration quick; the defaults suit real use.
        tool = DebuggerTool(str(launcher), answer_timeout_ms=2_000,
                            interrupt_timeout_ms=1_000, max_chars=600)
        try:
            messages = agent_loop(tool, SCRIPT)
        finally:
            tool.close()
        longest = max(len(m["content"]) for m in messages)
        print(f"\n{len(SCRIPT)} tool calls in {time.monotonic() - started:.1f} s; "
              f"longest text handed to the model: {longest} characters")
    return 0


if __name__ == "__main__":
    sys.exit(main())
