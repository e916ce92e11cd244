"""What a subcommand works with: the library call, secret and passphrase input, confirmation, output."""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, NoReturn, ParamSpec, TypeVar

import qel
from qel.cli import checks, inputs, output, terminal
from qel.cli.terminal import CliError

if TYPE_CHECKING:
    from qel._native import WalletDict

P = ParamSpec("P")
T = TypeVar("T")

PASSPHRASE_ENV = "QEL_PASSPHRASE"
NEW_PASSPHRASE_ENV = "QEL_NEW_PASSPHRASE"
# A wallet ID is 36 characters; a unique prefix at least as long as the short ID in listings
# also names a wallet.
_ID_PREFIX = re.compile(r"[0-9a-f-]{%d,35}" % output.SHORT_ID)
# The phrase checker quotes the offending word, or the whole phrase, in its messages.
_BAD_WORD = re.compile(r"the word `(.*)` is invalid$", re.DOTALL)
_BAD_PHRASE = re.compile(r"the phrase `.*` is invalid$", re.DOTALL)
# What the library says when a wallet's secret does not open under the passphrase given.
_WRONG_PASSPHRASE = "decryption failed: aead::Error"
# A derivation path, as a mnemonic wallet's accounts store it.
_PATH = re.compile(r"m(/\d+'?)*")
UINT31_MAX = 2**31 - 1


class OutputError(Exception):
    """Standard output cannot be written (closed, full, or its reader gone)."""


class UsageError(Exception):
    """Arguments that do not fit together: reported by argparse, exit status 2."""


