"""The call boundary of qel._native: argument binding, conversions, docstrings,
module initialisation and the mapping of failures to exceptions.

Binding and conversion failures happen before any operation runs, so these
tests hold whatever the operations do. Where a call does reach an operation,
HOME is a regular file (``unusable_home``) so every vault access fails the same
way each time and two calls can be compared by their outcome.
"""

from __future__ import annotations

import importlib
import inspect
import pathlib
import sys

import pytest

import qel
import qel._native as native

# name, text signature, number of required parameters, description
TABLE = [
    ("generate_mnemonic", "generate_mnemonic(words=12)", 0, "Generate a new BIP-39 mnemonic phrase."),
    ("derive_address", "derive_address(mnemonic, chain, index=None)", 2,
     "Derive an address from a mnemonic for the given chain."),
    ("create_wallet", "create_wallet(name, passphrase=None, words=None, vault_path_opt=None)", 1,
     "Create a new universal wallet (derives addresses for all chains)."),
    ("import_wallet_mnemonic",
     "import_wallet_mnemonic(name, mnemonic, passphrase=None, index=None, vault_path_opt=None)", 2,
     "Import a wallet from a mnemonic phrase (derives addresses for all chains)."),
    ("import_wallet_private_key",
     "import_wallet_private_key(name, private_key_hex, chain=None, passphrase=None, vault_path_opt=None, "
     "secp256k1_key=None, ed25519_key=None)", 2,
     "Import a wallet from a hex-encoded private key (derives addresses for all chains).\n"
     "Optionally specify explicit keys per curve via `secp256k1_key` and `ed25519_key`."),
    ("list_wallets", "list_wallets(vault_path_opt=None)", 0, "List all wallets in the vault."),
    ("get_wallet", "get_wallet(name_or_id, vault_path_opt=None)", 1, "Get a single wallet by name or ID."),
    ("delete_wallet", "delete_wallet(name_or_id, vault_path_opt=None)", 1, "Delete a wallet from the vault."),
    ("export_wallet", "export_wallet(name_or_id, passphrase=None, vault_path_opt=None)", 1,
     "Export a wallet's secret (mnemonic or private key)."),
    ("rename_wallet", "rename_wallet(name_or_id, new_name, vault_path_opt=None)", 2, "Rename a wallet."),
    ("sign_transaction",
     "sign_transaction(wallet, chain, tx_hex, passphrase=None, index=None, vault_path_opt=None)", 3,
     "Sign a transaction."),
    ("sign_message",
     "sign_message(wallet, chain, message, passphrase=None, encoding=None, index=None, vault_path_opt=None)", 3,
     "Sign a message."),
    ("sign_and_send",
     "sign_and_send(wallet, chain, tx_hex, passphrase=None, index=None, rpc_url=None, vault_path_opt=None)", 3,
     "Sign and broadcast a transaction."),
]
NAMES = [row[0] for row in TABLE]
COUNTS = {"index", "words"}
PATHS = {"vault_path_opt"}


def params_of(signature: str) -> list[str]:
    inner = signature[signature.index("(") + 1 : -1]
    return [p.split("=")[0] for p in inner.split(", ")]


FUNCS = {name: (params_of(sig), required) for name, sig, required, _ in TABLE}


def required_values(name: str) -> list[str]:
    params, required = FUNCS[name]
    return ["not a wallet"] * required


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as exc:  # noqa: BLE001 - the exception is the outcome
        return (type(exc).__name__, str(exc))


def raises_exactly(exc_type, text, func, /, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == text


def param_cases(kinds):
    """(function, parameter) for every parameter whose kind is in `kinds`."""
    cases = []
    for name in NAMES:
        params, required = FUNCS[name]
        for i, p in enumerate(params):
            kind = "count" if p in COUNTS else "path" if p in PATHS else "text" if i < required else "opt_text"
            if kind in kinds:
                cases.append(pytest.param(name, p, id=f"{name}-{p}"))
    return cases


# ---- module surface ----

@pytest.mark.parametrize("name,signature,required,description", TABLE, ids=NAMES)
def test_signature_and_docstring(name, signature, required, description):
    func = getattr(native, name)
    assert func.__name__ == name
    assert str(inspect.signature(func)) == signature[len(name):]
    assert func.__doc__ == description
    assert sum(p.default is inspect.Parameter.empty for p in inspect.signature(func).parameters.values()) == required
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in inspect.signature(func).parameters.values())


def test_module_holds_only_the_functions_in_table_order():
    assert native.__doc__ == "Python module definition."
    assert native.__name__ == "qel._native"
    assert [k for k in vars(native) if not k.startswith("__")] == NAMES


