"""The MCP tools: what each one takes, what the model reads about it, and
the server that offers them."""

from __future__ import annotations

import inspect
import secrets
from typing import Annotated, Any, Final, Literal

import anyio
from mcp.server.mcpserver import Context, MCPServer
from mcp.server.mcpserver.tools import Tool
from pydantic import ConfigDict, Field

from ..screen import available as screen_available
from .results import (
    MAX_COLS,
    MAX_HISTORY_CHARS,
    MAX_ROWS,
    MAX_SCROLLBACK_LINES,
    MAX_TIMEOUT_MS,
    STATUS_HELP,
    CloseResult,
    HistoryResult,
    ResizeResult,
    ScreenResult,
    SessionList,
    StartResult,
    TurnResult,
    WaitResult,
)
from .hidden import SecretPage
from .sessions import Limits, SessionError, SessionManager


INSTRUCTIONS = f"""\
Run command-line programs (shells, REPLs such as python3 or node, debuggers such as gdb, \
database shells such as sqlite3) in real terminals and talk to them turn by turn. \
start_session starts one and returns its session_id; send_input types a line and returns \
the answer when the program shows its prompt again; send_keys presses keys (Esc, arrows, \
Ctrl-D, a single 'q' without Enter) for pagers, editors and full-screen programs; \
get_screen shows what a person would see on such a program's terminal. {STATUS_HELP}"""


_TIMEOUT_HELP = f"Milliseconds to wait for the answer (0 to {MAX_TIMEOUT_MS:,})."
_SESSION_ID_HELP = "The session_id that start_session returned."