class Context:
    def __init__(self, args: argparse.Namespace, interrupts: terminal.Interrupts,
                 environment: dict[str, str | None]) -> None:
        self.vault: str | None = args.vault
        self.json: bool = args.json
        self._passphrase_file: str | None = args.passphrase_file
        self._no_input: bool = args.no_input
        self._interrupts = interrupts
        self._phrase_words: list[str] = []
        # The passphrases the environment held; taken out of it at start, so that no program this
        # command runs (curl) inherits them.
        self._environment = environment
        # Set when the passphrase came from a file whose text ends in white space: a likely reason
        # for a wrong passphrase.
        self._passphrase_hint = ""
        # The wallet this command created, once it exists: named if its output cannot be shown.
        self.created: WalletDict | None = None

    # The library.

    def call(self, fn: Callable[P, T], *args: P.args, **kwargs: P.kwargs) -> T:
        """`fn(*args, **kwargs)` for a call that changes nothing; a failure becomes a CliError."""
        return self._run(False, False, fn, *args, **kwargs)

    def change(self, fn: Callable[P, T], *args: P.args, **kwargs: P.kwargs) -> T:
        """The same for a call that writes or deletes: its result outlives a Ctrl-C."""
        return self._run(True, False, fn, *args, **kwargs)

    def wait(self, fn: Callable[P, T], *args: P.args, **kwargs: P.kwargs) -> T:
        """The same for a call that waits on another process and looks for Ctrl-C meanwhile: Ctrl-C
        ends it at once with KeyboardInterrupt, and then whether it got as far as changing
        something is unknown (one that comes as the call returns also loses its result)."""
        return self._run(True, True, fn, *args, **kwargs)

    def _run(self, changes: bool, waits: bool, fn: Callable[P, T], *args: P.args, **kwargs: P.kwargs) -> T:
        checks.utf8((*args, *kwargs.values()))
        self._interrupts.holding = True
        self._interrupts.waiting = waits
        try:
            result = fn(*args, **kwargs)
        except RuntimeError as e:
            raise CliError(self._explain(self._hide_secrets(str(e)))) from None
        finally:
            self._interrupts.holding = self._interrupts.waiting = False
        if self._interrupts.pending and not changes:
            raise KeyboardInterrupt
        return result

    def _explain(self, message: str) -> str:
        """The library's message in the user's terms where it names an internal detail."""
        if message == _WRONG_PASSPHRASE:
            return "wrong passphrase (or the wallet file is damaged)" + self._passphrase_hint
        return message

    def _hide_secrets(self, message: str) -> str:
        """The library's message without the words of the phrase this command read: a phrase with
        a typo is nearly the real one, and error output ends up in logs."""
        if m := _BAD_WORD.search(message):
            where = f"word {self._phrase_words.index(m[1]) + 1}" if m[1] in self._phrase_words else "a word"
            message = message[: m.start()] + f"{where} is not in the word list"
        elif m := _BAD_PHRASE.search(message):
            message = message[: m.start()] + "the checksum or the number of words is wrong"
        return message

    def wallet(self, ref: str) -> WalletDict:
        """The wallet a name, an ID or a unique ID prefix of at least the short ID's length names; the
        exact name first, so that a name that looks like another wallet's ID still names its own."""
        ws = self.call(qel.list_wallets, self.vault)
        named = [w for w in ws if w["name"] == ref]
        if len(named) == 1:
            return named[0]
        try:
            return self.call(qel.get_wallet, ref, self.vault)
        except CliError as e:
            if not (str(e).startswith("wallet not found: ") and _ID_PREFIX.fullmatch(ref)):
                raise
            found = [w for w in ws if w["id"].startswith(ref)]
            if len(found) != 1:
                raise
            return found[0]

    def check_new_name(self, name: str) -> None:
        """Fails now, before any passphrase is asked for, if the name breaks a rule or is taken."""
        checks.name(name)
        if any(w["name"] == name for w in self.call(qel.list_wallets, self.vault)):
            raise CliError(f"wallet name already exists: '{output.printable(name)}'")

    @staticmethod
    def index(w: WalletDict, given: int | None) -> int | None:
        """The account index to sign with: the one given, else the one of the wallet's stored accounts
        (read from their paths), so that a command acts on the accounts `show` lists."""
        if given is not None:
            return given
        path = w["accounts"][0]["derivation_path"] if w["accounts"] else ""
        if not _PATH.fullmatch(path):
            return None  # a private-key wallet: no index
        # The last step of a five-step path (m/44'/60'/0'/0/N), else the third (m/44'/501'/N'/0', m/44'/607'/N').
        steps = path.split("/")[1:]
        step = steps[-1] if len(steps) == 5 else steps[2] if len(steps) >= 3 else "0"
        return int(step.rstrip("'"))

    # Input.

    def passphrase(self, *, new: bool, wallet: WalletDict | None = None) -> str:
        """The passphrase: from --passphrase-file, else $QEL_PASSPHRASE, else the terminal.

        `new` is for one that seals a new secret: at the terminal it is asked twice.
        """
        if self._passphrase_file is not None:
            text = _read_passphrase_file(self._passphrase_file)
            if text != text.rstrip():
                self._passphrase_hint = (f"; the passphrase read from {inputs.describe(self._passphrase_file)} "
                                         "ends in white space")
        elif (env := self._environment.get(PASSPHRASE_ENV)) is not None:
            text = env
        elif self._no_input or not terminal.available():
            raise CliError(f"no passphrase: use --passphrase-file FILE or set {PASSPHRASE_ENV}")
        elif new:
            text = _ask_new_passphrase()
        else:
            assert wallet is not None
            text = terminal.ask_hidden(f"Passphrase for {output.label(wallet)}: ")
        return text

    def new_passphrase(self, path: str | None) -> str:
        """The passphrase a wallet changes to: from `path` (--new-passphrase-file), else
        $QEL_NEW_PASSPHRASE, else the terminal, asked twice."""
        if path is not None:
            return _read_passphrase_file(path)
        if (env := self._environment.get(NEW_PASSPHRASE_ENV)) is not None:
            return env
        if self._no_input or not terminal.available():
            raise CliError(f"no new passphrase: use --new-passphrase-file FILE or set {NEW_PASSPHRASE_ENV}")
        return _ask_new_passphrase()

    def keystore_password(self, path: str | None, *, new: bool = False) -> str:
        """The password of a keystore: from `path` (--keystore-password-file), else the terminal
        (twice for a keystore being written, which may not go without one)."""
        if path is not None:
            text = _read_passphrase_file(path)
        elif self._no_input or not terminal.available():
            raise CliError("no keystore password: use --keystore-password-file FILE")
        elif new:
            text = terminal.ask_hidden("New keystore password: ")
            if terminal.ask_hidden("Repeat the keystore password: ") != text:
                raise CliError("the keystore passwords do not match")
        else:
            text = terminal.ask_hidden("Keystore password: ")
        if new and not text:
            raise CliError("the keystore password is empty: a keystore is only as safe as its password")
        return text

    def phrase(self) -> str:
        """A recovery phrase from the terminal (no echo) or standard input, spaces made single."""
        self._phrase_words = self._secret_input("Recovery phrase: ", "recovery phrase").split()
        return " ".join(self._phrase_words)

    def private_key(self) -> str:
        return self._secret_input("Private key (hex): ", "private key").strip()

    def _secret_input(self, prompt: str, what: str) -> str:
        if sys.stdin is not None and sys.stdin.isatty():
            if self._no_input:
                raise CliError(f"no {what}: pipe it to standard input")
            text = terminal.ask_hidden(prompt)
        else:
            text = self.stdin_text()
        if not text.strip():
            raise CliError(f"no {what} given")
        return text

    def stdin_text(self, limit: int = inputs.SECRET_LIMIT) -> str:
        return inputs.read_text("-", limit)

    def confirm(self, question: str, yes: bool) -> None:
        """Goes on when `yes` (--yes) is set or the user answers yes; otherwise fails."""
        if yes:
            return
        if self._no_input or not terminal.available():
            raise CliError("this needs confirmation: add --yes to go ahead without a prompt")
        if terminal.ask(question + " [y/N] ").strip().lower() not in ("y", "yes"):
            raise CliError("cancelled")

    # Output.

    def emit(self, data: object, human: str) -> None:
        """One JSON document with --json, the human rendering otherwise."""
        if sys.stdout is None:
            raise OutputError("standard output is closed")
        try:
            print(json.dumps(data, indent=2) if self.json else human, flush=True)
        except OSError as e:
            raise OutputError(f"cannot write to standard output: {e.strerror or e}") from None

    @staticmethod
    def check_output() -> None:
        """Fails when standard output is closed: for output that is shown only once."""
        try:
            if sys.stdout is not None:
                os.fstat(sys.stdout.fileno())
                return
        except (OSError, ValueError):
            pass
        raise OutputError("standard output is closed")

    def note(self, text: str) -> None:
        """A line for the person at the terminal or reading the log: on standard error."""
        print(text, file=sys.stderr, flush=True)

    def status(self, text: str) -> None:
        terminal.status(text)

    @staticmethod
    def usage(message: str) -> NoReturn:
        raise UsageError(message)


def _ask_new_passphrase() -> str:
    text = terminal.ask_hidden("New passphrase: ")
    if terminal.ask_hidden("Repeat the passphrase: ") != text:
        raise CliError("the passphrases do not match")
    return text


def _read_passphrase_file(path: str) -> str:
    """The file's text ('-': standard input) less one trailing line end; warns when others may read it."""
    return inputs.drop_line_end(inputs.read_text(path, inputs.SECRET_LIMIT, "passphrase file ", warn_readable=True))
