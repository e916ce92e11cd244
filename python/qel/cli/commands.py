"""The subcommands, one function each, in the order `qel --help` lists them."""

from __future__ import annotations

import argparse
import base64
import json
import sys
import urllib.parse

import qel
from qel.cli import checks, inputs, output
from qel.cli.context import NEW_PASSPHRASE_ENV, UINT31_MAX, Context
from qel.cli.registry import arg, command, one_of
from qel.cli.terminal import CliError


def _index(text: str) -> int:
    # Hardened derivation steps take indexes below 2^31 only.
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if not 0 <= value <= UINT31_MAX:
        raise argparse.ArgumentTypeError(f"must be a whole number from 0 to {UINT31_MAX}: {text!r}")
    return value


WALLET = arg("wallet", metavar="WALLET", help="the wallet's name, ID, or ID prefix of 8 or more characters")
CHAIN = arg("chain", metavar="CHAIN",
            help="a chain name (ethereum, polygon, solana, bitcoin, cosmos, tron, ton, ...) or CAIP-2 ID")
NAME = arg("name", metavar="NAME", help="the new wallet's name (at most 64 characters)")
WORDS = arg("--words", type=int, choices=(12, 24), default=12, help="the number of words (default 12)")
INDEX = arg("--index", type=_index, metavar="N", help="the account index (default: the wallet's, as `show` lists it)")
YES = arg("--yes", action="store_true", help="do not ask for confirmation")
KEYSTORE_PASSWORD_FILE = "--keystore-password-file"

PHRASE_WARNING = (
    "Recovery phrase. Write it down and keep it offline: it restores this wallet if the vault is lost,\n"
    "and anyone who has it controls the wallet's funds. It is not shown again (`qel export` reveals it)."
)
_SECP256K1_FAMILIES = ("evm", "bitcoin", "cosmos", "tron")
_ED25519_FAMILIES = ("solana", "ton")


@command("mnemonic", "Print a fresh recovery phrase; stores nothing.", "qel mnemonic --words 24", WORDS)
def mnemonic(ctx: Context, a: argparse.Namespace) -> None:
    phrase = ctx.call(qel.generate_mnemonic, a.words)
    ctx.emit({"mnemonic": phrase}, phrase)


@command("address", "Print a stored wallet's address on a chain, or a recovery phrase's.",
         "qel address main solana   |   qel address solana --index 1 < phrase.txt",
         arg("first", metavar="WALLET|CHAIN",
             help="a stored wallet, then CHAIN; or the chain alone, and the recovery phrase is read"),
         arg("second", nargs="?", metavar="CHAIN", help=CHAIN.options["help"]), INDEX)
def address(ctx: Context, a: argparse.Namespace) -> None:
    if a.second is None:
        checks.chain(a.first)
        phrase = ctx.phrase()
        found = ctx.call(qel.derive_address, phrase, checks.core_chain(a.first), a.index)
    else:
        if a.index is not None:
            ctx.usage("--index goes with a recovery phrase; a stored wallet's address is the one `show` lists")
        checks.chain(a.second)
        w = ctx.wallet(a.first)
        family = checks.family(a.second)
        found = next(acc["address"] for acc in w["accounts"]
                     if checks.FAMILY_OF_NAMESPACE[acc["chain_id"].split(":", 1)[0]] == family)
    ctx.emit({"address": found}, output.printable(found))


@command("create", "Create a wallet; shows its accounts and, once, its phrase.",
         "qel create main", NAME, WORDS)
