"""Creating, importing, listing, finding, renaming, exporting and deleting wallets."""

from __future__ import annotations

import hashlib
import json
import os
import pwd
import re
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import qel
from _support import ABANDON, UNIVERSAL_CHAIN_IDS, known_accounts

PASS = "pw"
KNOWN = known_accounts()
FAMILIES = ["evm", "solana", "bitcoin", "cosmos", "tron", "ton"]


def wallet_files(vault: Path) -> list[Path]:
    return sorted((vault / "wallets").glob("*.json"))


@pytest.fixture
def vault(tmp_path: Path) -> str:
    return str(tmp_path / "vault")


def test_create_wallet_shape_and_file(vault: str) -> None:
    # Long enough that it cannot turn up by chance inside an address.
    passphrase = "correct horse battery staple"
    w = qel.create_wallet("main", passphrase=passphrase, vault_path_opt=vault)
    assert list(w) == ["id", "name", "accounts", "created_at"]
    assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", w["id"])
    assert w["name"] == "main"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00", w["created_at"])
    assert [a["chain_id"] for a in w["accounts"]] == UNIVERSAL_CHAIN_IDS
    for account in w["accounts"]:
        assert list(account) == ["chain_id", "address", "derivation_path"]
    assert [a["derivation_path"] for a in w["accounts"]] == [
        "m/44'/60'/0'/0/0", "m/44'/501'/0'/0'", "m/84'/0'/0'/0/0",
        "m/44'/118'/0'/0/0", "m/44'/195'/0'/0/0", "m/44'/607'/0'",
    ]
    files = wallet_files(Path(vault))
    assert [f.name for f in files] == [w["id"] + ".json"]
    assert os.stat(files[0]).st_mode & 0o777 == 0o600
    assert os.stat(Path(vault) / "wallets").st_mode & 0o777 == 0o700
    stored = json.loads(files[0].read_text())
    assert list(stored) == ["qel_version", "id", "name", "created_at", "accounts", "crypto", "key_type"]
    assert stored["key_type"] == "mnemonic" and stored["qel_version"] == 2
    assert [a["account_id"] for a in stored["accounts"]] == [
        f"{a['chain_id']}:{a['address']}" for a in w["accounts"]
    ]
    phrase = qel.export_wallet("main", passphrase=passphrase, vault_path_opt=vault)
    assert len(phrase.split(" ")) == 12
    assert passphrase not in files[0].read_text() and phrase not in files[0].read_text()


def test_create_24_words_and_word_checks(vault: str) -> None:
    w = qel.create_wallet("long", words=24, vault_path_opt=vault)
    assert len(qel.export_wallet(w["id"], vault_path_opt=vault).split(" ")) == 24
    # The word count is checked before the name.
    with pytest.raises(RuntimeError, match=r"^invalid input: words must be 12 or 24$"):
        qel.create_wallet("long", words=15, vault_path_opt=vault)
    with pytest.raises(RuntimeError) as e:
        qel.create_wallet("long", vault_path_opt=vault)
    assert str(e.value) == "wallet name already exists: 'long'"
    assert len(wallet_files(Path(vault))) == 1


def test_import_known_phrase_and_index(vault: str) -> None:
    w0 = qel.import_wallet_mnemonic("a0", ABANDON, vault_path_opt=vault)
    w1 = qel.import_wallet_mnemonic("a1", ABANDON, index=1, vault_path_opt=vault)
    for index, w in ((0, w0), (1, w1)):
        assert [a["address"] for a in w["accounts"]] == [KNOWN[(f, index)]["address"] for f in FAMILIES]
        assert [a["derivation_path"] for a in w["accounts"]] == [KNOWN[(f, index)]["path"] for f in FAMILIES]
    w3 = qel.import_wallet_mnemonic("a3", ABANDON, index=3, vault_path_opt=vault)
    assert w3["accounts"][0]["derivation_path"] == "m/44'/60'/0'/0/3"
    assert w3["accounts"][1]["derivation_path"] == "m/44'/501'/3'/0'"
    assert w3["accounts"][5]["derivation_path"] == "m/44'/607'/3'"


