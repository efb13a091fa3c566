"""send_secret through the SDK's stdio client: a password asked of the person
(URL-mode elicitation answered by a callback that types it on the server's
page, as a browser would), one offered by the deployment (--secret-env), and
the refusals. Every place the value could leak is searched for it."""

from __future__ import annotations

import json
import sys
import urllib.parse
import urllib.request
from pathlib import Path
from typing import Any

import anyio
import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
from mcp import types  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import Client, connect  # noqa: E402

pytestmark = pytest.mark.anyio

# Non-ASCII and punctuation on purpose: the value must arrive byte for byte.
SECRET = "s3cr3t-Ωmega-4711"
GETPASS = ["-c", "import getpass; print(len(getpass.getpass()))"]


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


class Person:
    """The user at the client: accepts (or declines) and types the value on
    the page the server names, through its form, as a browser submits it."""

    def __init__(self, value: str = SECRET, action: str = "accept") -> None:
        self.value = value
        self.action = action
        self.asked: list[types.ElicitRequestParams] = []
        self.page = ""

    async def __call__(self, context: Any, params: types.ElicitRequestParams) -> types.ElicitResult:
        self.asked.append(params)
        if self.action == "accept":
            assert isinstance(params, types.ElicitRequestURLParams), params
            await anyio.to_thread.run_sync(self._type_on_page, params.url)
        return types.ElicitResult(action=self.action)

    def _type_on_page(self, url: str) -> None:
        with urllib.request.urlopen(url, timeout=30) as page:
            self.page = page.read().decode()
        body = urllib.parse.urlencode({"value": self.value}).encode()
        with urllib.request.urlopen(urllib.request.Request(url, data=body), timeout=30) as done:
            assert done.status == 200


async def collected(client: Client, results: list[Any], tool: str, **arguments: Any) -> dict[str, Any]:
    result = await client.call_raw(tool, **arguments)
    results.append(result.model_dump_json())
    assert not result.is_error, f"{tool} failed: {result.content}"
    return result.structured_content


async def test_a_password_typed_by_the_person_reaches_the_program_and_nothing_else(tmp_path: Path) -> None:
    person = Person()
    results: list[Any] = []
    log = tmp_path / "server.log"
    record_dir = tmp_path / "casts"
    with log.open("w") as errlog:
        async with connect(
            "--record-dir", str(record_dir), elicitation_callback=person, errlog=errlog
        ) as client:
            first = await collected(client, results, "start_session", command=sys.executable,
                                    args=GETPASS, record=True)
            assert first["output"].endswith("Password: ") and first["status"] == "ready"
            sid = first["session_id"]
            answer = await collected(client, results, "send_secret", session_id=sid,
                                     prompt="Password for the test program")
            # The program got the value whole: it printed its length.
            assert str(len(SECRET)) in answer["output"].split(), answer
            history = await collected(client, results, "get_history", session_id=sid)
            listing = await collected(client, results, "list_sessions")
            await collected(client, results, "close_session", session_id=sid)
    # The person was asked once, in URL mode, and saw the prompt on the page.
    assert len(person.asked) == 1 and person.asked[0].mode == "url"
    assert person.asked[0].url.startswith("http://127.0.0.1:")
    assert "Password for the test program" in person.page
    assert "Password:" in history["history"] and str(len(SECRET)) in history["history"]
    assert listing["sessions"][0]["session_id"] == sid
    recording = Path(first["recording"])
    assert recording.parent == record_dir.resolve()
    cast = recording.read_text(encoding="utf-8")
    assert '"hidden input typed"' in cast
    # Nowhere: no result, the history, the server's log, the recording.
    for where, text in [
        ("results", "\n".join(results)),
        ("history", history["history"]),
        ("server log", log.read_text()),
        ("recording", cast),
        ("elicitation", json.dumps([p.model_dump(mode="json") for p in person.asked])),
    ]:
        assert SECRET not in text, f"the secret leaked into the {where}"
        assert json.dumps(SECRET) not in text, f"the secret leaked (escaped) into the {where}"


