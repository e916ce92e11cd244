"""What can be checked before any secret is asked for: wallet names, chain names, private-key text,
the shape of a keystore, and the library's own checks of a request.

A command asks for a passphrase only once everything that needs none has passed, so that a typo
costs no typing and no waiting on the key derivation.
"""

from __future__ import annotations

import difflib
import json
import re
import tempfile
from collections.abc import Callable, Iterable
from typing import Any

import qel
from qel.cli import output
from qel.cli.terminal import CliError

MAX_NAME = 64
# Names that a lookup could take for a wallet ID or an ID prefix of the short ID's length or more.
_ID_LIKE = re.compile(r"[0-9a-f-]{%d,}" % output.SHORT_ID, re.IGNORECASE)
CHAIN_NAMES = ("ethereum", "polygon", "arbitrum", "optimism", "base", "bsc", "avalanche", "solana", "bitcoin",
               "cosmos", "tron", "ton", "evm")
# The family of each CAIP-2 namespace: the universal accounts are one per family.
FAMILY_OF_NAMESPACE = {"eip155": "evm", "solana": "solana", "bip122": "bitcoin", "cosmos": "cosmos", "tron": "tron",
                       "ton": "ton"}
_ED25519_CHAINS = {"solana", "ton"}
_SECP256K1_ORDER = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141
_ABANDON = "abandon " * 11 + "about"  # any valid phrase: derive_address then checks the chain alone
_NOT_FOUND = "wallet not found: "
_PROBE = "qel-probe"  # a wallet no empty vault holds


def name(text: str) -> None:
    """A new wallet name: one that reads the same everywhere it is shown and that no lookup takes
    for something else."""
    problem = (
        "is empty" if not text
        else "begins or ends with white space" if text != text.strip()
        else "contains a control or other invisible character" if not text.replace(" ", "").isprintable()
        else f"is longer than {MAX_NAME} characters" if len(text) > MAX_NAME
        else "looks like a wallet ID (8 or more hex digits and dashes)" if _ID_LIKE.fullmatch(text)
        else ""
    )
    if problem:
        raise CliError(f"invalid wallet name '{output.printable(output.cut(text))}': it {problem}")


def utf8(texts: Iterable[object]) -> None:
    """Every str among `texts` is text that UTF-8 can carry (arguments and input the system could not
    decode arrive with lone surrogates in them)."""
    for text in texts:
        if isinstance(text, str):
            try:
                text.encode("utf-8")
            except UnicodeEncodeError:
                raise CliError("an argument or input is not valid UTF-8 text") from None


def did_you_mean(word: str, choices: list[str] | tuple[str, ...]) -> str:
    """"; did you mean 'x'?" for the closest of `choices`, or nothing."""
    close = difflib.get_close_matches(word.lower(), choices, n=1, cutoff=0.6)
    return f"; did you mean '{close[0]}'?" if close else ""


def chain(text: str) -> None:
    """The chain is one the library knows; a typo gets a suggestion."""
    try:
        qel.derive_address(_ABANDON, core_chain(text))
    except RuntimeError as e:
        raise CliError(str(e) + did_you_mean(text, CHAIN_NAMES)) from None


def family(chain_text: str) -> str:
    """The family of a chain the library accepted: "evm", "solana", ..."""
    lowered = chain_text.lower()
    if ":" in chain_text:
        return FAMILY_OF_NAMESPACE[chain_text.split(":", 1)[0]]
    return lowered if lowered in _ED25519_CHAINS | {"bitcoin", "cosmos", "tron"} else "evm"


def private_key(text: str, chain_text: str | None) -> None:
    """The key text is hex of a key of the chain's curve (secp256k1 when no chain is given)."""
    digits = text[2:] if text.startswith("0x") else text
    try:
        key = bytes.fromhex(digits)
    except ValueError:
        raise CliError("invalid private key: expected hex digits") from None
    if chain_text is not None and family(chain_text) in _ED25519_CHAINS:
        if len(key) != 32:
            raise CliError(f"invalid private key: an Ed25519 key is 32 bytes, got {len(key)}")
    elif not 24 <= len(key) <= 32 or not 0 < int.from_bytes(key, "big") < _SECP256K1_ORDER:
        raise CliError("invalid private key: not a secp256k1 key (32 bytes, not zero, below the group order)")


def keystore(text: str) -> None:
    """The document has the members a version 3 keystore needs; whether they hold up is the library's
    to say, once the password is known."""
    try:
        doc = json.loads(text)
    except ValueError:
        raise CliError("invalid keystore: not JSON") from None
    crypto = doc.get("crypto", doc.get("Crypto")) if isinstance(doc, dict) else None
    if not isinstance(crypto, dict):
        raise CliError("invalid keystore: expected a JSON object with a \"crypto\" object")
    missing = [k for k in ("cipher", "cipherparams", "ciphertext", "kdf", "kdfparams", "mac") if k not in crypto]
    if missing:
        raise CliError(f"invalid keystore: missing field `{missing[0]}`")
    if doc.get("version") != 3:
        raise CliError("invalid keystore: expected version 3")


def request(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> None:
    """Runs a wallet call against an empty throwaway vault.

    The library checks the chain, the transaction, typed data or endpoint of a signing call before it
    looks for the wallet; in an empty vault the call then stops at "wallet not found", having
    checked everything but the passphrase. Any other failure is the request's fault."""
    with tempfile.TemporaryDirectory(prefix="qel-check-") as empty:
        try:
            fn(_PROBE, *args, passphrase=None, vault_path_opt=f"{empty}/vault", **kwargs)
        except RuntimeError as e:
            if not str(e).startswith(_NOT_FOUND):
                raise CliError(str(e)) from None


# ---- chains beyond the table: eip155:<N> for the functions that take only the table's names ----

_TABLE_EVM_IDS = {"eip155:1", "eip155:137", "eip155:42161", "eip155:10", "eip155:8453", "eip155:56", "eip155:43114"}
_EIP155 = re.compile(r"eip155:[1-9][0-9]{0,19}")


def core_chain(chain_text: str) -> str:
    """`chain_text`, or "evm" for an EVM chain id the table lacks: addresses, messages and plain
    signatures are the same on every EVM chain; the transaction functions take the id itself."""
    if _EIP155.fullmatch(chain_text) and chain_text not in _TABLE_EVM_IDS and int(chain_text[7:]) < 2**64:
        return "evm"
    return chain_text
