"""The subcommands, one function each, in the order `qel --help` lists them."""

from __future__ import annotations

import argparse
import json
import re
import sys

import qel
from qel.cli import output
from qel.cli.context import NEW_PASSPHRASE_ENV, Context
from qel.cli.registry import arg, command, one_of
from qel.cli.terminal import CliError

UINT32_MAX = 2**32 - 1


def _index(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if not 0 <= value <= UINT32_MAX:
        raise argparse.ArgumentTypeError(f"must be a whole number from 0 to {UINT32_MAX}: {text!r}")
    return value


WALLET = arg("wallet", metavar="WALLET", help="the wallet's name, ID, or ID prefix of 8 or more characters")
CHAIN = arg("chain", metavar="CHAIN",
            help="a chain name (ethereum, polygon, solana, bitcoin, cosmos, tron, ton, ...) or CAIP-2 ID")
NAME = arg("name", metavar="NAME", help="the new wallet's name")
WORDS = arg("--words", type=int, choices=(12, 24), default=12, help="the number of words (default 12)")
INDEX = arg("--index", type=_index, metavar="N", help="the account index (default 0)")
YES = arg("--yes", action="store_true", help="do not ask for confirmation")
KEYSTORE_PASSWORD_FILE = "--keystore-password-file"

PHRASE_WARNING = (
    "Recovery phrase. Write it down and keep it offline: it restores this wallet if the vault is lost,\n"
    "and anyone who has it controls the wallet's funds. It is not shown again (`qel export` reveals it)."
)


@command("mnemonic", "Print a fresh recovery phrase; stores nothing.", "qel mnemonic --words 24", WORDS)
def mnemonic(ctx: Context, a: argparse.Namespace) -> None:
    phrase = ctx.call(qel.generate_mnemonic, a.words)
    ctx.emit({"mnemonic": phrase}, phrase)


@command("address", "Print the address of a recovery phrase on a chain.",
         "qel address solana --index 1 < phrase.txt", CHAIN, INDEX)
def address(ctx: Context, a: argparse.Namespace) -> None:
    phrase = ctx.phrase()
    found = ctx.call(qel.derive_address, phrase, core_chain(a.chain), a.index)
    ctx.emit({"address": found}, found)


@command("create", "Create a wallet; shows its accounts and, once, its phrase.",
         "qel create main", NAME, WORDS)
def create(ctx: Context, a: argparse.Namespace) -> None:
    ctx.check_name_free(a.name)
    phrase = ctx.call(qel.generate_mnemonic, a.words)
    passphrase = ctx.passphrase(new=True)
    ctx.status("encrypting…")
    # Generated here and imported, rather than create_wallet and export_wallet: one key
    # derivation from the passphrase instead of two.
    w = ctx.change(qel.import_wallet_mnemonic, a.name, phrase, passphrase=passphrase, vault_path_opt=ctx.vault)
    ctx.emit({**w, "mnemonic": phrase}, f"{output.wallet(w)}\n\n{PHRASE_WARNING}\n\n    {phrase}")


@command("import", "Add a wallet from a recovery phrase or a private key.", "qel import savings < phrase.txt",
         NAME,
         arg("--private-key", action="store_true", help="read a hex private key instead of a phrase"),
         arg("--chain", metavar="CHAIN",
             help="with --private-key: a chain whose curve the key is for (default: the secp256k1 chains)"),
         INDEX,
         arg("--keystore", metavar="FILE",
             help="read the key of an encrypted Ethereum keystore (version 3) from FILE ('-' for standard input)"),
         arg(KEYSTORE_PASSWORD_FILE, metavar="FILE", help="with --keystore: read its password from FILE (default: ask)"))
def import_(ctx: Context, a: argparse.Namespace) -> None:
    if a.keystore is not None and (a.private_key or a.chain is not None or a.index is not None):
        ctx.usage("--keystore does not go with --private-key, --chain or --index")
    if a.keystore_password_file is not None and a.keystore is None:
        ctx.usage(f"{KEYSTORE_PASSWORD_FILE} goes with --keystore")
    if a.chain is not None and not a.private_key:
        ctx.usage("--chain goes with --private-key")
    if a.index is not None and a.private_key:
        ctx.usage("--index does not go with --private-key")
    ctx.check_name_free(a.name)
    if a.keystore is not None:
        keystore = _read_text(ctx, a.keystore)
        password = ctx.keystore_password(a.keystore_password_file)
        passphrase = ctx.passphrase(new=True)
        ctx.status("encrypting…")
        w = ctx.change(qel.import_wallet_keystore, a.name, keystore, password, passphrase=passphrase,
                       vault_path_opt=ctx.vault)
    elif a.private_key:
        key = ctx.private_key()
        passphrase = ctx.passphrase(new=True)
        ctx.status("encrypting…")
        w = ctx.change(qel.import_wallet_private_key, a.name, key, chain=a.chain, passphrase=passphrase,
                       vault_path_opt=ctx.vault)
    else:
        phrase = ctx.phrase()
        ctx.call(qel.derive_address, phrase, "evm")  # a mistyped phrase fails before the passphrase is asked for
        passphrase = ctx.passphrase(new=True)
        ctx.status("encrypting…")
        w = ctx.change(qel.import_wallet_mnemonic, a.name, phrase, passphrase=passphrase, index=a.index,
                       vault_path_opt=ctx.vault)
    ctx.emit(w, output.wallet(w))


@command("list", "List the wallets, newest first.", "qel list --json")
def list_(ctx: Context, a: argparse.Namespace) -> None:
    ws = ctx.call(qel.list_wallets, ctx.vault)
    ctx.emit(ws, output.wallets(ws))


@command("show", "Show a wallet's accounts: chain, path, address.", "qel show main", WALLET)
def show(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    ctx.emit(w, output.wallet(w))


@command("rename", "Give a wallet a new name.", "qel rename main savings",
         WALLET, arg("new_name", metavar="NEW_NAME", help="the new name"))
def rename(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    ctx.change(qel.rename_wallet, w["id"], a.new_name, ctx.vault)
    renamed = {**w, "name": a.new_name}
    ctx.emit(renamed, f"renamed {output.label(w)} to '{output.printable(a.new_name)}'")


@command("delete", "Delete a wallet (asks first unless --yes).", "qel delete old-wallet", WALLET, YES)
def delete(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    ctx.confirm(f"Delete wallet {output.label(w)}? Without its recovery phrase or key its funds are lost.", a.yes)
    ctx.change(qel.delete_wallet, w["id"], ctx.vault)
    ctx.emit(w, f"deleted wallet {output.label(w)}")


@command("export", "Print a wallet's secret (asks first unless --yes), or its EVM key as a keystore.",
         "qel export main --keystore > main-keystore.json", WALLET, YES,
         arg("--keystore", action="store_true",
             help="print the EVM key as an encrypted Ethereum keystore (version 3) instead; no confirmation"),
         arg(KEYSTORE_PASSWORD_FILE, metavar="FILE",
             help="with --keystore: read the keystore's password from FILE (default: the wallet's passphrase)"),
         INDEX)
def export(ctx: Context, a: argparse.Namespace) -> None:
    if not a.keystore and (a.keystore_password_file is not None or a.index is not None):
        ctx.usage(f"{KEYSTORE_PASSWORD_FILE} and --index go with --keystore")
    w = ctx.wallet(a.wallet)
    if a.keystore:
        # Sealed under a password: no more exposed than the wallet file itself.
        password = None if a.keystore_password_file is None else ctx.keystore_password(a.keystore_password_file)
        passphrase = ctx.passphrase(new=False, wallet=w)
        ctx.status("encrypting…")
        keystore = ctx.call(qel.export_wallet_keystore, w["id"], passphrase=passphrase, keystore_password=password,
                            index=a.index, vault_path_opt=ctx.vault)
        ctx.emit(json.loads(keystore), keystore)
        return
    ctx.confirm(f"Print the secret of wallet {output.label(w)}? Anyone who sees it controls the wallet.", a.yes)
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    secret = ctx.call(qel.export_wallet, w["id"], passphrase=passphrase, vault_path_opt=ctx.vault)
    ctx.emit({"secret": secret}, output.secret(secret))


@command("change-passphrase", "Seal a wallet's secret under a new passphrase; its accounts stay the same.",
         "qel change-passphrase main --new-passphrase-file new.txt", WALLET,
         arg("--new-passphrase-file", metavar="FILE",
             help=f"read the new passphrase from FILE (default: ${NEW_PASSPHRASE_ENV}, else asked twice)"))
def change_passphrase(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    old = ctx.passphrase(new=False, wallet=w)
    new = ctx.new_passphrase(a.new_passphrase_file)
    ctx.status("encrypting…")
    changed = ctx.change(qel.change_passphrase, w["id"], old, new, ctx.vault)
    ctx.emit(changed, f"changed the passphrase of wallet {output.label(changed)}")


@command("sign-message", "Sign a message; prints the signature and recovery id.", "qel sign-message main ethereum 'hello'",
         WALLET, CHAIN,
         one_of(arg("message", nargs="?", metavar="MESSAGE", help="the message, signed as its UTF-8 bytes"),
                arg("--file", metavar="FILE", help="sign this file's bytes instead ('-' for standard input)")),
         INDEX)
def sign_message(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    if a.file is None:
        message, encoding = a.message, None
    else:
        message, encoding = _read_file(ctx, a.file).hex(), "hex"
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    sig = ctx.call(qel.sign_message, w["id"], core_chain(a.chain), message, passphrase=passphrase, encoding=encoding,
                   index=a.index, vault_path_opt=ctx.vault)
    ctx.emit(sig, output.signature(sig))


@command("sign-typed-data", "Sign EIP-712 typed data on an EVM chain; prints the signature and v.",
         "qel sign-typed-data main ethereum permit.json", WALLET, CHAIN,
         arg("file", nargs="?", default="-", metavar="FILE",
             help="the typed data as JSON (default '-': read it from standard input)"),
         INDEX)
def sign_typed_data(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    data = _read_text(ctx, a.file)
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    sig = ctx.call(qel.sign_typed_data, w["id"], a.chain, data, passphrase=passphrase, index=a.index,
                   vault_path_opt=ctx.vault)
    ctx.emit(sig, output.signature(sig))


TX = arg("tx", nargs="?", default="-", metavar="TX",
         help="the unsigned transaction: hex, or base64 for a PSBT or a TON message "
              "(default '-': read it from standard input)")


@command("sign-tx", "Sign a transaction; prints the signed transaction and its hash.",
         "qel sign-tx main bitcoin cHNidP8BAHEC...", WALLET, CHAIN, TX, INDEX,
         arg("--signature-only", action="store_true",
             help="print only the signature and recovery id of the bytes given, signed as they are"))
def sign_tx(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    tx = _tx(ctx, a.tx)
    if a.signature_only:
        passphrase = ctx.passphrase(new=False, wallet=w)
        ctx.status("unlocking…")
        sig = ctx.call(qel.sign_transaction, w["id"], core_chain(a.chain), tx, passphrase=passphrase,
                       index=a.index, vault_path_opt=ctx.vault)
        ctx.emit(sig, output.signature(sig))
        return
    ctx.call(qel.describe_transaction, a.chain, tx)  # a malformed transaction fails before the passphrase
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    signed = ctx.call(qel.sign_and_encode, w["id"], a.chain, tx, passphrase=passphrase, index=a.index,
                      vault_path_opt=ctx.vault)
    ctx.emit(signed, output.table([["signed tx", signed["signed_tx"]], ["tx hash", signed["tx_hash"]]]))


@command("send", "Sign a transaction and send it to its chain; shows it and asks first unless --yes; prints its hash.",
         "qel send main ethereum 0x02ef01... --rpc-url https://rpc.example",
         WALLET, CHAIN, TX, INDEX, YES,
         arg("--rpc-url", metavar="URL", help="the chain's API endpoint (default: from the configuration)"))
def send(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    tx = _tx(ctx, a.tx)
    summary = ctx.call(qel.describe_transaction, a.chain, tx)
    # What will be signed, on standard error: standard output stays the hash.
    print(output.table([[label, output.printable(value)] for label, value in summary.items()]), file=sys.stderr,
          flush=True)
    ctx.confirm(f"Sign and send this transaction with wallet {output.label(w)}?", a.yes)
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    signed = ctx.call(qel.sign_and_encode, w["id"], a.chain, tx, passphrase=passphrase, index=a.index,
                      vault_path_opt=ctx.vault)
    try:
        sent = ctx.wait(qel.broadcast_transaction, a.chain, signed["signed_tx"], rpc_url=a.rpc_url)
    except KeyboardInterrupt:
        raise KeyboardInterrupt("the transaction may have reached the node; look for it before sending it again") \
            from None
    ctx.emit(sent, output.printable(sent["tx_hash"]))


@command("verify", "Check a signature made by sign-message; exit status 1 when it does not match.",
         "qel verify ethereum 0x3f2c...1b 'hello' --address 0x4497...d60f", CHAIN,
         arg("signature", metavar="SIGNATURE", help="the signature in hex, as sign-message prints it"),
         one_of(arg("message", nargs="?", metavar="MESSAGE", help="the message, as its UTF-8 bytes"),
                arg("--file", metavar="FILE", help="this file's bytes are the message ('-' for standard input)")),
         arg("--address", metavar="ADDRESS", help="the signer's address"),
         arg("--public-key", metavar="HEX", help="the signer's public key (needed on TON)"))
def verify(ctx: Context, a: argparse.Namespace) -> None:
    if a.address is None and a.public_key is None:
        ctx.usage("one of the arguments --address --public-key is required")
    if a.file is None:
        message, encoding = a.message, None
    else:
        message, encoding = _read_file(ctx, a.file).hex(), "hex"
    valid = ctx.call(qel.verify_message, core_chain(a.chain), message, a.signature, address=a.address,
                     public_key_hex=a.public_key, encoding=encoding)
    if valid or ctx.json:
        ctx.emit({"valid": valid}, "the signature matches")
    if not valid:
        raise CliError("the signature does not match")


def _tx(ctx: Context, given: str) -> str:
    return ctx.stdin_text().strip() if given == "-" else given


def _read_text(ctx: Context, path: str) -> str:
    try:
        return _read_file(ctx, path).decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"'{output.printable(path)}' is not UTF-8 text") from None


def _read_file(ctx: Context, path: str) -> bytes:
    if path == "-":
        return ctx.stdin_bytes()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise CliError(f"cannot read '{output.printable(path)}': {e.strerror or e}") from None


# ---- chains beyond the table: eip155:<N> for the functions that take only the table's names ----

_TABLE_EVM_IDS = {"eip155:1", "eip155:137", "eip155:42161", "eip155:10", "eip155:8453", "eip155:56", "eip155:43114"}
_EIP155 = re.compile(r"eip155:[1-9][0-9]{0,19}")


def core_chain(chain: str) -> str:
    """`chain`, or "evm" for an EVM chain id the table lacks: addresses, messages and plain signatures
    are the same on every EVM chain."""
    if _EIP155.fullmatch(chain) and chain not in _TABLE_EVM_IDS and int(chain[7:]) < 2**64:
        return "evm"
    return chain