def test_package_reexports():
    assert sorted(qel.__all__) == sorted(NAMES + ["PanicException"])
    for name in NAMES:
        assert getattr(qel, name) is getattr(native, name)


def test_panic_exception_escapes_except_exception():
    assert issubclass(qel.PanicException, BaseException)
    assert not issubclass(qel.PanicException, Exception)


def test_repeated_import_returns_the_same_module():
    saved = sys.modules.pop("qel._native")
    try:
        again = importlib.import_module("qel._native")
        assert again is saved
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
    message = str(info.value)
    assert message.startswith("<class 'ImportError'>: qel._native is already loaded in interpreter ")
    assert "one interpreter per process" in message


# ---- binding: steps 1 to 3 ----

def missing_message(name, missing):
    quoted = [f"'{m}'" for m in missing]
    names = quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " and " + quoted[-1]
    plural = "s" if len(missing) > 1 else ""
    return f"{name}() missing {len(missing)} required positional argument{plural}: {names}"


@pytest.mark.parametrize("name,given", [
    pytest.param(name, given, id=f"{name}-{given}")
    for name in NAMES for given in range(FUNCS[name][1])
])
def test_missing_required(name, given):
    params, required = FUNCS[name]
    raises_exactly(TypeError, missing_message(name, params[given:required]),
                   getattr(native, name), *["x"] * given)


@pytest.mark.parametrize("func,kwargs,message", [
    (native.get_wallet, {}, "get_wallet() missing 1 required positional argument: 'name_or_id'"),
    (native.rename_wallet, {}, "rename_wallet() missing 2 required positional arguments: 'name_or_id' and 'new_name'"),
    (native.sign_and_send, {"passphrase": "p"},
     "sign_and_send() missing 3 required positional arguments: 'wallet', 'chain' and 'tx_hex'"),
    (native.sign_message, {"chain": "ethereum"},
     "sign_message() missing 2 required positional arguments: 'wallet' and 'message'"),
])
def test_missing_required_literal(func, kwargs, message):
    raises_exactly(TypeError, message, func, **kwargs)


@pytest.mark.parametrize("name", NAMES)
def test_too_many_positional(name):
    params, required = FUNCS[name]
    n = len(params)
    raises_exactly(TypeError, f"{name}() takes from {required} to {n} positional arguments but {n + 1} were given",
                   getattr(native, name), *["x"] * (n + 1))


@pytest.mark.parametrize("name", NAMES)
def test_unexpected_keyword(name):
    func = getattr(native, name)
    message = f"{name}() got an unexpected keyword argument 'bogus'"
    raises_exactly(TypeError, message, func, *required_values(name), bogus=1)
    # reported before missing parameters
    raises_exactly(TypeError, message, func, bogus=1)


@pytest.mark.parametrize("name", NAMES)
def test_given_twice(name):
    first = FUNCS[name][0][0]
    raises_exactly(TypeError, f"{name}() got multiple values for argument '{first}'",
                   getattr(native, name), None, **{first: None})


@pytest.mark.usefixtures("unusable_home")
@pytest.mark.parametrize("name", NAMES)
def test_every_parameter_by_keyword(name):
    params, required = FUNCS[name]
    func = getattr(native, name)
    values = required_values(name) + [None] * (len(params) - required)
    if name == "generate_mnemonic":
        values = [24]
    by_position = outcome(lambda: func(*values))
    if name == "generate_mnemonic":
        assert outcome(lambda: func(words=24))[0] == by_position[0]
        return
    assert outcome(lambda: func(**dict(zip(params, values)))) == by_position
    # names built at run time are not the interned ones
    runtime = {"".join(list(p)): v for p, v in zip(params, values)}
    assert outcome(lambda: func(**runtime)) == by_position


# ---- conversions: step 4 ----

@pytest.mark.parametrize("name,param", param_cases({"text", "opt_text", "path"}))
@pytest.mark.parametrize("bad", [b"bytes", 7, pathlib.PurePosixPath("p")], ids=["bytes", "int", "path"])
def test_text_and_path_accept_only_str(name, param, bad):
    kwargs = dict(zip(FUNCS[name][0], required_values(name)))
    kwargs[param] = bad
    raises_exactly(TypeError,
                   f"argument '{param}': '{type(bad).__name__}' object cannot be converted to 'PyString'",
                   getattr(native, name), **kwargs)