def test_export_reimport_gives_same_addresses(vault: str) -> None:
    w = qel.create_wallet("orig", passphrase=PASS, vault_path_opt=vault)
    phrase = qel.export_wallet(w["id"], passphrase=PASS, vault_path_opt=vault)
    copy = qel.import_wallet_mnemonic("copy", phrase, passphrase="other", vault_path_opt=vault)
    assert copy["accounts"] == w["accounts"]
    assert copy["id"] != w["id"]


@pytest.mark.parametrize(
    ("phrase", "message"),
    [
        ("", "invalid mnemonic phrase: the word `` is invalid"),
        (ABANDON + " ", "invalid mnemonic phrase: the word `` is invalid"),
        (ABANDON.replace("about", "About"), "invalid mnemonic phrase: the word `About` is invalid"),
        ("abandon " * 11 + "abandon", "invalid mnemonic phrase: the phrase `" + "abandon " * 11 + "abandon` is invalid"),
        (" ".join(["abandon"] * 13), "invalid mnemonic phrase: the mnemonic's entropy length `18` is invalid"),
    ],
)
def test_import_bad_phrase_writes_nothing(vault: str, phrase: str, message: str) -> None:
    with pytest.raises(RuntimeError) as e:
        qel.import_wallet_mnemonic("x", phrase, vault_path_opt=vault)
    assert str(e.value) == message
    assert wallet_files(Path(vault)) == []


def test_names_are_exact_and_unvalidated(vault: str) -> None:
    for name in ["", "with space", "a/b", "ünï"]:
        assert qel.import_wallet_mnemonic(name, ABANDON, vault_path_opt=vault)["name"] == name
    with pytest.raises(RuntimeError, match="^wallet name already exists: 'a/b'$"):
        qel.import_wallet_mnemonic("a/b", ABANDON, vault_path_opt=vault)
    with pytest.raises(RuntimeError, match="^wallet not found: 'A/B'$"):
        qel.get_wallet("A/B", vault_path_opt=vault)


KEY = "4c0883a69102937d6231471b5dbb6204fe5129617082792ae468d01a3f362318"


def test_import_private_key_default_curve(vault: str) -> None:
    a = qel.import_wallet_private_key("a", "0x" + KEY, vault_path_opt=vault)
    b = qel.import_wallet_private_key("b", KEY.upper(), vault_path_opt=vault)
    assert all(acc["derivation_path"] == "" for acc in a["accounts"])
    # secp256k1 families share the key; Ed25519 families got fresh random keys.
    for i in (0, 2, 3, 4):
        assert a["accounts"][i]["address"] == b["accounts"][i]["address"]
    for i in (1, 5):
        assert a["accounts"][i]["address"] != b["accounts"][i]["address"]
    from eth_account import Account

    assert a["accounts"][0]["address"] == Account.from_key(bytes.fromhex(KEY)).address
    exported = json.loads(qel.export_wallet("a", vault_path_opt=vault))
    assert list(exported) == ["ed25519", "secp256k1"] and exported["secp256k1"] == KEY
    assert re.fullmatch("[0-9a-f]{64}", exported["ed25519"])
    raw = qel.export_wallet("a", vault_path_opt=vault)
    assert raw == '{"ed25519":"%s","secp256k1":"%s"}' % (exported["ed25519"], KEY)