def create(ctx: Context, a: argparse.Namespace) -> None:
    ctx.check_new_name(a.name)
    ctx.check_output()  # the phrase is shown once: not into a closed descriptor
    phrase = ctx.call(qel.generate_mnemonic, a.words)
    passphrase = ctx.passphrase(new=True)
    ctx.status("encrypting…")
    # Generated here and imported, rather than create_wallet and export_wallet: one key
    # derivation from the passphrase instead of two.
    w = ctx.change(qel.import_wallet_mnemonic, a.name, phrase, passphrase=passphrase, vault_path_opt=ctx.vault)
    ctx.created = w
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
    ctx.check_new_name(a.name)
    if a.keystore is not None:
        keystore = inputs.read_text(a.keystore, inputs.DOCUMENT_LIMIT)
        checks.keystore(keystore)
        password = ctx.keystore_password(a.keystore_password_file)
        passphrase = ctx.passphrase(new=True)
        ctx.status("decrypting the keystore, then encrypting…")
        w = ctx.change(qel.import_wallet_keystore, a.name, keystore, password, passphrase=passphrase,
                       vault_path_opt=ctx.vault)
        given: tuple[str, ...] = _SECP256K1_FAMILIES
    elif a.private_key:
        if a.chain is not None:
            checks.chain(a.chain)
        key = ctx.private_key()
        checks.private_key(key, a.chain)
        passphrase = ctx.passphrase(new=True)
        ctx.status("encrypting…")
        w = ctx.change(qel.import_wallet_private_key, a.name, key, chain=a.chain, passphrase=passphrase,
                       vault_path_opt=ctx.vault)
        ed25519 = a.chain is not None and checks.family(a.chain) in _ED25519_FAMILIES
        given = _ED25519_FAMILIES if ed25519 else _SECP256K1_FAMILIES
    else:
        phrase = ctx.phrase()
        ctx.call(qel.derive_address, phrase, "evm")  # a mistyped phrase fails before the passphrase is asked for
        passphrase = ctx.passphrase(new=True)
        ctx.status("encrypting…")
        w = ctx.change(qel.import_wallet_mnemonic, a.name, phrase, passphrase=passphrase, index=a.index,
                       vault_path_opt=ctx.vault)
        given = ()
    ctx.emit(w, output.wallet(w))
    if given:
        generated = [f for f in _SECP256K1_FAMILIES + _ED25519_FAMILIES if f not in given]
        ctx.note(f"note: the {', '.join(given)} accounts come from the given key; the {', '.join(generated)} "
                 f"accounts from a key generated in this vault: `qel export {output.printable(w['id'][:8])}` is its "
                 "only backup")


@command("list", "List the wallets, newest first.", "qel list --json")
def list_(ctx: Context, a: argparse.Namespace) -> None:
    ws = ctx.call(qel.list_wallets, ctx.vault)
    ctx.emit(ws, output.wallets(ws))


@command("show", "Show a wallet's accounts: chain, path, address.", "qel show main", WALLET)
def show(ctx: Context, a: argparse.Namespace) -> None:
    w = ctx.wallet(a.wallet)
    ctx.emit(w, output.wallet(w))


@command("rename", "Give a wallet a new name.", "qel rename main savings",
         WALLET, arg("new_name", metavar="NEW_NAME", help="the new name (at most 64 characters)"))
def rename(ctx: Context, a: argparse.Namespace) -> None:
    checks.name(a.new_name)
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
             help="with --keystore: read the keystore's own password from FILE (default: asked twice)"),
         INDEX)
def export(ctx: Context, a: argparse.Namespace) -> None:
    if not a.keystore and (a.keystore_password_file is not None or a.index is not None):
        ctx.usage(f"{KEYSTORE_PASSWORD_FILE} and --index go with --keystore")
    w = ctx.wallet(a.wallet)
    if a.keystore:
        # Sealed under a password of its own: no more exposed than the wallet file itself.
        password = ctx.keystore_password(a.keystore_password_file, new=True)
        passphrase = ctx.passphrase(new=False, wallet=w)
        ctx.status("unlocking, then sealing the keystore…")
        keystore = ctx.call(qel.export_wallet_keystore, w["id"], passphrase=passphrase, keystore_password=password,
                            index=ctx.index(w, a.index), vault_path_opt=ctx.vault)
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
    # A file is read first: a missing one fails before anything is asked.
    new = ctx.new_passphrase(a.new_passphrase_file) if a.new_passphrase_file is not None else None
    old = ctx.passphrase(new=False, wallet=w)
    if new is None:
        new = ctx.new_passphrase(None)
    ctx.status("unlocking, then encrypting…")
    changed = ctx.change(qel.change_passphrase, w["id"], old, new, ctx.vault)
    ctx.emit(changed, f"changed the passphrase of wallet {output.label(changed)}")


@command("public-key", "Print the public key of a wallet's account on a chain (TON signatures need it).",
         "qel public-key main ton", WALLET, CHAIN, INDEX)
