"""How Pellux's callables take their arguments: the parser's messages, the
conversion of each kind of parameter, and which errors get the argument's
name in front."""

import time

import pytest

import pellux

CAT = "/bin/cat"
MISSING_PROGRAM = "/nonexistent/pellux-test-program"
U64_MAX = 2**64 - 1
U32_MAX = 2**32 - 1


def needs(method):
    return pytest.mark.skipif(
        not hasattr(pellux.Pellux, method), reason=f"Pellux.{method} is not bound yet"
    )


@pytest.fixture
def session():
    s = pellux.Pellux(CAT, False)
    try:
        yield s
    finally:
        s.close()


def start(*args, **kwargs):
    s = pellux.Pellux(*args, **kwargs)
    s.close()
    return s


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    return info.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def numpy_like(name, **namespace):
    return type(name, (), {"__module__": "numpy", **namespace})


def wait_for_output(s, max_bytes):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        text = s.read_available(max_bytes)
        if text:
            return text
        time.sleep(0.02)
    pytest.fail("the child printed nothing within 10 s")


class TestParser:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "Pellux.__new__() missing 2 required positional arguments: 'command' and 'interactive'"),
            (("sh",), {}, "Pellux.__new__() missing 1 required positional argument: 'interactive'"),
            ((), {"interactive": True}, "Pellux.__new__() missing 1 required positional argument: 'command'"),
            (("sh", True, None, 1), {}, "Pellux.__new__() takes from 2 to 3 positional arguments but 4 were given"),
            (("sh", True), {"command": "x"}, "Pellux.__new__() got multiple values for argument 'command'"),
            (("sh", True), {"limit": 1}, "Pellux.__new__() got an unexpected keyword argument 'limit'"),
            # Too many positional arguments is reported before any keyword,
            # a bad keyword before anything missing, and the first bad keyword
            # in call order decides.
            (("sh", True, None, 1), {"limit": 1}, "Pellux.__new__() takes from 2 to 3 positional arguments but 4 were given"),
            ((), {"limit": 1}, "Pellux.__new__() got an unexpected keyword argument 'limit'"),
            (("sh", True), {"limit": 1, "command": "x"}, "Pellux.__new__() got an unexpected keyword argument 'limit'"),
            (("sh", True), {"command": "x", "limit": 1}, "Pellux.__new__() got multiple values for argument 'command'"),
        ],
    )
    def test_constructor_messages(self, args, kwargs, message):
        raises_exactly(TypeError, message, pellux.Pellux, *args, **kwargs)

    def test_read_available_messages(self, session):
        raises_exactly(TypeError, "Pellux.read_available() got an unexpected keyword argument 'limit'",
                       session.read_available, limit=10)
        raises_exactly(TypeError, "Pellux.read_available() takes from 0 to 1 positional arguments but 2 were given",
                       session.read_available, 1, 2)
        raises_exactly(TypeError, "Pellux.read_available() got multiple values for argument 'max_bytes'",
                       session.read_available, 1, max_bytes=1)

    def test_every_parameter_by_keyword(self, session):
        s = start(command=CAT, interactive=False, ready_markers=None)
        assert s.get_initial_command() == CAT
        assert session.read_available(max_bytes=10) == ""

    @needs("send_and_read_until_ready")
    def test_send_and_read_messages(self, session):
        raises_exactly(TypeError, "Pellux.send_and_read_until_ready() missing 1 required positional argument: 'input'",
                       session.send_and_read_until_ready, timeout_ms=0)
        raises_exactly(TypeError, "Pellux.send_and_read_until_ready() takes from 1 to 5 positional arguments but 6 were given",
                       session.send_and_read_until_ready, "", 0, 0, 0, 0, 0)

    def test_methods_without_parameters_refuse_arguments(self, session):
        with pytest.raises(TypeError):
            session.close(1)


