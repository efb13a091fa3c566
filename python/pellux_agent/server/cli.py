"""The command line of `pellux-mcp`: its options, the signals that end it,
and the process's exit."""

from __future__ import annotations

import argparse
import logging
import math
import os
import shutil
import sys
import tempfile
from collections.abc import Sequence

import anyio

from .hidden import SecretValues
from .programs import AllowList
from .results import MIN_OUTPUT_CHARS
from .sessions import Limits, serve_until_signalled
from .tools import build_server
from .http import HttpOptions, Tokens, check_options, parse_address, serve_http

async def serve(limits: Limits) -> None:
    """Serves MCP on stdin/stdout until the client leaves or a signal ends us."""
    mcp, manager = build_server(limits)
    # After a signal the process ends at once: the transport's stdin reader
    # is a thread blocked in a read that no cancellation reaches, so the
    # server cannot wind down through the task group.
    await serve_until_signalled(manager, mcp.run_stdio_async, _exit_now)


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _output_chars(text: str) -> int:
    value = int(text)
    if value < MIN_OUTPUT_CHARS:
        raise argparse.ArgumentTypeError(f"must be at least {MIN_OUTPUT_CHARS}, got {value}")
    return value


def _seconds(text: str) -> float:
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a number of seconds >= 0, got {text}")
    return value


def _record_cap(text: str) -> int:
    value = int(text)
    if value < 1024:
        raise argparse.ArgumentTypeError(f"must be at least 1024, got {value}")
    return value


def parse_args(argv: Sequence[str] | None = None) -> Limits:
    return parse_command_line(argv)[0]