def build_server(limits: Limits) -> tuple[MCPServer[Any], SessionManager]:
    # A screen costs a few milliseconds of CPU per MiB of output and at most
    # a few MiB of memory per session: every session has one where the
    # emulator is installed.
    screen_default = screen_available()
    """The MCP server with its tools, and the session manager behind them."""
    manager = SessionManager(limits)

    async def start_session(
        command: Annotated[str, Field(description="Program name (looked up on PATH) or path.")],
        args: Annotated[
            list[str], Field(description="Arguments, passed exactly as given (no shell).")
        ] = [],  # noqa: B006 - pydantic copies defaults
        cwd: Annotated[str | None, Field(description="Working directory.")] = None,
        env: Annotated[
            dict[str, str | None] | None,
            Field(description="Environment variables to set; null removes one."),
        ] = None,
        rows: Annotated[int, Field(description=f"Terminal rows (1 to {MAX_ROWS}).")] = 24,
        cols: Annotated[int, Field(description=f"Terminal columns (1 to {MAX_COLS}).")] = 80,
        ready_markers: Annotated[
            list[str] | None,
            Field(
                description="Prompt strings that mean the program waits for input. Leave null "
                "for known programs (bash, sh, dash, zsh, python3, gdb, sqlite3, node) and "
                "for the rest (their reads end when the output pauses); [] forces that."
            ),
        ] = None,
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
        wait_for: Annotated[
            Literal["auto", "markers", "quiet", "input"],
            Field(
                description="How a read knows the answer is complete. 'auto' (best, leave it): as "
                "soon as the program waits for input, as the kernel sees it, falling back on the "
                "prompts where that cannot be seen; 'markers': the prompt strings; 'quiet': a "
                "pause in the output; 'input': the kernel's view only."
            ),
        ] = "auto",
        screen: Annotated[
            bool,
            Field(
                description="Keep a rendered screen for get_screen (full-screen programs such as "
                "top, less, vim, htop, and progress bars redrawn in place, whose plain output is "
                "hard to read). On by default where the server has its terminal emulator; false "
                "opts out."
            ),
        ] = screen_default,
        record: Annotated[
            bool,
            Field(
                description="Record the session (output, input, resizes, with times) to an "
                "asciicast file a person can replay or follow live; the result's 'recording' "
                "names it. Only on servers started with --record-dir."
            ),
        ] = False,
    ) -> StartResult:
        """Start a program in a new terminal and return what it printed up to its first prompt.

        Use one session per program and keep it for many turns: the program keeps its
        state (variables, breakpoints, working directory) between send_input calls.
        Close it with close_session when done."""
        return await manager.start(
            command, args, cwd, env, rows, cols, ready_markers, timeout_ms, wait_for, screen, record
        )

    async def send_input(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        input: Annotated[
            str, Field(description="The text to type; a line feed is added (Enter).")
        ],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
    ) -> TurnResult:
        """Type one line into the program, as at a keyboard followed by Enter, and return
        its answer. Send one command per call. In a REPL a compound statement (def, for,
        if ...) goes one line per call, each answered by the continuation prompt ('... '),
        and ends with an empty input ''. Several lines in one input (a shell function, a
        heredoc) reach a program that accepts pasted text (bash, zsh, Python 3.13 at their
        prompts) whole, as one paste followed by Enter, and are answered once; other
        programs read them one after the other.

        If status is 'timeout' the program is still working: read_output to wait more,
        or send_interrupt to stop it."""
        return await manager.send(session_id, input, timeout_ms)

    async def read_output(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        timeout_ms: Annotated[
            int,
            Field(
                description="0 returns what is already there without waiting; more waits "
                f"that long for the prompt (up to {MAX_TIMEOUT_MS:,})."
            ),
        ] = 0,
    ) -> TurnResult:
        """Return output the program printed since the last answer, without typing
        anything. Use it after a 'timeout' or 'limit' status, or to follow a program
        that keeps printing."""
        return await manager.read(session_id, timeout_ms)

    async def wait_for_output(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        pattern: Annotated[
            str,
            Field(
                description="A regular expression (Python syntax) to wait for in the output, "
                "e.g. 'Listening on port (\\d+)' or 'ERROR|FAILED'. Escape special characters "
                "to match them as they are: '\\$ ', '\\(y/n\\)'."
            ),
        ],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
    ) -> WaitResult:
        """Wait until the program prints text that matches pattern, then return at once.
        Use it for a line that says something is ready or done while the program keeps
        running: a server's 'Listening on port', a build's 'BUILD SUCCESSFUL', a test
        run's summary, a download's 'saved'. It waits without typing anything and without
        polling. output is the text up to the end of the match; match is what matched and
        groups its groups; what followed stays for the next read. Status 'timeout' (no match
        in time: output has what came) or 'exited' (the program ended first)."""
        return await manager.wait_for(session_id, pattern, timeout_ms)

    async def send_interrupt(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 5_000,
    ) -> TurnResult:
        """Press Ctrl-C in the terminal, then return the answer. Use it when a command
        runs too long or hangs (status 'timeout'), or to leave a half-typed
        multi-line statement: the program stops the running command and shows its
        prompt again, keeping its state. In gdb it stops the program being debugged."""
        return await manager.interrupt(session_id, timeout_ms)

    async def restart_session(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
    ) -> TurnResult:
        """End the program and start it again in the same session (same command,
        arguments, directory, environment), returning its first output. All of its state
        is lost. Use it when the program exited (status 'exited', alive false) or when
        send_interrupt did not bring its prompt back."""
        return await manager.restart(session_id, timeout_ms)

    async def send_keys(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        keys: Annotated[
            str | list[str],
            Field(
                description="A string is typed as it is, with no Enter added: 'q', 'y', ':wq'. "
                "A list holds key names and text, in order: ['/error', 'enter'], "
                "['escape', ':q!', 'enter'], ['ctrl-c'], ['pagedown']. Key names: enter, tab, "
                "shift-tab, escape, backspace, delete, insert, up, down, left, right, home, "
                "end, pageup, pagedown, space, f1-f12, ctrl-a..ctrl-z (also ctrl-[ ctrl-] "
                "ctrl-\\ ctrl-^ ctrl-_), alt-<key>."
            ),
        ],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
    ) -> TurnResult:
        """Press keys in the terminal, exactly as given (no Enter unless you include
        'enter'), then return the answer like read_output. Use it where send_input's
        line plus Enter is wrong: to answer a one-key question ('y'), to move or quit in
        a pager or a full-screen program (less: 'pagedown', '/word' then 'enter', 'q';
        top: 'q'; vim: ['escape', ':q!', 'enter']), for Esc, Tab completion, arrow keys, or
        Ctrl-D to end input. For
        commands at a prompt use send_input. The output of a full-screen program is best
        read with get_screen."""
        return await manager.keys(session_id, keys, timeout_ms)

    async def resize_session(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        rows: Annotated[int, Field(description=f"Terminal rows (1 to {MAX_ROWS}).")],
        cols: Annotated[int, Field(description=f"Terminal columns (1 to {MAX_COLS}).")],
    ) -> ResizeResult:
        """Change the terminal's size; the program is told (SIGWINCH) and full-screen
        programs redraw. Use it when rows are cut or wrap, or to see more of a
        full-screen program; get_screen then shows the new size."""
        return await manager.resize(session_id, rows, cols)

    async def get_screen(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        scrollback: Annotated[
            int,
            Field(
                description="How many of the latest lines that scrolled off the top to "
                f"include as well (0 to {MAX_SCROLLBACK_LINES})."
            ),
        ] = 0,
    ) -> ScreenResult:
        """Return the terminal's screen as a person would see it now: every row as text,
        after cursor moves, redraws and carriage returns are applied (a progress bar
        shows its last state, top its current table, less the page it shows), and the
        cursor position. It waits for nothing and takes what the program printed so far;
        that output then counts as read (read_output will not return it, get_history
        has it). Works on every session not started with screen=false (where the server has its
        terminal emulator). alt_screen is true while a full-screen program shows its own screen.
        Use it for full-screen programs and
        after send_keys to them; for line-by-line programs the output of send_input is
        enough."""
        return await manager.screen(session_id, scrollback)

    async def close_session(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
    ) -> CloseResult:
        """End the program, with everything it started, and forget the session."""
        return await manager.close(session_id)

    async def list_sessions() -> SessionList:
        """List the open sessions: id, program, arguments, whether it still runs, whether
        a call on it is in progress and how long it has been unused. Sessions unused for
        a long time are closed by the server."""
        return manager.describe()

    async def get_history(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        max_chars: Annotated[
            int | None,
            Field(
                description="Return at most this many of the latest characters "
                f"(1 to {MAX_HISTORY_CHARS:,}); the default is the server's answer size."
            ),
        ] = None,
    ) -> HistoryResult:
        """Return the session's recent output as plain text, everything the program
        printed since it (re)started, oldest first, up to the last few MiB. Use it to see
        what a truncated answer left out or to look back."""
        return await manager.history(session_id, max_chars)

    send_secret = _secret_tool(manager)

    # The tools that answer with a read explain every status themselves:
    # not every client shows the server's instructions to the model.
    tools = []
    for answers in (
        start_session, send_input, send_keys, read_output, send_interrupt, restart_session,
        wait_for_output,
        send_secret,
    ):
        doc = inspect.cleandoc(answers.__doc__ or "")
        tools.append(_strict(Tool.from_function(answers, description=f"{doc}\n\n{STATUS_HELP}")))
    for tool in (get_screen, resize_session, close_session, list_sessions, get_history):
        tools.append(_strict(Tool.from_function(tool, description=inspect.cleandoc(tool.__doc__ or ""))))
    mcp: MCPServer[Any] = MCPServer(
        "pellux",
        instructions=INSTRUCTIONS,
        log_level="WARNING",
        subscriptions=False,
        tools=tools,
    )
    return mcp, manager