def public_key(ctx: Context, a: argparse.Namespace) -> None:
    checks.chain(a.chain)
    w = ctx.wallet(a.wallet)
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    key = ctx.call(qel.get_public_key, w["id"], a.chain, passphrase=passphrase, index=ctx.index(w, a.index),
                   vault_path_opt=ctx.vault)
    ctx.emit({"public_key": key}, key)


@command("sign-message", "Sign a message; prints the signature and recovery id.", "qel sign-message main ethereum 'hello'",
         WALLET, CHAIN,
         one_of(arg("message", nargs="?", metavar="MESSAGE", help="the message, signed as its UTF-8 bytes"),
                arg("--file", metavar="FILE", help="sign this file's bytes instead ('-' for standard input)")),
         INDEX,
         arg("--bip137", action="store_true",
             help="on bitcoin: print the signature as other wallets write it (BIP-137: header first, base64)"))
def sign_message(ctx: Context, a: argparse.Namespace) -> None:
    checks.chain(a.chain)
    if a.bip137 and checks.family(a.chain) != "bitcoin":
        ctx.usage("--bip137 goes with a bitcoin chain")
    if a.file is None:
        message, encoding = a.message, None
    else:
        message, encoding = inputs.read_bytes(a.file, inputs.DOCUMENT_LIMIT).hex(), "hex"
    checks.request(qel.sign_message, checks.core_chain(a.chain), message, encoding=encoding)
    w = ctx.wallet(a.wallet)
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    sig = ctx.call(qel.sign_message, w["id"], checks.core_chain(a.chain), message, passphrase=passphrase,
                   encoding=encoding, index=ctx.index(w, a.index), vault_path_opt=ctx.vault)
    if a.bip137:
        # Header 39 + recovery id: a P2WPKH address's signature, the address type of this wallet's account.
        raw = bytes.fromhex(sig["signature"])
        assert sig["recovery_id"] is not None
        text = base64.b64encode(bytes([39 + sig["recovery_id"]]) + raw[:64]).decode("ascii")
        ctx.emit({"signature": text}, text)
        return
    ctx.emit(sig, output.signature(sig))


@command("sign-typed-data", "Sign EIP-712 typed data on an EVM chain; prints the signature and v.",
         "qel sign-typed-data main ethereum permit.json", WALLET, CHAIN,
         arg("file", nargs="?", default="-", metavar="FILE",
             help="the typed data as JSON (default '-': read it from standard input)"),
         INDEX)
def sign_typed_data(ctx: Context, a: argparse.Namespace) -> None:
    checks.chain(a.chain)
    data = inputs.read_text(a.file, inputs.DOCUMENT_LIMIT)
    checks.request(qel.sign_typed_data, a.chain, data)
    w = ctx.wallet(a.wallet)
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    sig = ctx.call(qel.sign_typed_data, w["id"], a.chain, data, passphrase=passphrase, index=ctx.index(w, a.index),
                   vault_path_opt=ctx.vault)
    ctx.emit(sig, output.signature(sig, "v"))


TX = arg("tx", nargs="?", default="-", metavar="TX",
         help="the unsigned transaction: hex, or base64 for a PSBT or a TON message "
              "(default '-': read it from standard input)")


@command("sign-tx", "Sign a transaction; prints the signed transaction and its hash.",
         "qel sign-tx main bitcoin cHNidP8BAHEC...", WALLET, CHAIN, TX, INDEX,
         arg("--signature-only", action="store_true",
             help="print only the signature and recovery id of the bytes given, signed as they are"))
def sign_tx(ctx: Context, a: argparse.Namespace) -> None:
    checks.chain(a.chain)
    tx = _tx(ctx, a.tx)
    if a.signature_only:
        # An EVM or Solana transaction is held to what `send` would send: a signature over bytes that no
        # node reads as one transaction is of no use.
        sendable = checks.family(a.chain) in ("evm", "solana")
        checks.request(qel.sign_and_encode if sendable else qel.sign_transaction, a.chain, tx)
        w = ctx.wallet(a.wallet)
        passphrase = ctx.passphrase(new=False, wallet=w)
        ctx.status("unlocking…")
        sig = ctx.call(qel.sign_transaction, w["id"], checks.core_chain(a.chain), tx, passphrase=passphrase,
                       index=ctx.index(w, a.index), vault_path_opt=ctx.vault)
        ctx.emit(sig, output.signature(sig))
        return
    checks.request(qel.sign_and_encode, a.chain, tx)
    w = ctx.wallet(a.wallet)
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    signed = ctx.call(qel.sign_and_encode, w["id"], a.chain, tx, passphrase=passphrase, index=ctx.index(w, a.index),
                      vault_path_opt=ctx.vault)
    ctx.emit(signed, output.table([["signed tx", signed["signed_tx"]], ["tx hash", signed["tx_hash"]]]))


