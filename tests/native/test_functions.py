"""Functions, classes, globals and keyword calls built by the shared C++ helpers behave like Python's."""
import asyncio
import collections
import functools
import gc
import os
import inspect
import os.path
import sys
import tracemalloc
import types

import pydantic
import pytest

import _function_probe as probe


# Sanitizer builds keep freed memory in quarantine and pad every allocation: growth figures mean nothing there.
memory_growth = pytest.mark.skipif(
    bool(os.environ.get("TESSARY_SANITIZE")), reason="memory growth is not measurable under the sanitizer build"
)



def echo_all(a, b=1, *, c, **kw):
    return a, b, c, kw


def echo_required(a, b, *, c, d):
    return a, b


def single(x):
    return x


def no_params():
    return None


def keyword_defaults(alpha, *, beta=2, gamma):
    return alpha


def collect(a, **kw):
    return a, kw


CALLS = [
    ("echo_all", (), {}),
    ("echo_all", (1, 2, 3), {}),
    ("echo_all", (1, 2, 3), {"c": 4}),
    ("echo_all", (1,), {"a": 2, "c": 3}),
    ("echo_all", (1, 2), {}),
    ("echo_required", (), {}),
    ("echo_required", (1,), {"d": 2}),
    ("echo_required", (1, 2, 3, 4), {"c": 1, "d": 2}),
    ("echo_required", (1, 2), {"c": 1, "d": 2, "e": 3}),
    ("single", (1, 2), {}),
    ("single", (), {"y": 1}),
    ("single", (1,), {"x": 1}),
    ("single", (), {"xx": 1}),
    ("echo_all", (1,), {"cc": 1}),
    ("no_params", (1,), {}),
    ("no_params", (1, 2), {}),
    ("no_params", (), {"a": 1}),
    ("keyword_defaults", (), {}),
    ("keyword_defaults", (1,), {}),
    ("keyword_defaults", (1,), {"beta": 3}),
    ("keyword_defaults", (1, 2, 3), {}),
    ("keyword_defaults", (1, 2), {"gamma": 1}),
    ("keyword_defaults", (1, 2), {"beta": 1, "gamma": 1}),
    ("keyword_defaults", (1,), {"gama": 3}),
    ("keyword_defaults", (1,), {"alpha": 2, "gamma": 3}),
    ("collect", (1,), {"a": 2}),
    ("collect", (1, 2), {"b": 3}),
    ("collect", (), {"kw": 1}),
]


def _error(func, args, kwargs):
    with pytest.raises(TypeError) as caught:
        func(*args, **kwargs)
    return str(caught.value)


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_argument_errors_match_cpython(name, args, kwargs):
    assert _error(getattr(probe, name), args, kwargs) == _error(globals()[name], args, kwargs)


def test_binding_fills_defaults_and_collects_keywords():
    assert probe.echo_all(1, c=3) == (1, 1, 3, {})
    assert probe.echo_all(b=5, a=1, c=3, extra="x") == (1, 5, 3, {"extra": "x"})


@pytest.mark.parametrize(
    "args, message",
    [
        (([1],), None),
        ((list("ab"), None), None),
        ((type("MyList", (list,), {})(),), "Argument 'items' has incorrect type (expected list, got MyList)"),
        ((None,), "Argument 'items' has incorrect type (expected list, got NoneType)"),
        (([], b"x"), "Argument 'label' has incorrect type (expected str, got bytes)"),
    ],
)
def test_exact_type_checks(args, message):
    if message is None:
        assert probe.typed(*args)[0] is args[0]
    else:
        with pytest.raises(TypeError) as caught:
            probe.typed(*args)
        assert str(caught.value) == message


def test_default_is_one_shared_object():
    first, _ = probe.typed()
    second, _ = probe.typed()
    assert first is second is probe.typed.__defaults__[0]
    assert inspect.signature(probe.typed).parameters["items"].default is first


