"""What a subcommand works with: the library call, secret and passphrase input, confirmation, output."""

from __future__ import annotations

import argparse
import json
import os
import re
import stat
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, NoReturn, ParamSpec, TypeVar

import qel
from qel.cli import output, terminal
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


class UsageError(Exception):
    """Arguments that do not fit together: reported by argparse, exit status 2."""


class Context:
    def __init__(self, args: argparse.Namespace, interrupts: terminal.Interrupts) -> None:
        self.vault: str | None = args.vault
        self.json: bool = args.json
        self._passphrase_file: str | None = args.passphrase_file
        self._no_input: bool = args.no_input
        self._interrupts = interrupts
        self._phrase_words: list[str] = []

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
        for value in (*args, *kwargs.values()):
            if isinstance(value, str) and not _is_utf8(value):
                raise CliError("an argument or input is not valid UTF-8 text")
        self._interrupts.holding = True
        self._interrupts.waiting = waits
        try:
            result = fn(*args, **kwargs)
        except RuntimeError as e:
            raise CliError(self._hide_secrets(str(e))) from None
        finally:
            self._interrupts.holding = self._interrupts.waiting = False
        if self._interrupts.pending and not changes:
            raise KeyboardInterrupt
        return result

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
        """The wallet a name, an ID or a unique ID prefix of at least the short ID's length names."""
        try:
            return self.call(qel.get_wallet, ref, self.vault)
        except CliError as e:
            if not (str(e).startswith("wallet not found: ") and _ID_PREFIX.fullmatch(ref)):
                raise
            found = [w for w in self.call(qel.list_wallets, self.vault) if w["id"].startswith(ref)]
            if len(found) != 1:
                raise
            return found[0]

    def check_name_free(self, name: str) -> None:
        """Fails now, before any passphrase is asked for, if the name is taken."""
        if any(w["name"] == name for w in self.call(qel.list_wallets, self.vault)):
            raise CliError(f"wallet name already exists: '{name}'")

    # Input.

    def passphrase(self, *, new: bool, wallet: WalletDict | None = None) -> str:
        """The passphrase: from --passphrase-file, else $QEL_PASSPHRASE, else the terminal.

        `new` is for one that seals a new secret: at the terminal it is asked twice.
        """
        if self._passphrase_file is not None:
            text = _read_passphrase_file(self._passphrase_file)
        elif (env := os.environ.get(PASSPHRASE_ENV)) is not None:
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
        if (env := os.environ.get(NEW_PASSPHRASE_ENV)) is not None:
            return env
        if self._no_input or not terminal.available():
            raise CliError(f"no new passphrase: use --new-passphrase-file FILE or set {NEW_PASSPHRASE_ENV}")
        return _ask_new_passphrase()

    def keystore_password(self, path: str | None) -> str:
        """The password of a keystore being read: from `path` (--keystore-password-file), else the
        terminal."""
        if path is not None:
            return _read_passphrase_file(path)
        if self._no_input or not terminal.available():
            raise CliError("no keystore password: use --keystore-password-file FILE")
        return terminal.ask_hidden("Keystore password: ")

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

    def stdin_bytes(self) -> bytes:
        return sys.stdin.buffer.read() if sys.stdin is not None else b""

    def stdin_text(self) -> str:
        try:
            return self.stdin_bytes().decode("utf-8")
        except UnicodeDecodeError:
            raise CliError("standard input is not UTF-8 text") from None

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
        print(json.dumps(data, indent=2) if self.json else human, flush=True)

    def status(self, text: str) -> None:
        terminal.status(text)

    @staticmethod
    def usage(message: str) -> NoReturn:
        raise UsageError(message)


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _ask_new_passphrase() -> str:
    text = terminal.ask_hidden("New passphrase: ")
    if terminal.ask_hidden("Repeat the passphrase: ") != text:
        raise CliError("the passphrases do not match")
    return text


def _read_passphrase_file(path: str) -> str:
    """The file's text less one trailing newline; warns when others may read it."""
    shown = output.printable(path)
    try:
        with open(path, "rb") as f:
            mode = os.fstat(f.fileno()).st_mode
            data = f.read()
    except OSError as e:
        raise CliError(f"cannot read passphrase file '{shown}': {e.strerror or e}") from None
    if stat.S_ISREG(mode) and mode & (stat.S_IRGRP | stat.S_IROTH):
        print(f"warning: passphrase file '{shown}' is readable by group or others; chmod 600 it",
              file=sys.stderr)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"passphrase file '{shown}' is not UTF-8 text") from None
    return text[:-1] if text.endswith("\n") else text