@command("send", "Sign a transaction and send it to its chain; shows it and asks first unless --yes; prints its hash.",
         "qel send main ethereum 0x02ef01... --rpc-url https://rpc.example",
         WALLET, CHAIN, TX, INDEX, YES,
         arg("--rpc-url", metavar="URL", help="the chain's API endpoint (default: from the configuration)"))
def send(ctx: Context, a: argparse.Namespace) -> None:
    checks.chain(a.chain)
    tx = _tx(ctx, a.tx)
    summary = ctx.call(qel.describe_transaction, a.chain, tx)
    w = ctx.wallet(a.wallet)
    # What will be signed, on standard error: standard output stays the hash.
    print(output.table([[label, output.printable(value)] for label, value in summary.items()]), file=sys.stderr,
          flush=True)
    ctx.confirm(f"Sign and send this transaction with wallet {output.label(w)}?", a.yes)
    passphrase = ctx.passphrase(new=False, wallet=w)
    ctx.status("unlocking…")
    signed = ctx.call(qel.sign_and_encode, w["id"], a.chain, tx, passphrase=passphrase, index=ctx.index(w, a.index),
                      vault_path_opt=ctx.vault)
    ctx.status(f"sending to {_host(a.rpc_url)}…")
    try:
        sent = ctx.wait(qel.broadcast_transaction, a.chain, signed["signed_tx"], rpc_url=a.rpc_url)
    except KeyboardInterrupt:
        raise KeyboardInterrupt("the transaction may have reached the node; look for it before sending it again") \
            from None
    ctx.emit(sent, output.printable(sent["tx_hash"]))


@command("verify", "Check a message signature; exit status 1 when it does not match.",
         "qel verify ethereum 0x3f2c...1b 'hello' --address 0x4497...d60f", CHAIN,
         arg("signature", metavar="SIGNATURE",
             help="the signature in hex as sign-message prints it; 64 bytes (r || s) with --public-key; on bitcoin "
                  "also BIP-137 (base64 or hex, header first)"),
         one_of(arg("message", nargs="?", metavar="MESSAGE", help="the message, as its UTF-8 bytes"),
                arg("--file", metavar="FILE", help="this file's bytes are the message ('-' for standard input)")),
         arg("--address", metavar="ADDRESS", help="the signer's address"),
         arg("--public-key", metavar="HEX", help="the signer's public key (needed on TON: `qel public-key` prints it)"))
def verify(ctx: Context, a: argparse.Namespace) -> None:
    if a.address is None and a.public_key is None:
        ctx.usage("one of the arguments --address --public-key is required")
    checks.chain(a.chain)
    if a.file is None:
        message, encoding = a.message, None
    else:
        message, encoding = inputs.read_bytes(a.file, inputs.DOCUMENT_LIMIT).hex(), "hex"
    valid = ctx.call(qel.verify_message, checks.core_chain(a.chain), message, a.signature, address=a.address,
                     public_key_hex=a.public_key, encoding=encoding)
    if valid or ctx.json:
        ctx.emit({"valid": valid}, "the signature matches")
    if not valid:
        raise CliError("the signature does not match")


def _tx(ctx: Context, given: str) -> str:
    tx = ctx.stdin_text(inputs.DOCUMENT_LIMIT).strip() if given == "-" else given
    if not tx or tx == "0x":
        raise CliError("no transaction given")
    return tx


def _host(url: str | None) -> str:
    """The node's host, never the path or query (they may carry an API key)."""
    if url is None:
        return "the configured node"
    host = urllib.parse.urlsplit(url).hostname
    return output.printable(host) if host else "the node"
