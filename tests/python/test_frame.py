"""The call boundary of qel._native and qel._extras: signatures and docstrings as the package's stubs
declare them, module surface, argument binding and conversions, and the mapping of failures to
exceptions. Binding fails before any operation runs."""

from __future__ import annotations

import ast
import importlib
import inspect
import pathlib
import sys

import pytest

import qel
import qel._extras as extras
import qel._native as native

STUBS = pathlib.Path(__file__).resolve().parents[2] / "python" / "qel"


def declared(module) -> tuple[str | None, list[tuple[str, str, str | None]]]:
    """The module docstring and (name, text signature, docstring) of each function its stub declares."""
    tree = ast.parse((STUBS / (module.__name__.split(".")[1] + ".pyi")).read_text())
    rows = []
    for f in (f for f in tree.body if isinstance(f, ast.FunctionDef)):
        defaults = [None] * (len(f.args.args) - len(f.args.defaults)) + f.args.defaults
        params = [p.arg + ("" if d is None else "=" + ast.unparse(d)) for p, d in zip(f.args.args, defaults)]
        rows.append((f.name, f"({', '.join(params)})", ast.get_docstring(f)))
    return ast.get_docstring(tree), rows


TABLE, EXTRAS = declared(native)[1], declared(extras)[1]  # qel._extras is on the same binder
NAMES = [row[0] for row in TABLE]
EXTRA_NAMES = [row[0] for row in EXTRAS]
PARAMS = {name: [p.split("=")[0] for p in sig[1:-1].split(", ")] for name, sig, _ in TABLE + EXTRAS}
REQUIRED = {name: sum("=" not in p for p in sig[1:-1].split(", ")) for name, sig, _ in TABLE + EXTRAS}
COUNTS = {"index", "words"}
U64S = {"chain_id", "nonce"}  # required integers in [0, 2**64)
OBJECTS = {"cancel"}  # any object is taken; it is asked is_set() only while a broadcast waits


def required(name: str) -> dict[str, object]:
    return {p: 1 if p in U64S else "not a wallet" for p in PARAMS[name][:REQUIRED[name]]}


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as exc:  # noqa: BLE001 - the exception is the outcome
        return (type(exc).__name__, str(exc))


def missing(name: str, names: list[str]) -> str:
    quoted = [f"'{m}'" for m in names]
    listed = quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " and " + quoted[-1]
    return f"{name}() missing {len(names)} required positional argument{'s' * (len(names) > 1)}: {listed}"


def binding_failures():
    """(function, positional, keywords, exception type, message) for every way a call fails to bind."""
    rows = [  # the wording written out, not only generated
        ("get_wallet", [], {}, TypeError, "get_wallet() missing 1 required positional argument: 'name_or_id'"),
        ("sign_and_send", [], {"passphrase": "p"}, TypeError,
         "sign_and_send() missing 3 required positional arguments: 'wallet', 'chain' and 'tx_hex'"),
        ("generate_mnemonic", [None], {}, TypeError,
         "argument 'words': 'NoneType' object cannot be interpreted as an integer"),
    ]
    bad_count = [("3", TypeError, "argument '{}': 'str' object cannot be interpreted as an integer"),
                 (-1, OverflowError, "out of range integral type conversion attempted"),
                 (2**32, OverflowError, "out of range integral type conversion attempted"),
                 (2**64, OverflowError, "Python int too large to convert to C long")]
    bad_u64 = [(v, TypeError, f"argument '{{}}': '{type(v).__name__}' object cannot be interpreted as an integer")
               for v in ("3", None, 1.0)] + [(v, OverflowError, "out of range integral type conversion attempted")
                                             for v in (-1, 2**64)]
    for name in NAMES + EXTRA_NAMES:
        params, n, req = PARAMS[name], len(PARAMS[name]), REQUIRED[name]
        rows += [(name, ["x"] * given, {}, TypeError, missing(name, params[given:req])) for given in range(req)]
        rows += [
            (name, ["x"] * (n + 1), {}, TypeError, f"{name}() takes {'' if req == n else f'from {req} to '}{n} "
                                                   f"positional arguments but {n + 1} were given"),
            (name, [], {"bogus": 1}, TypeError, f"{name}() got an unexpected keyword argument 'bogus'"),
            (name, [], {**required(name), "bogus": 1}, TypeError, f"{name}() got an unexpected keyword argument 'bogus'"),
            (name, [None], {params[0]: None}, TypeError, f"{name}() got multiple values for argument '{params[0]}'"),
        ]
        for i, p in enumerate(params):
            if p in OBJECTS:
                continue
            bad = bad_count if p in COUNTS else bad_u64 if p in U64S else [
                (v, TypeError, f"argument '{{}}': '{type(v).__name__}' object cannot be converted to 'PyString'")
                for v in [b"bytes", 7, pathlib.PurePosixPath("p")] + [None] * (i < req)] + [
                ("ok\udc80", UnicodeEncodeError,
                 "'utf-8' codec can't encode character '\\udc80' in position 2: surrogates not allowed")]
            rows += [(name, [], {**required(name), p: v}, exc, text.format(p)) for v, exc, text in bad]
        if "vault_path_opt" in params:  # the file system would see the path cut short at the NUL
            rows.append((name, [], {**required(name), "vault_path_opt": "vault\0rest"}, ValueError, "embedded null byte"))
    return [pytest.param(*row, id=f"{row[0]}-{i}") for i, row in enumerate(rows)]


