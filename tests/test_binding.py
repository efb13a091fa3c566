"""The Python face of pellux: the module, the class and its methods as
Python sees them, the owner-thread rule, and the borrow checks that catch
re-entrant calls."""

import gc
import importlib
import inspect
import os
import shutil
import signal
import sys
import threading
import time
import weakref

import pytest

import pellux
from support import children_of_host, wait_until

Pellux = pellux.Pellux

CAT = shutil.which("cat")
UNSENDABLE = "assertion `left == right` failed: pellux::Pellux is unsendable, but sent to another thread"
DROPPED = "pellux::Pellux is unsendable, but is being dropped on another thread"

METHODS = {
    # name: (text signature, visible docstring)
    "set_ready_markers": ("($self, ready_markers)", None),
    "read_until_ready": (
        "($self, timeout_ms=None, max_output_bytes=None, settle_ms=None, quiet_ms=None)",
        "Read until ready marker appears (interactive=true) OR until output goes quiet (interactive=false).",
    ),
    "send_and_read_until_ready": (
        "($self, input, timeout_ms=None, max_output_bytes=None, settle_ms=None, quiet_ms=None)",
        "Send input and read until ready marker returns (interactive=true) OR until output goes quiet "
        "(interactive=false).",
    ),
    "read_available": ("($self, max_bytes=None)", "Non-blocking read of buffered output."),
    "send_ctrl_c": ("($self)", None),
    "get_history": ("($self)", None),
    "is_alive": ("($self)", None),
    "is_interactive": ("($self)", None),
    "get_initial_command": ("($self)", None),
    "close": ("($self)", None),
    "reset": ("($self)", None),
}

# A call of each method with valid arguments.
VALID_CALLS = {
    "set_ready_markers": ((["$ "],), {}),
    "read_until_ready": ((), {"timeout_ms": 10}),
    "send_and_read_until_ready": (("typed",), {"timeout_ms": 10}),
    "read_available": ((), {"max_bytes": 16}),
    "send_ctrl_c": ((), {}),
    "get_history": ((), {}),
    "is_alive": ((), {}),
    "is_interactive": ((), {}),
    "get_initial_command": ((), {}),
    "close": ((), {}),
    "reset": ((), {}),
}


def run_in_thread(fn, timeout=30):
    """Runs fn on a new thread; returns (result, exception)."""
    outcome = {}

    def target():
        try:
            outcome["result"] = fn()
        except BaseException as e:  # noqa: BLE001 - PanicException is the point
            # Without its traceback the exception holds no frame, so no cycle
            # keeps a session alive until a collection on some other thread.
            outcome["error"] = e.with_traceback(None)

    t = threading.Thread(target=target)
    t.start()
    t.join(timeout)
    assert not t.is_alive(), "the call on the other thread did not return"
    return outcome.get("result"), outcome.get("error")




def echo_roundtrip(s, word, timeout=15.0):
    """Sends `word` to cat and returns everything read until it came back."""
    text = s.send_and_read_until_ready(word, timeout_ms=0)
    deadline = time.monotonic() + timeout
    while word not in text:
        assert time.monotonic() < deadline, f"{word!r} did not come back; got {text!r}"
        text += s.read_until_ready(timeout_ms=200, quiet_ms=50)
    return text


def reader_tids():
    tids = set()
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() == "pellux_reader":
                    tids.add(int(tid))
        except OSError:
            pass
    return tids


@pytest.fixture(autouse=True)
def collect_garbage_on_the_owner_thread():
    # A session caught in a reference cycle would otherwise be freed by
    # whichever thread triggers the next collection, and leaked there.
    gc.collect()
    yield
    gc.collect()


@pytest.fixture
def session():
    s = Pellux(CAT, False)
    try:
        yield s
    finally:
        s.close()


# ---------------------------------------------------------------- module


class TestModule:
    def test_attributes(self):
        assert pellux.__all__ == ["Pellux"]
        assert type(pellux.__all__) is list
        assert pellux.__doc__ == ""
        import_machinery = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
        assert set(vars(pellux)) - import_machinery == {"Pellux", "__all__"}

    def test_reimport_gives_the_same_module_and_class(self):
        module, cls = sys.modules["pellux"], pellux.Pellux
        del sys.modules["pellux"]
        try:
            again = importlib.import_module("pellux")
        finally:
            sys.modules["pellux"] = module
        assert again is module
        assert again.Pellux is cls
        assert again.__all__ == ["Pellux"]

    def test_star_import(self):
        namespace = {}
        exec("from pellux import *", namespace)
        assert namespace["Pellux"] is Pellux
        assert set(namespace) == {"Pellux", "__builtins__"}


# ---------------------------------------------------------------- class