def parse_command_line(
    argv: Sequence[str] | None = None,
) -> tuple[Limits, HttpOptions | None, str | None]:
    """The limits, the HTTP options (None: stdio) and, when the server made
    its own token, that token (to show once)."""
    parser = argparse.ArgumentParser(
        prog="pellux-mcp",
        description="MCP server (stdio, or streamable HTTP with --http) that runs terminal "
        "programs for an agent.",
    )
    parser.add_argument(
        "--allow",
        action="append",
        default=[],
        metavar="PROGRAM",
        help="allow this program (a name looked up on PATH, or a path) or every program in "
        "this directory (a path, subdirectories included); repeat for more. When given, no "
        "other program may start. Compared by real path (symbolic links and '..' resolved): "
        "a command is resolved from its session's cwd along the PATH its environment gives, "
        "and exactly the file checked is executed. env may then not set the dynamic "
        "loader's variables (LD_*, GCONV_PATH, GLIBC_TUNABLES).",
    )
    parser.add_argument(
        "--max-sessions",
        type=_positive_int,
        default=16,
        metavar="N",
        help="terminals open at once, every client's together (default 16)",
    )
    parser.add_argument(
        "--max-output-chars",
        type=_output_chars,
        default=20_000,
        metavar="N",
        help="longer answers keep their head and tail (default 20000)",
    )
    parser.add_argument(
        "--idle-timeout",
        type=_seconds,
        default=3600.0,
        metavar="SECONDS",
        help="close sessions unused this long (default 3600; 0: never)",
    )
    http = parser.add_argument_group("HTTP", "serving agents over the network")
    http.add_argument(
        "--http",
        metavar="HOST:PORT",
        help="serve MCP over streamable HTTP at http://HOST:PORT/mcp instead of stdio "
        "(HOST 127.0.0.1 unless another is given; PORT 0 picks a free one). TLS is a "
        "reverse proxy's job (see the README).",
    )
    http.add_argument(
        "--token-file",
        metavar="PATH",
        help="the bearer tokens clients must send, one per line (each token is a client of "
        "its own); without it the server makes one and prints it once to stderr",
    )
    http.add_argument(
        "--allowed-host",
        action="append",
        default=[],
        metavar="NAME",
        help="a host name requests may be addressed to besides the loopback names and the "
        "address served (the name a proxy forwards, the machine's name); repeat for more",
    )
    http.add_argument(
        "--view",
        action="store_true",
        help="also serve a read-only live view of the terminals at /view",
    )
    http.add_argument(
        "--max-client-sessions",
        type=_positive_int,
        metavar="N",
        help="terminals one client may hold open (default: --max-sessions)",
    )
    http.add_argument(
        "--max-clients",
        type=_positive_int,
        default=64,
        metavar="N",
        help="MCP sessions (connected clients) open at once (default 64)",
    )
    http.add_argument(
        "--client-idle-timeout",
        type=_seconds,
        default=600.0,
        metavar="SECONDS",
        help="end a client's MCP session, and close its terminals, when it has had no request "
        "in flight this long: how long a client that vanished (killed, cut off) holds its "
        "terminals (default 600; 0: never)",
    )
    parser.add_argument(
        "--record-dir",
        metavar="DIR",
        help="allow start_session(record=true): each recorded session is written to a new "
        "asciicast v2 file here (created if missing, readable by its owner only); "
        "python -m pellux_agent.watch FILE replays or follows one",
    )
    parser.add_argument(
        "--record-max-bytes",
        type=_record_cap,
        default=64 * 1024 * 1024,
        metavar="N",
        help="a recording stops growing at this size, with a last marker saying so "
        "(default 67108864, 64 MiB)",
    )
    parser.add_argument(
        "--secret-env",
        action="append",
        default=[],
        metavar="NAME",
        help="offer the value of this environment variable to send_secret(env=NAME); repeat "
        "for more. The variable is taken out of the environment of every program the server "
        "starts, no tool returns it, and the server becomes undumpable (no ptrace, no "
        "/proc/PID/environ) so that those programs cannot read it",
    )
    options = parser.parse_args(argv)
    try:
        allowed = AllowList.of(options.allow)
    except ValueError as error:
        parser.error(str(error))
    record_dir = None
    if options.record_dir is not None:
        record_dir = os.path.realpath(options.record_dir)
        try:
            os.makedirs(record_dir, mode=0o700, exist_ok=True)
        except OSError as error:
            parser.error(f"--record-dir {options.record_dir}: {error.strerror or error}")
        if not os.access(record_dir, os.W_OK | os.X_OK):
            parser.error(f"--record-dir {options.record_dir}: not a writable directory")
    for name in options.secret_env:
        if not name or "=" in name or "\0" in name:
            parser.error(f"--secret-env {name!r}: not a variable name")
    try:
        offered = SecretValues.from_environment(options.secret_env)
    except KeyError as missing:
        parser.error(f"--secret-env {missing.args[0]}: not set in the server's environment")
    limits = Limits(
        allow=allowed,
        max_sessions=options.max_sessions,
        max_output_chars=options.max_output_chars,
        idle_timeout_s=options.idle_timeout,
        max_client_sessions=options.max_client_sessions,
        record_dir=record_dir,
        record_max_bytes=options.record_max_bytes,
        secrets=offered,
    )
    if options.http is None:
        for name in ("token_file", "view", "allowed_host", "max_client_sessions"):  # noqa: SIM118
            if getattr(options, name):
                parser.error(f"--{name.replace('_', '-')} needs --http")
        return limits, None, None
    shown = None
    try:
        host, port = parse_address(options.http)
        if options.token_file is not None:
            tokens = Tokens.read(options.token_file)
        else:
            tokens, shown = Tokens.generate()
        http_options = HttpOptions(
            host=host,
            port=port,
            tokens=tokens,
            allowed_hosts=tuple(options.allowed_host),
            view=options.view,
            max_clients=options.max_clients,
            client_idle_timeout_s=options.client_idle_timeout,
        )
        check_options(http_options)
    except ValueError as error:
        parser.error(str(error))
    return limits, http_options, shown


# The directory that holds every terminal's private directory while the
# server runs; see _private_root.
_root: str | None = None


def _private_root() -> None:
    """Makes one directory of this server's own the parent of every
    temporary directory the process creates (each terminal's private one
    among them), so that the exit removes them all at once, also those of
    terminals whose close did not finish before the exit (a thread busy
    rendering a flood on a screen, say)."""
    global _root
    _root = tempfile.mkdtemp(prefix="pellux-mcp-")
    tempfile.tempdir = _root


def _exit_now() -> None:
    """Ends the process once every session is closed and every program ended.

    What is left to clean up is the private directories, and the
    interpreter's own finalization (collecting the SDK's large module graph)
    takes a good part of a second on a busy machine: time that a client
    waiting to kill us does not give.
    """
    if _root is not None:
        shutil.rmtree(_root, ignore_errors=True)
    logging.shutdown()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


def main(argv: Sequence[str] | None = None) -> None:
    """Entry point of `pellux-mcp` and `python -m pellux_agent`."""
    limits, http, token = parse_command_line(argv)
    _private_root()
    try:
        if http is None:
            anyio.run(serve, limits)
        else:
            anyio.run(serve_http, limits, http, token)
    except BaseException:
        if _root is not None:
            shutil.rmtree(_root, ignore_errors=True)
        raise
    _exit_now()