def test_import_private_key_for_solana_and_explicit_keys(vault: str) -> None:
    sol = KNOWN[("solana", 0)]
    w = qel.import_wallet_private_key("s", sol["private_key_hex"], chain="SOLANA", vault_path_opt=vault)
    assert w["accounts"][1]["address"] == sol["address"]
    ton = KNOWN[("ton", 0)]
    both = qel.import_wallet_private_key(
        "both", "not hex", chain="nowhere", vault_path_opt=vault,
        secp256k1_key=KNOWN[("evm", 0)]["private_key_hex"], ed25519_key="0x" + ton["private_key_hex"],
    )
    assert both["accounts"][0]["address"] == KNOWN[("evm", 0)]["address"]
    assert both["accounts"][5]["address"] == ton["address"]
    # An explicit key for the other curve completes the pair instead of a random one.
    one = qel.import_wallet_private_key("one", KNOWN[("evm", 0)]["private_key_hex"], vault_path_opt=vault,
                                        ed25519_key=ton["private_key_hex"])
    assert one["accounts"][5]["address"] == ton["address"]


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"private_key_hex": "0X" + KEY}, "invalid input: invalid hex private key: Invalid character 'X' at position 1"),
        ({"private_key_hex": KEY[:-1]}, "invalid input: invalid hex private key: Odd number of digits"),
        ({"private_key_hex": KEY, "ed25519_key": "zz"},
         "invalid input: invalid hex private key: Invalid character 'z' at position 0"),
        ({"private_key_hex": KEY, "chain": "eth"},
         "invalid input: unknown chain: 'eth'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)"),
        ({"private_key_hex": "00" * 32}, "invalid private key: signature error"),
        ({"private_key_hex": KEY, "chain": "ton"}, None),  # 32 bytes is a valid Ed25519 seed
        ({"private_key_hex": "11" * 33, "chain": "ton"}, "invalid private key: expected 32 bytes, got 33"),
        ({"private_key_hex": "", "secp256k1_key": KEY, "ed25519_key": "abcd"},
         "invalid private key: expected 32 bytes, got 2"),
    ],
)
def test_import_private_key_failures(vault: str, kwargs: dict, message: str | None) -> None:
    if message is None:
        qel.import_wallet_private_key("ok", vault_path_opt=vault, **kwargs)
        return
    with pytest.raises(RuntimeError) as e:
        qel.import_wallet_private_key("bad", vault_path_opt=vault, **kwargs)
    assert str(e.value) == message
    assert wallet_files(Path(vault)) == []


def test_list_get_rename_delete(vault: str) -> None:
    assert qel.list_wallets(vault) == []
    first = qel.import_wallet_mnemonic("first", ABANDON, vault_path_opt=vault)
    second = qel.import_wallet_mnemonic("second", ABANDON, index=1, vault_path_opt=vault)
    listed = qel.list_wallets(vault_path_opt=vault)
    assert [w["id"] for w in listed] == [second["id"], first["id"]]  # newest first
    assert qel.get_wallet("first", vault) == qel.get_wallet(first["id"], vault) == first

    assert qel.rename_wallet("first", "first", vault) is None
    with pytest.raises(RuntimeError, match="^wallet name already exists: 'second'$"):
        qel.rename_wallet("first", "second", vault)
    assert qel.rename_wallet(first["id"], "renamed", vault) is None
    with pytest.raises(RuntimeError, match="^wallet not found: 'first'$"):
        qel.get_wallet("first", vault)
    renamed = qel.get_wallet("renamed", vault)
    assert renamed == {**first, "name": "renamed"}
    assert qel.export_wallet("renamed", vault_path_opt=vault) == ABANDON

    assert qel.delete_wallet("renamed", vault) is None
    with pytest.raises(RuntimeError, match=f"^wallet not found: '{first['id']}'$"):
        qel.get_wallet(first["id"], vault)
    assert [w["id"] for w in qel.list_wallets(vault)] == [second["id"]]


def test_ambiguous_names(vault: str) -> None:
    a = qel.import_wallet_mnemonic("a", ABANDON, vault_path_opt=vault)
    b = qel.import_wallet_mnemonic("b", ABANDON, vault_path_opt=vault)
    # A second wallet of the same name, written by other means.
    path = Path(vault) / "wallets" / f"{b['id']}.json"
    path.write_text(path.read_text().replace('"name": "b"', '"name": "a"'))
    message = "ambiguous wallet name 'a' matches 2 wallets; use the wallet ID instead"
    for call in (
        lambda: qel.get_wallet("a", vault),
        lambda: qel.delete_wallet("a", vault),
        lambda: qel.rename_wallet("a", "z", vault),
        lambda: qel.export_wallet("a", vault_path_opt=vault),
    ):
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value) == message
    assert len(wallet_files(Path(vault))) == 2
    assert qel.get_wallet(b["id"], vault)["name"] == "a"
    qel.rename_wallet(a["id"], "c", vault)
    assert qel.get_wallet("a", vault)["id"] == b["id"]


