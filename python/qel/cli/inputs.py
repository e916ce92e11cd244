"""Reading files and standard input, every read bounded: a passphrase file of /dev/zero, or a
document piped from a program that never stops, ends in one error line instead of filling memory."""

from __future__ import annotations

import os
import stat
import sys

from qel.cli import output
from qel.cli.terminal import CliError

KIB = 1024
SECRET_LIMIT = 4 * KIB  # passphrases, phrases, keys
DOCUMENT_LIMIT = 4 * KIB * KIB  # typed data, keystores, messages, transactions


def _size(limit: int) -> str:
    return f"{limit // (KIB * KIB)} MiB" if limit >= KIB * KIB else f"{limit // KIB} KiB"


def describe(path: str, kind: str = "") -> str:
    """How a file is named in messages: `kind` ("passphrase file ", ...) and its quoted path, or
    "standard input" for '-'."""
    return "standard input" if path == "-" else f"{kind}'{output.printable(path)}'"


def read_bytes(path: str, limit: int, kind: str = "", *, warn_readable: bool = False) -> bytes:
    """At most `limit` bytes of the file at `path` ('-' for standard input); more is an error.

    With `warn_readable`, a regular file that group or others may read gets a warning: it holds a
    secret."""
    shown = describe(path, kind)
    try:
        if path == "-":
            data = sys.stdin.buffer.read(limit + 1) if sys.stdin is not None else b""
        else:
            with open(path, "rb") as f:
                mode = os.fstat(f.fileno()).st_mode
                data = f.read(limit + 1)
            if warn_readable and stat.S_ISREG(mode) and mode & (stat.S_IRGRP | stat.S_IROTH):
                print(f"warning: {shown} is readable by group or others; chmod 600 it", file=sys.stderr)
    except OSError as e:
        raise CliError(f"cannot read {shown}: {e.strerror or e}") from None
    if len(data) > limit:
        raise CliError(f"{shown} is larger than {_size(limit)}")
    return data


def read_text(path: str, limit: int, kind: str = "", *, warn_readable: bool = False) -> str:
    data = read_bytes(path, limit, kind, warn_readable=warn_readable)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"{describe(path, kind)} is not UTF-8 text") from None


def drop_line_end(text: str) -> str:
    """`text` less one trailing "\\n" or "\\r\\n", as an editor leaves it."""
    return text[:-2] if text.endswith("\r\n") else text[:-1] if text.endswith("\n") else text
