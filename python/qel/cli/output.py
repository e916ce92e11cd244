"""Human-readable renderings: aligned columns, and text made safe to show on a terminal."""

from __future__ import annotations

import json
import re
import unicodedata
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from qel._native import SignatureDict, WalletDict

SHORT_ID = 8
# A cell of a table is cut to this many columns: a name in a wallet file may be of any length.
MAX_CELL = 64
_STORED_TIME = re.compile(r"(\d{4}-\d\d-\d\d)T(\d\d:\d\d:\d\d)(?:\.\d+)?(\+00:00|Z)?")


def printable(text: str) -> str:
    """`text` with control and other non-printing characters written as escapes.

    Names, IDs and error texts can come from wallet files or network replies that someone else
    wrote; shown raw, an escape sequence in them would drive the user's terminal.
    """
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def width(text: str) -> int:
    """The columns a terminal gives `text`: two for a wide (East Asian) character, none for a
    combining one."""
    if text.isascii():
        return len(text)
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def cut(text: str, columns: int = MAX_CELL) -> str:
    """`text` cut to at most `columns` columns, an ellipsis marking the cut."""
    if width(text) <= columns:
        return text
    out, used = "", 0
    for c in text:
        used += width(c)
        if used > columns - 1:
            break
        out += c
    return out + "…"


def table(rows: list[list[str]]) -> str:
    """Rows in columns two spaces apart, each as wide as its widest cell (in terminal columns); the
    last is not padded."""
    rows = [[cut(cell) for cell in row[:-1]] + row[-1:] for row in rows]
    widths = [max(width(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    return "\n".join(
        "  ".join([cell + " " * (w - width(cell)) for cell, w in zip(row, widths)] + [row[-1]]) for row in rows
    )


def when(created_at: str) -> str:
    """A stored creation time as `YYYY-MM-DD HH:MM:SS UTC`; anything unexpected as stored."""
    m = _STORED_TIME.fullmatch(created_at)
    if m is None:
        return printable(created_at)
    return f"{m[1]} {m[2]}" + (" UTC" if m[3] else "")


def wallet(w: WalletDict) -> str:
    header = table([["name", printable(w["name"])], ["id", printable(w["id"])], ["created", when(w["created_at"])]])
    accounts = [["CHAIN", "PATH", "ADDRESS"]] + [
        [printable(a["chain_id"]), printable(a["derivation_path"]) or "-", printable(a["address"])]
        for a in w["accounts"]
    ]
    return header + "\n\n" + table(accounts)


def wallets(ws: list[WalletDict]) -> str:
    if not ws:
        return "no wallets"
    rows = [["NAME", "ID", "CREATED", "ACCOUNTS"]] + [
        [printable(w["name"]), printable(w["id"][:SHORT_ID]), when(w["created_at"]), str(len(w["accounts"]))]
        for w in ws
    ]
    return table(rows)


def signature(sig: SignatureDict, what: str = "recovery id") -> str:
    """A signature and its recovery id (`what` names it: "v" where it is 27 or 28)."""
    rid = "none" if sig["recovery_id"] is None else str(sig["recovery_id"])
    return table([["signature", sig["signature"]], [what, rid]])


def secret(text: str) -> str:
    """An exported secret: a phrase as it is, a private-key wallet's key pair one key a line."""
    if text.startswith("{"):
        try:
            pair = json.loads(text)
        except ValueError:
            return printable(text)
        if isinstance(pair, dict) and pair and all(isinstance(v, str) for v in pair.values()):
            return table([[printable(str(k)), printable(v)] for k, v in sorted(pair.items(), reverse=True)])
    return printable(text)


def label(w: WalletDict) -> str:
    """How a wallet is named in messages and prompts: its name and short ID."""
    return f"'{printable(w['name'])}' ({printable(w['id'][:SHORT_ID])})"