@pytest.mark.parametrize("name,param", param_cases({"text"}))
def test_required_text_refuses_none(name, param):
    kwargs = dict(zip(FUNCS[name][0], required_values(name)))
    kwargs[param] = None
    raises_exactly(TypeError, f"argument '{param}': 'NoneType' object cannot be converted to 'PyString'",
                   getattr(native, name), **kwargs)


@pytest.mark.parametrize("name,param", param_cases({"text", "opt_text", "path"}))
def test_lone_surrogate_raises_unicode_encode_error(name, param):
    kwargs = dict(zip(FUNCS[name][0], required_values(name)))
    kwargs[param] = "ok\udc80"
    with pytest.raises(UnicodeEncodeError):
        getattr(native, name)(**kwargs)


@pytest.mark.parametrize("name,param", param_cases({"count"}))
@pytest.mark.parametrize("bad,exc,message", [
    (1.0, TypeError, "argument '{}': 'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument '{}': 'str' object cannot be interpreted as an integer"),
    (-1, OverflowError, "out of range integral type conversion attempted"),
    (4294967296, OverflowError, "out of range integral type conversion attempted"),
    (-(2**63) - 1, OverflowError, "Python int too large to convert to C long"),
    (2**64, OverflowError, "Python int too large to convert to C long"),
], ids=["float", "str", "minus-one", "2**32", "below-long", "above-long"])
def test_count_conversion_failures(name, param, bad, exc, message):
    kwargs = dict(zip(FUNCS[name][0], required_values(name)))
    kwargs[param] = bad
    raises_exactly(exc, message.format(param), getattr(native, name), **kwargs)


@pytest.mark.usefixtures("unusable_home")
@pytest.mark.parametrize("name,param", param_cases({"count"}))
def test_count_bounds_are_accepted(name, param):
    for value in (0, 4294967295):
        kind, _ = outcome(lambda: getattr(native, name)(*required_values(name), **{param: value}))
        assert kind not in ("TypeError", "OverflowError")


def test_generate_mnemonic_words():
    raises_exactly(TypeError, "argument 'words': 'NoneType' object cannot be interpreted as an integer",
                   native.generate_mnemonic, None)
    # True is the int 1, which binds and then fails in the operation
    raises_exactly(RuntimeError, "invalid input: words must be 12 or 24", native.generate_mnemonic, True)
    assert outcome(native.generate_mnemonic)[0] == outcome(lambda: native.generate_mnemonic(12))[0]


@pytest.mark.usefixtures("unusable_home")
def test_true_binds_as_one():
    phrase = "abandon " * 11 + "about"
    assert outcome(lambda: native.derive_address(phrase, "ethereum", True)) == \
        outcome(lambda: native.derive_address(phrase, "ethereum", 1))


@pytest.mark.usefixtures("unusable_home")
@pytest.mark.parametrize("name,param", param_cases({"opt_text", "path", "count"}))
def test_none_is_the_same_as_absent(name, param):
    func = getattr(native, name)
    if name == "generate_mnemonic":
        pytest.skip("words of generate_mnemonic refuses None")
    assert outcome(lambda: func(*required_values(name), **{param: None})) == \
        outcome(lambda: func(*required_values(name)))


@pytest.mark.parametrize("name", [n for n in NAMES if "vault_path_opt" in FUNCS[n][0]])
def test_binding_failure_writes_nothing(name, vault_dir):
    func = getattr(native, name)
    params, _ = FUNCS[name]
    with pytest.raises(TypeError):
        func(*required_values(name), vault_path_opt=str(vault_dir), bogus=1)
    # the last parameter is converted after the vault path
    last = params[-1] if params[-1] != "vault_path_opt" else None
    if last is not None:
        with pytest.raises((TypeError, OverflowError)):
            func(*required_values(name), vault_path_opt=str(vault_dir), **{last: -1 if last in COUNTS else b""})
    # the file system would see the path cut short at the NUL
    raises_exactly(ValueError, "embedded null byte", func, *required_values(name),
                   vault_path_opt=str(vault_dir) + "\0rest")
    assert not vault_dir.exists()


# ---- operation failures ----

@pytest.mark.parametrize("wallet", ["nobody", "  spaced  ", "wället ✓"])
def test_operation_error_is_a_plain_runtime_error(wallet, vault_dir):
    with pytest.raises(RuntimeError) as info:
        native.get_wallet(wallet, vault_path_opt=str(vault_dir))
    assert type(info.value) is RuntimeError
    assert str(info.value) == f"wallet not found: '{wallet}'"
    assert info.value.args == (f"wallet not found: '{wallet}'",)
    assert info.value.__cause__ is None