class TestClass:
    def test_names_and_docs(self):
        assert Pellux.__module__ == "builtins"
        assert Pellux.__name__ == Pellux.__qualname__ == "Pellux"
        assert repr(Pellux) == "<class 'builtins.Pellux'>"
        assert Pellux.__doc__ == ""
        assert Pellux.__text_signature__ == "(command, interactive, ready_markers=None)"
        assert str(inspect.signature(Pellux)) == "(command, interactive, ready_markers=None)"
        assert Pellux.__bases__ == (object,)

    def test_exactly_the_eleven_methods_and_no_other_slots(self):
        own = {name for name in vars(Pellux) if not name.startswith("__")}
        assert own == set(METHODS)
        for slot in ("__init__", "__repr__", "__str__", "__enter__", "__exit__", "__del__", "__eq__",
                     "__hash__", "__dict__", "__weakref__"):
            assert slot not in vars(Pellux), slot

    @pytest.mark.parametrize("name", list(METHODS))
    def test_method_signature_and_doc(self, name):
        text_signature, doc = METHODS[name]
        method = getattr(Pellux, name)
        assert method.__text_signature__ == text_signature
        assert method.__doc__ == doc
        assert method.__name__ == name
        assert method.__qualname__ == f"Pellux.{name}"

    def test_read_until_ready_signature(self):
        params = inspect.signature(Pellux.read_until_ready).parameters
        assert list(params)[1:] == ["timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms"]
        for name in list(params)[1:]:
            assert params[name].default is None
            assert params[name].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD

    def test_instance(self, session):
        assert type(session) is Pellux
        assert repr(session).startswith("<builtins.Pellux object at 0x")
        assert not gc.is_tracked(session)
        with pytest.raises(AttributeError):
            session.note = 1
        with pytest.raises(AttributeError):
            session.close = None
        with pytest.raises(TypeError):
            weakref.ref(session)

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Derived", (Pellux,), {})

    def test_class_attributes_are_assignable(self):
        Pellux.pellux_test_marker = 1
        try:
            assert Pellux.pellux_test_marker == 1
        finally:
            del Pellux.pellux_test_marker

    def test_inherited_init_accepts_the_constructor_arguments(self):
        s = Pellux(command=CAT, interactive=True, ready_markers=["> "])
        try:
            assert s.is_interactive() is True
            s.__init__("anything", 1, x=2)  # object's own, a no-op
            assert s.get_initial_command() == CAT
        finally:
            s.close()


# ---------------------------------------------------------------- owner thread


def panic_type():
    """PanicException, taken from an instance since pellux does not export it."""
    s = Pellux(CAT, False)
    try:
        _, error = run_in_thread(s.is_alive)
    finally:
        s.close()
    return type(error)


class TestOwnerThread:
    @pytest.mark.parametrize("name", list(VALID_CALLS))
    def test_every_method_refuses_another_thread(self, session, name):
        args, kwargs = VALID_CALLS[name]
        result, error = run_in_thread(lambda: getattr(session, name)(*args, **kwargs))
        assert result is None and error is not None
        assert type(error).__name__ == "PanicException"
        assert type(error).__module__ == "pyo3_runtime"
        assert len(error.args) == 1
        message = error.args[0]
        assert message.startswith(UNSENDABLE)
        assert "\n  left: " in message and "\n right: " in message
        # The owner goes on as if nothing happened: the session was not
        # touched (nothing was written to cat, nothing closed).
        assert session.is_alive() is True
        assert session.read_until_ready(timeout_ms=300, quiet_ms=100) == ""
        assert echo_roundtrip(session, "owner").strip() == "owner"

    def test_panic_exception_is_not_an_exception(self):
        panic = panic_type()
        assert panic.__name__ == "PanicException"
        assert issubclass(panic, BaseException)
        assert not issubclass(panic, Exception)
        assert not hasattr(pellux, "PanicException")

        s = Pellux(CAT, False)
        try:
            def call_and_catch_exception():
                try:
                    s.is_alive()
                except Exception:  # noqa: BLE001 - must not catch it
                    return "caught by except Exception"

            _, error = run_in_thread(call_and_catch_exception)
            assert type(error) is panic
        finally:
            s.close()

    def test_argument_errors_come_before_the_owner_check(self, session):
        _, error = run_in_thread(lambda: session.read_available(1, 2))
        assert type(error) is TypeError
        _, error = run_in_thread(lambda: session.is_alive(1))
        assert type(error) is TypeError

    def test_arguments_are_not_converted_on_another_thread(self, session):
        converted = []

        class Index:
            def __index__(self):
                converted.append(threading.current_thread().name)
                return 5

        _, error = run_in_thread(lambda: session.read_available(Index()))
        assert type(error).__name__ == "PanicException"
        assert converted == []
        assert session.read_available(Index()) == ""
        assert converted == [threading.current_thread().name]

    def test_close_from_another_thread_while_the_owner_reads(self, session):
        errors = []
        started = threading.Event()

        def intruder():
            started.wait(10)
            time.sleep(0.2)
            try:
                session.close()
            except BaseException as e:  # noqa: BLE001
                errors.append(e.with_traceback(None))

        t = threading.Thread(target=intruder)
        t.start()
        started.set()
        try:
            # The owner waits with the interpreter lock released.
            session.read_until_ready(timeout_ms=1500)
        finally:
            t.join(30)
        assert [type(e).__name__ for e in errors] == ["PanicException"]
        assert session.is_alive() is True

    def test_waiting_read_lets_other_threads_run(self, session):
        ticks = []
        stop = threading.Event()

        def counter():
            while not stop.is_set():
                ticks.append(1)
                time.sleep(0.005)

        t = threading.Thread(target=counter)
        t.start()
        try:
            time.sleep(0.05)
            before = len(ticks)
            session.read_until_ready(timeout_ms=800)
            during = len(ticks) - before
        finally:
            stop.set()
            t.join(10)
        assert during >= 10


