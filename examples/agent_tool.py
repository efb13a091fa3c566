"""A debugger as a tool for an LLM agent.

``DebuggerTool`` wraps one gdb ``Terminal`` in a single call, "run this
command in the debugger", that returns text for the model. It is what a tool
loop registers (``TOOL_SCHEMA`` is the description a model sees). It never
raises for a slow or stuck program and never returns more text than the model
should read. Each answer's ``Turn.status`` says why the read ended, and the
tool acts on it:

* ``timeout``: the program was still running; it gets a Ctrl-C, and the
  model is told so;
* if gdb does not come back after the Ctrl-C either, the session is
  restarted and the model is told that breakpoints and program state are gone;
* ``exited``: gdb has exited (the model sent ``quit``); the next call starts
  a new one;
* ``ready`` on one of gdb's yes/no questions (the gdb preset counts them as
  prompts): the question is handed to the model, which answers it;
* long answers are cut in the middle, keeping their beginning and end.

Here the "model" is a scripted list of tool calls, so the example runs on its
own::

    python examples/agent_tool.py

It needs ``gdb`` and ``cc`` on ``PATH`` and takes about ten seconds.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Final, TypedDict

from pellux_agent import Terminal, Turn

GDB_PROMPT: Final = "(gdb) "

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

    Any thread may call the tool; its calls run one at a time, as the calls
    of every ``Terminal`` do. An agent serving several conversations gives
    each conversation its own tool (or uses ``AsyncTerminal``, see
    async_agent.py).
    """

    def __init__(
        self,
        program: Path,
        *,
        answer_timeout_ms: int = 10_000,
        interrupt_timeout_ms: int = 3_000,
        max_chars: int = 2_000,
    ) -> None:
        self.answer_timeout_ms = answer_timeout_ms
        self.interrupt_timeout_ms = interrupt_timeout_ms
        self.max_chars = max_chars
        # The arguments reach gdb as they are; no wrapper script. With
        # DEBUGINFOD_URLS set, gdb asks whether to download debug info on the
        # first run; no network is wanted here.
        self._gdb = Terminal(
            "gdb",
            ["-q", "-nx", str(program)],
            cwd=str(program.parent),
            env={"DEBUGINFOD_URLS": None},
        )
        self._prepare(self._gdb.read(self.answer_timeout_ms))

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
        if not self._gdb.alive:
            self._prepare(self._gdb.restart(self.answer_timeout_ms))
            before.append("gdb had exited; started a new session, "
                          "so breakpoints and program state are gone")

        turn = self._gdb.send(command, self.answer_timeout_ms)
        text = turn.output
        if turn.status == "exited":
            notes.append("gdb exited")
        elif turn.status == "limit":
            notes.append("the answer was too long; its end was not read")
        elif turn.status == "timeout":
            notes.append(f"no prompt after {self.answer_timeout_ms / 1000:g} s, "
                         "gdb or the program was still busy; sent Ctrl-C")
            after = self._gdb.interrupt(self.interrupt_timeout_ms)
            text += after.output
            if after.status != "ready":
                self._prepare(self._gdb.restart(self.answer_timeout_ms))
                notes.append("gdb did not respond to Ctrl-C; the session was restarted, "
                             "so breakpoints and program state are gone")
        return self._for_model(text, before, notes)

    def _prepare(self, banner: Turn) -> None:
        if banner.status != "ready":
            raise RuntimeError(f"gdb did not start ({banner.status}): {banner.output!r}")
        for line in SETUP:
            self._gdb.send(line, self.answer_timeout_ms)

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
    """Compiles the program under test."""
    (workdir / "inventory.c").write_text(PROGRAM)
    subprocess.run(["cc", "-g", "-O0", "-o", "inventory", "inventory.c"], cwd=workdir, check=True)
    return workdir / "inventory"


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
        program = build(Path(tmp))
        started = time.monotonic()
        # Short limits keep the demonstration quick; the defaults suit real use.
        tool = DebuggerTool(program, answer_timeout_ms=2_000,
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