class TestTextAndFlag:
    @pytest.mark.parametrize(
        "args, message",
        [
            ((["sh"], False), "argument 'command': 'list' object cannot be cast as 'str'"),
            ((None, False), "argument 'command': 'NoneType' object cannot be cast as 'str'"),
            # Conversion runs in declaration order and stops at the first failure.
            ((1, 1), "argument 'command': 'int' object cannot be cast as 'str'"),
            ((CAT, 1), "argument 'interactive': 'int' object cannot be cast as 'bool'"),
            ((CAT, None), "argument 'interactive': 'NoneType' object cannot be cast as 'bool'"),
            ((CAT, numpy_like("int_", __bool__=lambda self: True)()),
             "argument 'interactive': 'int_' object cannot be cast as 'bool'"),
        ],
    )
    def test_refused(self, args, message):
        err = raises_exactly(TypeError, message, pellux.Pellux, *args)
        assert err.__cause__ is None

    def test_refused_before_the_program_is_started(self):
        # Were the program started first, its absence would be reported instead.
        raises_exactly(TypeError, "argument 'interactive': 'int' object cannot be cast as 'bool'",
                       pellux.Pellux, MISSING_PROGRAM, 0)
        raises_exactly(TypeError, "argument 'ready_markers': 'set' object cannot be cast as 'Sequence'",
                       pellux.Pellux, MISSING_PROGRAM, False, {"$ "})

    def test_str_subclass_and_unreadable_type_name(self):
        class Text(str):
            pass

        assert start(Text(CAT), False).get_initial_command() == CAT

        class HidesName(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    raise RuntimeError("hidden")
                return super().__getattribute__(name)

        raises_exactly(TypeError, "argument 'command': '<failed to extract type name>' object cannot be cast as 'str'",
                       pellux.Pellux, HidesName("Opaque", (), {})(), False)

    def test_lone_surrogate_passes_the_encoding_error_on(self):
        err = raises_exactly(UnicodeEncodeError, None, pellux.Pellux, "\ud800", False)
        assert "argument" not in str(err)

    @pytest.mark.parametrize("name", ["bool_", "bool"])
    @pytest.mark.parametrize("truth", [True, False])
    def test_numpy_booleans_decide_through_their_type(self, name, truth):
        flag = numpy_like(name, __bool__=lambda self: truth)()
        assert start(CAT, flag).is_interactive() is truth

    def test_numpy_boolean_failures(self):
        no_bool = numpy_like("bool_")
        raises_exactly(TypeError, f"argument 'interactive': object of type '{no_bool}' does not define a '__bool__' conversion",
                       pellux.Pellux, CAT, no_bool())

        def refuse(error):
            def __bool__(self):
                raise error
            return numpy_like("bool_", __bool__=__bool__)()

        raises_exactly(TypeError, "argument 'interactive': undecided", pellux.Pellux, CAT, refuse(TypeError("undecided")))
        raises_exactly(ValueError, "undecided", pellux.Pellux, CAT, refuse(ValueError("undecided")))

    @pytest.mark.parametrize("truth", [True, False])
    def test_real_numpy_bool(self, truth):
        np = pytest.importorskip("numpy")
        assert start(CAT, np.bool_(truth)).is_interactive() is truth


class TestIntegers:
    @pytest.mark.parametrize("value", [0, U32_MAX, None, Index(7), type("Count", (int,), {})(3)])
    def test_accepted_max_bytes(self, session, value):
        assert session.read_available(value) == ""

    @pytest.mark.parametrize("value, message", [
        (-1, None), (Index(-1), None), (2**64, None),
        (U32_MAX + 1, "out of range integral type conversion attempted"),
        (Index(U32_MAX + 1), "out of range integral type conversion attempted"),
    ])
    def test_overflow_carries_no_argument_name(self, session, value, message):
        err = raises_exactly(OverflowError, message, session.read_available, value)
        assert "max_bytes" not in str(err)

    @pytest.mark.parametrize("value", [1.0, "1", Index(1.5)])
    def test_non_integers_are_named(self, session, value):
        err = raises_exactly(TypeError, None, session.read_available, value)
        assert str(err).startswith("argument 'max_bytes': ")

    @pytest.mark.parametrize("limit", [True, Index(1)])
    def test_limit_of_one_byte(self, tmp_path, limit):
        program = tmp_path / "greeter"
        program.write_text("#!/bin/sh\nprintf abc\nexec cat\n")
        program.chmod(0o755)
        s = pellux.Pellux(str(program), False)
        try:
            assert wait_for_output(s, limit) == "a"
        finally:
            s.close()

    def test_errors_raised_by_index(self, session):
        root = ValueError("root")

        class Chained:
            def __index__(self):
                raise TypeError("bad index") from root

        err = raises_exactly(TypeError, "argument 'max_bytes': bad index", session.read_available, Chained())
        assert err.__cause__ is root

        class Narrower(TypeError):
            pass

        for error in (ValueError("nope"), Narrower("narrower")):
            class Failing:
                def __index__(self, error=error):
                    raise error

            with pytest.raises(type(error)) as info:
                session.read_available(Failing())
            assert info.value is error

    @needs("read_until_ready")
    def test_read_until_ready_parameters(self, session):
        assert session.read_until_ready(timeout_ms=U64_MAX, max_output_bytes=0) == ""
        assert session.read_until_ready(0, U32_MAX, U64_MAX, U64_MAX) == ""
        raises_exactly(OverflowError, None, session.read_until_ready, timeout_ms=2**64)
        raises_exactly(OverflowError, "out of range integral type conversion attempted",
                       session.read_until_ready, timeout_ms=0, max_output_bytes=U32_MAX + 1)
        # Declaration order, not keyword order, decides which error is seen.
        raises_exactly(OverflowError, None, session.read_until_ready, quiet_ms=1.0, timeout_ms=-1)
        raises_exactly(TypeError, "argument 'settle_ms': 'str' object cannot be interpreted as an integer",
                       session.read_until_ready, 0, None, "5")


class Listed:
    # A sequence known only through __len__ and __getitem__.
    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Unlistable(Listed):
    # Neither its length nor an iterator can be had.
    def __init__(self, error):
        super().__init__([], error)

    def __iter__(self):
        raise self.length


class TestTextLists:
    @pytest.mark.parametrize("markers", [
        None, [], ("$ ",), ["a", "a", ""], Listed(["$ ", "> "], 2**62), Listed(["$ "], ValueError("no length")),
    ])
    def test_accepted(self, markers):
        assert start(CAT, True, markers).is_interactive() is True

    @pytest.mark.parametrize("markers, message", [
        ("$ ", "Can't extract `str` to `Vec`"),
        (type("Text", (str,), {})("$ "), "Can't extract `str` to `Vec`"),
        ({"$ "}, "'set' object cannot be cast as 'Sequence'"),
        ({"$ ": 1}, "'dict' object cannot be cast as 'Sequence'"),
        ((m for m in ["$ "]), "'generator' object cannot be cast as 'Sequence'"),
        (["$ ", 5], "'int' object cannot be cast as 'str'"),
        (b"$ ", "'int' object cannot be cast as 'str'"),
        (Unlistable(TypeError("no iteration")), "no iteration"),
    ])
    def test_refused(self, markers, message):
        raises_exactly(TypeError, f"argument 'ready_markers': {message}", pellux.Pellux, CAT, False, markers)

    def test_iteration_errors_pass_through(self):
        error = KeyError("gone")
        with pytest.raises(KeyError) as info:
            pellux.Pellux(CAT, False, Unlistable(error))
        assert info.value is error
        raises_exactly(UnicodeEncodeError, None, pellux.Pellux, CAT, False, ["ok", "\udc80"])

    @needs("set_ready_markers")
    def test_set_ready_markers(self, session):
        raises_exactly(TypeError, "Pellux.set_ready_markers() takes 1 positional arguments but 2 were given",
                       session.set_ready_markers, [], [])
        raises_exactly(TypeError, "Pellux.set_ready_markers() missing 1 required positional argument: 'ready_markers'",
                       session.set_ready_markers)
        assert session.set_ready_markers([]) is None
        assert session.set_ready_markers(("(gdb) ", "pwndbg> ")) is None
        raises_exactly(TypeError, "argument 'ready_markers': 'NoneType' object cannot be cast as 'Sequence'",
                       session.set_ready_markers, None)
        raises_exactly(TypeError, "argument 'ready_markers': Can't extract `str` to `Vec`",
                       session.set_ready_markers, "$ ")


@needs("send_and_read_until_ready")
@needs("read_until_ready")
class TestInput:
    @pytest.mark.parametrize("value, error, message", [
        (None, TypeError, "argument 'input': 'NoneType' object cannot be cast as 'str'"),
        (b"ls", TypeError, "argument 'input': 'bytes' object cannot be cast as 'str'"),
        ("\ud800", UnicodeEncodeError, None),
    ])
    def test_refused_input_writes_nothing(self, session, value, error, message):
        raises_exactly(error, message, session.send_and_read_until_ready, value)
        # cat copies back every line it gets, so a stray write would show up here.
        assert session.read_until_ready(timeout_ms=300) == ""