# ---------------------------------------------------------------- dropped on another thread


class TestDropOnAnotherThread:
    def test_reported_unraisable_and_child_left_running(self, tmp_path, monkeypatch):
        reported = []
        monkeypatch.setattr(sys, "unraisablehook", lambda info: reported.append(info.exc_value))
        before, readers = children_of_host(), reader_tids()
        holder = [Pellux(CAT, False)]
        (child,) = set(children_of_host()) - set(before)
        try:
            _, error = run_in_thread(holder.clear)  # the last reference goes here
            assert error is None
            assert holder == []
            assert [(type(e), str(e)) for e in reported] == [(RuntimeError, DROPPED)]
            # The session is leaked: its child keeps running.
            time.sleep(0.2)
            assert children_of_host().get(child) in ("S", "R")
        finally:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
        # With the child gone, the leaked reader thread ends by itself.
        wait_until(lambda: reader_tids() <= readers, what="the leaked reader thread to end")


# ---------------------------------------------------------------- borrows


class Reentrant:
    """An integer argument whose conversion calls back into the object."""

    def __init__(self, call, value=10, swallow=True):
        self.call, self.value, self.swallow = call, value, swallow
        self.outcome = None

    def __index__(self):
        try:
            self.outcome = ("returned", self.call())
        except RuntimeError as e:
            self.outcome = ("raised", str(e))
            if not self.swallow:
                raise
        return self.value


def outer_send(s, arg):
    return s.send_and_read_until_ready("outer", timeout_ms=arg)


def outer_read_available(s, arg):
    return s.read_available(max_bytes=arg)


def outer_read_until_ready(s, arg):
    return s.read_until_ready(timeout_ms=10, quiet_ms=arg)


class TestBorrows:
    @pytest.mark.parametrize(
        "outer, inner, expected",
        [
            # exclusive borrow held: a shared call is refused...
            (outer_send, lambda s: s.is_alive(), ("raised", "Already mutably borrowed")),
            (outer_send, lambda s: s.get_initial_command(), ("raised", "Already mutably borrowed")),
            # ...and so is an exclusive one.
            (outer_send, lambda s: s.close(), ("raised", "Already borrowed")),
            (outer_send, lambda s: s.send_ctrl_c(), ("raised", "Already borrowed")),
            # shared borrow held: an exclusive call is refused...
            (outer_read_available, lambda s: s.close(), ("raised", "Already borrowed")),
            (outer_read_until_ready, lambda s: s.reset(), ("raised", "Already borrowed")),
            # ...and a shared one runs.
            (outer_read_available, lambda s: s.is_alive(), ("returned", True)),
            (outer_read_until_ready, lambda s: s.read_available(), ("returned", "")),
            (outer_read_until_ready, lambda s: s.is_interactive(), ("returned", False)),
        ],
        ids=[
            "exclusive-then-shared-is_alive",
            "exclusive-then-shared-get_initial_command",
            "exclusive-then-close",
            "exclusive-then-send_ctrl_c",
            "shared-then-close",
            "shared-then-reset",
            "shared-then-is_alive",
            "shared-then-read_available",
            "shared-then-is_interactive",
        ],
    )
    def test_reentrant_call_during_conversion(self, session, outer, inner, expected):
        arg = Reentrant(lambda: inner(session))
        outer(session, arg)
        assert arg.outcome == expected
        # The refused call changed nothing, and every borrow was released.
        assert session.is_alive() is True
        assert echo_roundtrip(session, "after").strip().endswith("after")

    def test_error_from_conversion_releases_the_exclusive_borrow(self, session):
        arg = Reentrant(lambda: session.close(), swallow=False)
        with pytest.raises(RuntimeError) as info:
            session.send_and_read_until_ready("never sent", timeout_ms=arg)
        assert type(info.value) is RuntimeError
        assert str(info.value) == "Already borrowed"
        del info  # its traceback holds this frame, and so the session
        # Nothing was written, the child still runs, and exclusive calls work.
        assert session.read_until_ready(timeout_ms=300, quiet_ms=100) == ""
        assert session.is_alive() is True
        session.close()
        assert session.is_alive() is False