def test_function_metadata():
    func = probe.typed
    assert (func.__name__, func.__qualname__, func.__module__) == ("typed", "typed", "_function_probe")
    assert func.__annotations__ == {"items": "list[str]", "label": "str", "return": "tuple"}
    assert str(inspect.signature(func)) == "(items: 'list[str]' = [], label: 'str' = None) -> 'tuple'"
    assert str(inspect.signature(probe.echo_all)) == "(a, b=1, *, c, **kw)"
    assert probe.echo_all.__doc__ == "Returns its arguments."
    assert probe.echo_all.__kwdefaults__ is None and probe.echo_all.__defaults__ == (1,)


def test_coroutine_marker():
    assert inspect.iscoroutinefunction(probe.marked_coroutine)
    assert not inspect.iscoroutinefunction(probe.typed)


def test_class_is_ordinary_python_class():
    Probe = probe.Probe
    assert type(Probe) is type
    assert (Probe.__module__, Probe.__qualname__, Probe.__doc__) == ("_function_probe", "Probe", "A probe class.")
    obj = Probe()
    assert isinstance(obj.state, types.MethodType)
    assert obj.state() == (3, "secret of Probe")
    assert Probe.state(obj) == obj.state()
    obj.LIMIT = 7
    assert obj.state()[0] == 7 and Probe.LIMIT == 3
    assert "_Probe__secret" in Probe.__dict__ and "__secret" not in Probe.__dict__
    assert Probe._Probe__secret.__qualname__ == "Probe.__secret"
    assert Probe.twice(4) == obj.twice(4) == 8
    bare = object.__new__(Probe)
    bare.__dict__["LIMIT"] = 1
    assert bare.state()[0] == 1


def test_methods_can_be_patched_on_the_class(monkeypatch):
    monkeypatch.setattr(probe.Probe, "_Probe__secret", lambda self: "patched")
    assert probe.Probe().state() == (3, "patched")


def test_pydantic_model_built_through_its_metaclass():
    Record = probe.Record
    assert type(Record) is type(pydantic.BaseModel)
    assert Record(name="a").model_dump() == {"name": "a", "size": 0}
    with pytest.raises(pydantic.ValidationError):
        Record()


def test_imports_bind_globals_late(monkeypatch):
    assert probe.join is os.path.join and probe.base_name is os.path.basename
    monkeypatch.setattr(probe, "join", lambda: "patched")
    assert probe.call_global("join") == "patched"
    assert probe.call_global("dict") == {}
    with pytest.raises(NameError, match="name 'missing_name' is not defined"):
        probe.call_global("missing_name")


def _from_os_path():
    from os.path import nope  # noqa: F401


def _from_stub():
    from _function_probe_stub import missing  # noqa: F401


@pytest.mark.parametrize(
    "module, name, python_import",
    [("os.path", "nope", _from_os_path), ("_function_probe_stub", "missing", _from_stub)],
)
def test_failed_from_import_has_python_message(monkeypatch, module, name, python_import):
    monkeypatch.setitem(sys.modules, "_function_probe_stub", types.ModuleType("_function_probe_stub"))
    with pytest.raises(ImportError) as caught:
        probe.import_missing(module, name)
    with pytest.raises(ImportError) as native:
        python_import()
    expected = native.value
    assert str(caught.value) == str(expected)
    assert (caught.value.name, caught.value.path, caught.value.name_from) == (
        expected.name, expected.path, expected.name_from)


def test_failed_from_import_is_not_found():
    with pytest.raises(ModuleNotFoundError):
        probe.import_missing("no_such_module_here", "x")