async def test_refusals_type_nothing_and_ask_no_one() -> None:
    person = Person()
    async with connect(elicitation_callback=person) as client:
        # A shell at its prompt: readline reads key by key, echo is its own.
        sid, _ = await client.start("bash", args=["--norc", "--noprofile"])
        message = await client.error("send_secret", session_id=sid)
        assert "not reading a hidden line" in message and "nothing was asked or typed" in message
        assert person.asked == []
        # The shell got nothing: its next command runs as the first one.
        turn = await client.send(sid, "echo $((6*7))")
        assert "42" in turn["output"] and "command not found" not in turn["output"]
        # With no value offered under that name, the names are listed, not values.
        message = await client.error("send_secret", session_id=sid, env="NOPE")
        assert "no secret named 'NOPE'" in message and "--secret-env" in message
    # A person who declines: the program still waits, nothing typed.
    person = Person(action="decline")
    async with connect(elicitation_callback=person) as client:
        sid, _ = await client.start(sys.executable, args=GETPASS)
        message = await client.error("send_secret", session_id=sid)
        assert "did not give the value (decline)" in message
        still = await client.call("read_output", session_id=sid, timeout_ms=200)
        assert still["alive"] is True


async def test_a_client_without_elicitation_gets_a_clear_error() -> None:
    async with connect() as client:
        tools = {t.name: t for t in (await client.session.list_tools()).tools}
        # The model learns when to call it and never to ask for passwords in chat.
        description = tools["send_secret"].description
        assert "password prompt" in description and "send_input" in description
        assert "'timeout'" in description and "env" in tools["send_secret"].input_schema["properties"]
        sid, _ = await client.start(sys.executable, args=GETPASS)
        message = await client.error("send_secret", session_id=sid)
    assert "does not support elicitation" in message and "--secret-env" in message


async def test_values_offered_by_the_deployment_are_typed_never_shown(tmp_path: Path) -> None:
    results: list[Any] = []
    log = tmp_path / "server.log"
    with log.open("w") as errlog:
        async with connect(
            "--secret-env", "PELLUX_TEST_SECRET", env={"PELLUX_TEST_SECRET": SECRET}, errlog=errlog
        ) as client:
            first = await collected(client, results, "start_session", command=sys.executable, args=GETPASS)
            answer = await collected(client, results, "send_secret", session_id=first["session_id"],
                                     env="PELLUX_TEST_SECRET")
            assert str(len(SECRET)) in answer["output"].split()
            # A program the server starts finds it neither in its environment
            # nor in the server's.
            shell = await collected(client, results, "start_session", command="sh")
            probe = await collected(
                client, results, "send_input", session_id=shell["session_id"],
                input='echo "[${PELLUX_TEST_SECRET:-unset}]"; tr "\\0" " " < /proc/$PPID/cmdline; '
                'echo; tr "\\0" "\\n" < /proc/$PPID/environ; echo done',
            )
            output = probe["output"]
            assert "[unset]" in output and "done" in output
            # Its parent is the server, whose first environment no longer
            # holds the value (searched for below with the rest).
            assert "pellux_agent" in output, output
            history = await collected(client, results, "get_history", session_id=shell["session_id"])
    for where, text in [("results", "\n".join(results)), ("history", history["history"]),
                        ("server log", log.read_text())]:
        assert SECRET not in text, f"the secret leaked into the {where}"


async def test_the_secret_page_takes_one_value_from_its_own_address_only() -> None:
    import http.client

    from pellux_agent.server.hidden import SecretPage

    def request(port: int, method: str, path: str, body: str = "", **headers: str) -> tuple[int, str]:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        try:
            connection.request(method, path, body=body.encode() or None, headers=headers)
            answer = connection.getresponse()
            return answer.status, answer.read().decode()
        finally:
            connection.close()

    async with SecretPage("sudo password for <script>alert(1)</script>") as page:
        parsed = urllib.parse.urlsplit(page.url)
        port, path = parsed.port, parsed.path
        assert port is not None

        def check() -> None:
            status, form = request(port, "GET", path)
            # The title is shown as text, never as markup.
            assert status == 200 and "&lt;script&gt;" in form and "<script>" not in form
            assert request(port, "GET", path + "x")[0] == 404
            assert request(port, "GET", "/secret/guess")[0] == 404
            # Another name for this machine (DNS rebinding), another site's page.
            assert request(port, "GET", path, Host="evil.example")[0] == 403
            posted = urllib.parse.urlencode({"value": "one"})
            form_type = {"Content-Type": "application/x-www-form-urlencoded"}
            assert request(port, "POST", path, posted, Origin="http://evil.example", **form_type)[0] == 403
            assert request(port, "PUT", path)[0] == 405
            assert request(port, "POST", path, "other=1", **form_type)[0] == 400
            assert request(port, "POST", path, posted, **form_type)[0] == 200
            # One value per page.
            assert request(port, "POST", path, urllib.parse.urlencode({"value": "two"}), **form_type)[0] == 410

        await anyio.to_thread.run_sync(check)
        assert await page.value() == "one"