# How long send_secret waits for the person to type the value on the page.
_PERSON_WAIT_S: Final = 300.0


def _secret_tool(manager: SessionManager) -> Any:
    """send_secret: a hidden value, asked of the person or offered by the
    deployment, typed into a password prompt."""

    async def send_secret(
        ctx: Context,
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        prompt: Annotated[
            str,
            Field(description="What to ask the person, e.g. 'sudo password for alice on db1'."),
        ] = "",
        env: Annotated[
            str | None,
            Field(
                description="Type the value the server offers under this name (its operator "
                "names them with --secret-env) instead of asking the person."
            ),
        ] = None,
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
    ) -> TurnResult:
        """Answer a password prompt (sudo, ssh, su, gpg, psql, getpass ...) without
        seeing the password: the person at the client types it on a page the client
        opens for them (or, with env, the server types a value its operator set up),
        then it is typed with Enter, and the program's answer is returned. The value is
        in no result, history or recording. Call it when the program waits at such a
        prompt (a prompt whose typing does not show); otherwise it is refused and
        nothing is typed. Never ask the user for a password in chat, and never type one
        with send_input."""
        manager.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        if len(prompt) > 1000:
            raise SessionError("prompt must be at most 1,000 characters")
        if env is not None:
            value = manager.offered_secret(env)
            return await manager.send_secret(session_id, value, timeout_ms)
        await manager.check_hidden_line(session_id)
        value = await _ask_person(ctx, session_id, prompt)
        return await manager.send_secret(session_id, value, timeout_ms)

    return send_secret