def test_keyword_call_reports_repeated_names():
    class Metric:
        def evaluate(self, data, configuration, **kwargs):
            return data, configuration, kwargs

    metric = Metric()
    assert probe.call_keywords(metric.evaluate, 1, 2, {"x": 3}) == (1, 2, {"x": 3})
    with pytest.raises(TypeError) as caught:
        probe.call_keywords(metric.evaluate, 1, 2, {"data": 3})
    expected = f"{__name__}.test_keyword_call_reports_repeated_names.<locals>.Metric.evaluate() got multiple values for keyword argument 'data'"
    assert str(caught.value) == expected
    with pytest.raises(TypeError) as native:
        (lambda data, configuration: None)(**{"data": 1, "configuration": 2, **{}}, **{"data": 3})
    assert "got multiple values for keyword argument 'data'" in str(native.value)


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("keyword_defaults", (1,), {"gamma": 3}),
        ("keyword_defaults", (), {"alpha": 1, "beta": 5, "gamma": 3}),
        ("collect", (1,), {"kw": 2, "b": 3}),
        ("no_params", (), {}),
    ],
)
def test_successful_binding_matches_cpython(name, args, kwargs):
    assert getattr(probe, name)(*args, **kwargs) == globals()[name](*args, **kwargs)


def test_keyword_only_defaults_and_signature():
    assert probe.keyword_defaults.__kwdefaults__ == {"beta": 2} == keyword_defaults.__kwdefaults__
    assert probe.keyword_defaults.__defaults__ is None
    assert str(inspect.signature(probe.keyword_defaults)) == str(inspect.signature(keyword_defaults))
    assert str(inspect.signature(probe.collect)) == "(a, **kw)"


def test_signatures_of_bound_class_and_static_methods():
    obj = probe.Probe()
    assert str(inspect.signature(obj.state)) == "()"
    assert str(inspect.signature(probe.Probe.state)) == "(self)"
    assert str(inspect.signature(probe.Probe.make)) == str(inspect.signature(obj.make)) == "(x=1)"
    assert probe.Probe.make() == (probe.Probe, 1) and obj.make(5) == (probe.Probe, 5)
    assert str(inspect.signature(probe.Probe.twice)) == "(x)"
    assert isinstance(probe.Probe.make, types.MethodType)


def test_descriptor_binding_like_python_functions():
    func = probe.single
    assert func.__get__(None, int) is func
    assert _error(func.__get__, (None,), {}) == _error(single.__get__, (None,), {})
    bound = func.__get__(5)
    assert isinstance(bound, types.MethodType) and bound.__self__ == 5 and bound() == 5


def test_functools_wraps_and_partial():
    @functools.wraps(probe.keyword_defaults)
    def wrapper(*args, **kwargs):
        return probe.keyword_defaults(*args, **kwargs)

    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == (
        "keyword_defaults", "keyword_defaults", "_function_probe")
    assert wrapper.__wrapped__ is probe.keyword_defaults
    assert str(inspect.signature(wrapper)) == "(alpha, *, beta=2, gamma)"
    assert wrapper(1, gamma=2) == 1
    partial = functools.partial(probe.keyword_defaults, 7)
    assert partial(gamma=0) == 7
    assert str(inspect.signature(partial)) == str(inspect.signature(functools.partial(keyword_defaults, 7)))
    assert _error(partial, (1,), {}) == _error(functools.partial(keyword_defaults, 7), (1,), {})


def test_reassigned_qualname_shows_in_errors_and_repr(monkeypatch):
    monkeypatch.setattr(probe.single, "__qualname__", "Renamed.single")
    monkeypatch.setattr(single, "__qualname__", "Renamed.single")
    assert _error(probe.single, (), {}) == _error(single, (), {}) == (
        "Renamed.single() missing 1 required positional argument: 'x'")
    assert repr(probe.single).startswith("<function Renamed.single at 0x")