def test_export_wrong_passphrase(vault: str) -> None:
    qel.import_wallet_mnemonic("w", ABANDON, passphrase=PASS, vault_path_opt=vault)
    for wrong in ({}, {"passphrase": "PW"}):
        with pytest.raises(RuntimeError) as e:
            qel.export_wallet("w", vault_path_opt=vault, **wrong)
        assert str(e.value) == "decryption failed: aead::Error"


def test_relative_vault_path_is_relative_to_cwd(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    w = qel.import_wallet_mnemonic("rel", ABANDON, vault_path_opt="v")
    assert (tmp_path / "v" / "wallets" / f"{w['id']}.json").is_file()


def test_default_vault_under_home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    w = qel.import_wallet_mnemonic("home", ABANDON)
    assert (tmp_path / ".qel" / "wallets" / f"{w['id']}.json").is_file()
    assert qel.list_wallets() == [w]


NO_HOME = """
import os, sys, qel
uid = int(sys.argv[1])
os.setgroups([])
os.setresgid(uid, uid, uid)
os.setresuid(uid, uid, uid)
try:
    qel.list_wallets()
except RuntimeError as e:
    print(e)
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="only root can become a user without a home directory")
def test_without_any_home_directory_nothing_is_created(tmp_path: Path) -> None:
    uid = next(u for u in range(40000, 60000) if not _has_passwd_entry(u))
    tmp_path.chmod(0o777)
    shared_existed = os.path.exists("/tmp/.qel")
    env = {k: v for k, v in os.environ.items() if k != "HOME"}
    done = subprocess.run([sys.executable, "-c", NO_HOME, str(uid)], env=env, cwd=tmp_path, capture_output=True,
                          text=True, check=True)
    assert done.stdout == f"I/O error: cannot find the home directory: HOME is not set and user {uid} has none\n"
    assert list(tmp_path.iterdir()) == []
    assert shared_existed or not os.path.exists("/tmp/.qel")


def _has_passwd_entry(uid: int) -> bool:
    try:
        pwd.getpwuid(uid)
    except KeyError:
        return False
    return True


def test_envelope_opens_with_independent_code(vault: str) -> None:
    w = qel.import_wallet_mnemonic("env", ABANDON, passphrase=PASS, vault_path_opt=vault)
    path = Path(vault) / "wallets" / f"{w['id']}.json"
    stored = json.loads(path.read_text())
    env = stored["crypto"]
    assert list(env) == ["auth_tag", "cipher", "cipherparams", "ciphertext", "kdf", "kdfparams"]
    assert list(env["kdfparams"]) == ["dklen", "n", "p", "r", "salt"]
    kdf = env["kdfparams"]
    key = hashlib.scrypt(PASS.encode(), salt=bytes.fromhex(kdf["salt"]), n=kdf["n"], r=kdf["r"], p=kdf["p"],
                         maxmem=2**30, dklen=kdf["dklen"])
    plain = AESGCM(key).decrypt(bytes.fromhex(env["cipherparams"]["iv"]),
                                bytes.fromhex(env["ciphertext"] + env["auth_tag"]), None)
    assert plain.decode() == ABANDON

    # And the other way round: an envelope sealed here opens in the library.
    salt, iv = os.urandom(32), os.urandom(12)
    key = hashlib.scrypt(b"new", salt=salt, n=2**18, r=8, p=1, maxmem=2**30, dklen=32)
    sealed = AESGCM(key).encrypt(iv, ABANDON.encode(), None)
    stored["crypto"] = {
        "cipher": "aes-256-gcm", "cipherparams": {"iv": iv.hex().upper()}, "ciphertext": sealed[:-16].hex(),
        "auth_tag": sealed[-16:].hex(), "kdf": "scrypt",
        "kdfparams": {"dklen": 32, "n": 2**18, "r": 8, "p": 1, "salt": salt.hex()}, "extra": [1, 2],
    }
    path.write_text(json.dumps(stored))
    assert qel.export_wallet(w["id"], passphrase="new", vault_path_opt=vault) == ABANDON