async def _ask_person(ctx: Context, session_id: str, prompt: str) -> str:
    """The value the person types on a one-time page of this server, which
    the client sends them to (URL-mode elicitation, the protocol's way for
    sensitive values: the value never passes through the client)."""
    capabilities = ctx.client_capabilities
    elicitation = capabilities.elicitation if capabilities is not None else None
    if elicitation is None:
        raise SessionError(
            "send_secret cannot ask for the value: this client does not support elicitation "
            "(asking its user for input). Use a client that does, or ask the server's operator "
            "to offer the value with --secret-env NAME and call send_secret with env=NAME"
        )
    if elicitation.url is None:
        raise SessionError(
            "send_secret cannot ask for the value: this client supports only form elicitation, "
            "which passes what the user types through the client; the protocol reserves "
            "URL-mode elicitation for passwords. Use a client with URL-mode elicitation, or "
            "ask the server's operator to offer the value with --secret-env NAME and call "
            "send_secret with env=NAME"
        )
    elicitation_id = secrets.token_urlsafe(16)
    asked = prompt or "The program asks for a hidden value (a password)"
    async with SecretPage(f"{asked} (terminal session {session_id})") as page:
        try:
            answer = await ctx.elicit_url(
                f"{asked}. Open the page to type it; it goes to the program in terminal "
                f"session {session_id} and is not shown to the model.",
                page.url,
                elicitation_id,
            )
        except Exception as error:
            raise SessionError(f"send_secret could not ask for the value: {error}") from None
        if answer.action != "accept":
            raise SessionError(
                f"the user did not give the value ({answer.action}); nothing was typed"
            )
        with anyio.move_on_after(_PERSON_WAIT_S):
            value = await page.value()
            await ctx.session.send_elicit_complete(elicitation_id)
            return value
    raise SessionError(
        f"the value was not typed on the page within {_PERSON_WAIT_S:g} s; nothing was typed"
    )


def _strict(tool: Tool) -> Tool:
    """The tool with arguments checked as they are: a value of the wrong type
    (``rows: "24"``, ``rows: true``, ``screen: "yes"``) and an argument the
    tool does not have (a misspelt ``colz``) are tool errors that name the
    argument, where the SDK's own model would convert the value or drop the
    name. The published schema says the same (no additional properties)."""
    lax = tool.fn_metadata.arg_model
    strict = type(
        lax.__name__,
        (lax,),
        {
            "__module__": __name__,
            "model_config": ConfigDict(strict=True, extra="forbid"),
        },
    )
    tool.fn_metadata.arg_model = strict
    tool.parameters = {**tool.parameters, "additionalProperties": False}
    return tool

