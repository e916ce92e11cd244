"""Shared helpers for the Python tests: vectors, a base58 decoder, a stand-in RPC endpoint."""

from __future__ import annotations

import http.server
import json
import threading
from pathlib import Path

DATA = Path(__file__).resolve().parents[1] / "data"

ABANDON = "abandon " * 11 + "about"
FAMILY_CHAINS = {
    "evm": "ethereum",
    "solana": "solana",
    "bitcoin": "bitcoin",
    "cosmos": "cosmos",
    "tron": "tron",
    "ton": "ton",
}
UNIVERSAL_CHAIN_IDS = [
    "eip155:1",
    "solana:5eykt4UsFv8P8NJdTREpY1vzqKqZKvdp",
    "bip122:000000000019d6689c085ae165831e93",
    "cosmos:cosmoshub-4",
    "tron:mainnet",
    "ton:mainnet",
]


def load(name: str) -> dict:
    return json.loads((DATA / name).read_text())


def known_accounts() -> dict[tuple[str, int], dict]:
    """(family, index) -> the published account of the 'abandon ... about' phrase."""
    out = {}
    for entry in load("known-addresses.json")["addresses"]:
        index = int(entry["path"].rstrip("'").split("/")[3 if entry["family"] in ("solana", "ton") else -1].rstrip("'"))
        out[(entry["family"], index)] = entry
    return out


_B58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def b58decode(text: str) -> bytes:
    n = 0
    for ch in text:
        n = n * 58 + _B58.index(ch)
    body = n.to_bytes((n.bit_length() + 7) // 8, "big") if n else b""
    return b"\0" * (len(text) - len(text.lstrip("1"))) + body


class RpcServer:
    """A JSON-RPC stand-in on 127.0.0.1 that records request bodies and answers
    with whatever status and body the test sets."""

    def __init__(self) -> None:
        self.requests: list[bytes] = []
        self.status = 200
        self.reply: bytes = json.dumps({"jsonrpc": "2.0", "id": 1, "result": "0xhash"}).encode()
        self.content_type = "application/json"
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self) -> None:  # noqa: N802
                outer.requests.append(self.rfile.read(int(self.headers.get("Content-Length", "0"))))
                self.send_response(outer.status)
                self.send_header("Content-Type", outer.content_type)
                self.send_header("Content-Length", str(len(outer.reply)))
                self.end_headers()
                self.wfile.write(outer.reply)

            def log_message(self, *args: object) -> None:
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self._server.server_address[1]}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def __enter__(self) -> "RpcServer":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._server.shutdown()
        self._server.server_close()
