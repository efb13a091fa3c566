"""What is in front of the terminal, on every turn: the foreground process
(the program, or the pager or editor it opened), the alternate screen and
hidden input; with git's pager, git's editor, man and getpass."""

from __future__ import annotations

import shutil
import subprocess

import pytest
from agent_support import PYTHON

from pellux_agent import Foreground, Terminal


def needs(*programs: str) -> None:
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        pytest.skip(f"needs {', '.join(missing)} (not installed here)")


@pytest.fixture
def repo(tmp_path):
    """A git repository with a few commits and a staged change."""
    needs("git")
    root = tmp_path / "repo"
    root.mkdir()

    def git(*args: str) -> None:
        subprocess.run(["git", *args], cwd=root, check=True, capture_output=True)

    git("init", "-q")
    git("config", "user.name", "Test")
    git("config", "user.email", "test@example.invalid")
    for n in range(3):
        (root / "file.txt").write_text(f"version {n}\n")
        git("add", "file.txt")
        git("commit", "-q", "-m", f"change number {n}")
    (root / "file.txt").write_text("staged\n")
    git("add", "file.txt")
    return root


def test_a_shell_at_its_prompt_is_in_front_with_echo_and_the_main_screen():
    with Terminal("bash") as t:
        turn = t.read(30_000)
        assert turn.foreground == Foreground("bash", t.pid)
        assert turn.alt_screen is False and turn.echo_off is False


def test_a_password_prompt_reads_with_echo_off_in_front_of_the_shell():
    with Terminal("bash") as t:
        t.read(30_000)
        turn = t.send(f"{PYTHON} -c 'import getpass; print(len(getpass.getpass(\"Secret: \")))'", 30_000)
        assert turn.status == "ready" and turn.output.endswith("Secret: ")
        assert turn.echo_off is True
        assert turn.foreground is not None and turn.foreground.pid != t.pid
        assert turn.foreground.name.startswith("python")
        turn = t.send("hunter2", 30_000)
        assert "7" in turn.output and "hunter2" not in turn.output
        assert turn.echo_off is False and turn.foreground == Foreground("bash", t.pid)


def test_git_log_with_its_pager_left_on_puts_less_in_front_until_q(repo):
    needs("less")
    # The terminal's default PAGER/GIT_PAGER=cat is lifted; the repository
    # names less as its pager, and LESS keeps it on the alternate screen
    # even for a short log.
    env = {"GIT_PAGER": None, "PAGER": None, "LESS": "-R"}
    subprocess.run(["git", "config", "core.pager", "less"], cwd=repo, check=True)
    with Terminal("bash", cwd=str(repo), env=env) as t:
        t.read(30_000)
        turn = t.send("git log", 30_000)
        assert turn.foreground is not None and turn.foreground.name == "less", turn
        assert turn.alt_screen is True
        assert "change number 2" in turn.output
        turn = t.send_keys("q", 30_000)
        assert turn.foreground == Foreground("bash", t.pid) and turn.alt_screen is False
    # GIT_PAGER=less, without the repository's setting, does the same.
    subprocess.run(["git", "config", "--unset", "core.pager"], cwd=repo, check=True)
    with Terminal("bash", cwd=str(repo), env={**env, "GIT_PAGER": "less"}) as t:
        t.read(30_000)
        turn = t.send("git log --oneline", 30_000)
        assert turn.foreground is not None and turn.foreground.name == "less"
        t.send_keys("q", 30_000)


def test_git_commit_opens_vim_in_front_and_escape_q_bang_leaves_it(repo):
    needs("vim")
    with Terminal("bash", cwd=str(repo), env={"GIT_EDITOR": "vim -u NONE -i NONE -n"}) as t:
        t.read(30_000)
        turn = t.send("git commit", 30_000)
        assert turn.foreground is not None and turn.foreground.name == "vim", turn
        assert turn.alt_screen is True and turn.echo_off is False
        turn = t.send_keys(["escape", ":q!", "enter"], 30_000)
        assert turn.foreground == Foreground("bash", t.pid) and turn.alt_screen is False
        assert "Aborting commit" in turn.output


def test_man_puts_its_pager_in_front(tmp_path):
    needs("man", "less")
    if subprocess.run(["man", "-w", "ls"], capture_output=True).returncode != 0:
        pytest.skip("no manual page for ls is installed here")
    with Terminal("bash", env={"MANPAGER": None, "PAGER": "less", "LESS": "-R"}) as t:
        t.read(30_000)
        turn = t.send("man ls", 30_000)
        assert turn.foreground is not None and turn.foreground.name in ("less", "man", "pager"), turn
        assert turn.alt_screen is True
        turn = t.send_keys("q", 30_000)
        assert turn.foreground == Foreground("bash", t.pid) and turn.alt_screen is False


def test_once_the_program_has_ended_nothing_is_in_front():
    with Terminal(PYTHON, ["-c", "print('bye')"]) as t:
        turn = t.read(30_000)
        assert turn.status == "exited"
        assert turn.foreground is None and turn.alt_screen is False and turn.echo_off is False