@pytest.mark.parametrize("module,name,signature,description",
                         [(native, *row) for row in TABLE] + [(extras, *row) for row in EXTRAS],
                         ids=NAMES + EXTRA_NAMES)
def test_signature_and_docstring(module, name, signature, description):
    func = getattr(module, name)
    assert (func.__name__, str(inspect.signature(func)), func.__doc__) == (name, signature, description)


def test_module_surface():
    assert (native.__name__, native.__doc__) == ("qel._native", declared(native)[0])
    assert [k for k in vars(native) if not k.startswith("__")] == NAMES and len(NAMES) == 13
    assert (extras.__name__, [k for k in vars(extras) if not k.startswith("__")]) == ("qel._extras", EXTRA_NAMES)
    assert sorted(qel.__all__) == sorted(NAMES + EXTRA_NAMES + ["PanicException"])
    assert all(getattr(qel, name) is getattr(native, name) for name in NAMES)
    assert all(getattr(qel, name) is getattr(extras, name) for name in EXTRA_NAMES)


def test_repeated_import_returns_the_same_module():
    saved = sys.modules.pop("qel._native")
    try:
        assert importlib.import_module("qel._native") is saved
    finally:
        sys.modules["qel._native"] = saved
        qel._native = saved


def test_import_in_a_second_interpreter_fails():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    # The default (isolated) configuration refuses single-phase modules before
    # our initialisation runs; the legacy one lets it run and decide.
    interp = interpreters.create(isolated=False)
    try:
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(interp, "import qel._native")
    finally:
        interpreters.destroy(interp)
    assert str(info.value).startswith("<class 'ImportError'>: qel._native is already loaded in interpreter ")
    assert "one interpreter per process" in str(info.value)


@pytest.mark.parametrize("name,args,kwargs,exc,message", binding_failures())
def test_binding_failures(name, args, kwargs, exc, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # every vault argument is relative, and none may come to exist
    if "vault_path_opt" in PARAMS[name][len(args):] and "vault_path_opt" not in kwargs:
        kwargs = {**kwargs, "vault_path_opt": "vault"}
    with pytest.raises(exc) as info:
        getattr(qel, name)(*args, **kwargs)
    assert (type(info.value), str(info.value)) == (exc, message)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", NAMES[1:])
def test_any_way_of_passing_the_arguments_binds_the_same(name, tmp_path, monkeypatch):
    (tmp_path / "home").write_text("")  # the default vault fails the same way every time
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    func, params = getattr(native, name), PARAMS[name]
    values = list(required(name).values()) + [None] * (len(params) - REQUIRED[name])
    expected = outcome(lambda: func(*values))
    assert outcome(lambda: func(**dict(zip(params, values)))) == expected  # names split from the stubs: not interned
    assert outcome(lambda: func(*values[:REQUIRED[name]])) == expected  # None is the same as absent
    for p in set(params) & COUNTS:  # the bounds bind; True is 1
        bound = [outcome(lambda: func(**required(name), **{p: v})) for v in (0, 2**32 - 1, True, 1)]
        assert {kind for kind, _ in bound[:2]}.isdisjoint({"TypeError", "OverflowError"}) and bound[2] == bound[3]