def _live_objects():
    gc.collect()
    return len(gc.get_objects())


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("echo_all", (1,), {"c": 1, "a": 2}),
        ("echo_all", (1, 2, 3, 4), {"c": 1, "x": 2}),
        ("echo_required", (), {}),
        ("single", (), {"xx": 1}),
        ("collect", (1,), {"a": 1, "b": 2}),
        ("typed", ([], b"x"), {}),
        ("keyword_defaults", (1,), {}),
    ],
)
@memory_growth
def test_failing_calls_leak_nothing(name, args, kwargs):
    func = getattr(probe, name)

    def fail_many(count):
        for _ in range(count):
            try:
                func(*args, **kwargs)
            except TypeError:
                pass

    fail_many(1000)
    objects = _live_objects()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        fail_many(100_000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert _live_objects() - objects < 100
    assert grown < 100_000


def test_name_error_matches_load_global():
    with pytest.raises(NameError) as caught:
        probe.call_global("missing_name")
    try:
        missing_name  # noqa: F821
    except NameError as native:
        expected = native
    assert str(caught.value) == str(expected) and caught.value.name == expected.name == "missing_name"
    long_name = "n" * 300
    with pytest.raises(NameError) as caught:
        probe.call_global(long_name)
    assert str(caught.value) == f"name '{long_name[:200]}' is not defined" and caught.value.name == long_name


def _plain(data, configuration, **kwargs):
    return data


class _CallableWithoutQualname:
    def __call__(self, **kwargs):
        return kwargs

    def __repr__(self):
        return "<callable>"


@pytest.mark.parametrize(
    "func",
    [_plain, functools.partial(_plain), _CallableWithoutQualname(), print, probe.echo_all, probe.Probe().state],
    ids=["function", "partial", "instance", "builtin", "native", "native-bound"],
)
def test_keyword_call_repeats_match_cpython(func):
    with pytest.raises(TypeError) as caught:
        probe.call_keywords(func, 1, 2, {"x": 0, "configuration": 3})
    with pytest.raises(TypeError) as native:
        func(**{"data": 1, "configuration": 2}, **{"x": 0, "configuration": 3})
    assert str(caught.value) == str(native.value)


class _KeysOnly:
    """A mapping in the `**` sense only: keys() and item access."""

    def __init__(self, items):
        self.items = items

    def keys(self):
        return iter(self.items)

    def __getitem__(self, key):
        return self.items[key]


class _OwnIterDict(dict):
    def __iter__(self):
        return iter(["x"])


def _outcome(call):
    try:
        return "returned", call()
    except TypeError as error:
        return "raised", str(error)


@pytest.mark.parametrize(
    "extra",
    [
        _KeysOnly({"x": 0}),
        _KeysOnly({"x": 0, "configuration": 3}),
        collections.UserDict({"x": 0, "data": 3}),
        _OwnIterDict({"x": 0, "data": 3}),
        5,
        None.__class__,
    ],
    ids=["keys-only", "keys-only-repeat", "userdict-repeat", "dict-own-iter", "int", "type"],
)
def test_keyword_call_takes_any_mapping_like_cpython(extra):
    expected = _outcome(lambda: _plain(**{"data": 1, "configuration": 2}, **extra))
    assert _outcome(lambda: probe.call_keywords(_plain, 1, 2, extra)) == expected


class _Manager:
    def __init__(self, suppress=False):
        self.suppress, self.seen = suppress, []

    def __enter__(self):
        self.seen.append("enter")

    def __exit__(self, *exc):
        self.seen.append(exc[0])
        return self.suppress


class _StaticManager:
    seen = []
    __enter__ = staticmethod(lambda: _StaticManager.seen.append("enter"))
    __exit__ = staticmethod(lambda *exc: _StaticManager.seen.append(exc[0]))


def test_with_statement_helper():
    manager = _Manager()
    assert probe.with_manager(manager, False) is True and manager.seen == ["enter", None]
    manager = _Manager(suppress=True)
    assert probe.with_manager(manager, True) is False and manager.seen == ["enter", ValueError]
    with pytest.raises(ValueError, match="body"):
        probe.with_manager(_Manager(), True)
    _StaticManager.seen = []
    assert probe.with_manager(_StaticManager(), False) is True and _StaticManager.seen == ["enter", None]


@pytest.mark.parametrize("manager", [1, type("OnlyEnter", (), {"__enter__": lambda self: None})()])
def test_with_statement_helper_refuses_non_managers_like_python(manager):
    with pytest.raises(TypeError) as caught:
        probe.with_manager(manager, False)
    with pytest.raises(TypeError) as native:
        with manager:
            pass
    assert str(caught.value) == str(native.value)


class _Real:
    real = 1


class _RealImag(_Real):
    imag = 2


@pytest.mark.parametrize("target, missing", [(object(), "real"), (_Real(), "imag"), (_RealImag(), "numerator")])
def test_failed_lookups_handed_on_raise_instead_of_aborting(target, missing):
    """A lookup failing as a call argument, a list item or a dict value raises AttributeError."""
    with pytest.raises(AttributeError, match=missing):
        probe.pass_lookups(lambda value: None, target)
    assert probe.pass_lookups(lambda value: None, 3) == ([0], {"value": 3})


def _keywords_only(**kwargs):
    return kwargs


@pytest.mark.parametrize("func", [_plain, _keywords_only, lambda data: data, print], ids=["plain", "kwargs", "narrow", "builtin"])
@pytest.mark.parametrize("extra", [None, {}], ids=["none", "empty"])
def test_keyword_call_without_extra_is_a_plain_keyword_call(func, extra):
    expected = _outcome(lambda: func(data=1, configuration=2))
    assert _outcome(lambda: probe.call_keywords(func, 1, 2, extra)) == expected


def by_name(a, b: "int" = 1, *, c, d: "str | None" = None, **kw) -> "dict":
    return {"kw": kw, "d": d, "b": b, "c": c, "a": a}


@pytest.mark.parametrize(
    "args, kwargs",
    [((1,), {"c": 3}), ((1, 2), {"c": 3, "d": "x", "e": 5}), ((), {"c": 3, "a": 1}), ((1,), {}), ((1, 2, 3), {"c": 3}),
     ((1,), {"c": 3, "a": 2}), ((1,), {"c": 3, "d": b"x"})],
)
def test_parameters_declared_once_bind_and_read_by_name(args, kwargs):
    """The by-name view reads each argument where the declaration put it, whatever order the body reads in."""
    def outcome(func):
        try:
            return "returned", func(*args, **kwargs)
        except TypeError as error:
            return "raised", str(error)

    expected = outcome(by_name)
    if kwargs.get("d") == b"x":
        expected = ("raised", "Argument 'd' has incorrect type (expected str, got bytes)")
    assert outcome(probe.by_name) == expected
    assert str(inspect.signature(probe.by_name)) == str(inspect.signature(by_name))
    assert (probe.by_name.__defaults__, probe.by_name.__kwdefaults__) == (by_name.__defaults__, by_name.__kwdefaults__)


def _python_wrap(prefix, error, detail, from_caught=False):
    try:
        raise error
    except Exception as caught:
        if from_caught:
            raise Exception(prefix + detail() + str(caught)) from caught
        raise Exception(prefix + detail() + str(caught))


def _failing_detail():
    raise KeyError("no name")


@pytest.mark.parametrize("from_caught", [False, True], ids=["context", "cause"])
@pytest.mark.parametrize(
    "make_error, detail",
    [(lambda: ValueError("bad"), lambda: "hap. Reason: "), (lambda: ValueError("bad"), _failing_detail),
     (lambda: KeyboardInterrupt(), lambda: "")],
    ids=["wrapped", "detail-fails", "not-general"],
)
def test_raise_wrapped_chains_like_python(make_error, detail, from_caught):
    outcomes = []
    for wrap in (probe.wrap, _python_wrap):
        error = make_error()
        with pytest.raises(BaseException) as raised:
            wrap("Error while computing metrics: ", error, detail, from_caught)
        value = raised.value
        outcomes.append((type(value), str(value), value is error, value.__cause__ is error,
                         value.__context__ is error, value.__suppress_context__))
    assert outcomes[0] == outcomes[1]
