"""Functions, classes, globals and keyword calls built by the shared C++ helpers behave like Python's."""
import asyncio
import inspect
import os.path
import types

import pydantic
import pytest

import _function_probe as probe


def echo_all(a, b=1, *, c, **kw):
    return a, b, c, kw


def echo_required(a, b, *, c, d):
    return a, b


def single(x):
    return x


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


def test_failed_from_import_has_python_message():
    with pytest.raises(ImportError) as caught:
        probe.import_missing("os.path", "nope")
    assert str(caught.value) == f"cannot import name 'nope' from 'posixpath' ({os.path.__file__})".replace(
        "'posixpath'", "'os.path'"
    )
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
