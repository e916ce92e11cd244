"""Shared helpers for the Python tests: vectors, a base58 decoder, a stand-in RPC endpoint."""

from __future__ import annotations

import base64
import json
import subprocess
import sys
import tempfile
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


# The stand-in endpoint runs in its own process: the library holds the
# interpreter lock while it waits for curl, so a server thread in the test's
# own interpreter could never answer.
_SERVER = r"""
import base64, http.server, json, socket, sys, time
state, host = sys.argv[1:3]

class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with open(state + "/requests", "a") as f:
            f.write(base64.b64encode(body).decode() + "\n")
        with open(state + "/reply.json") as f:
            cfg = json.load(f)
        if cfg["silent"]:
            time.sleep(3600)
        reply = base64.b64decode(cfg["body"])
        self.send_response(cfg["status"])
        self.send_header("Content-Type", cfg["content_type"])
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass

class Server(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6 if ":" in host else socket.AF_INET

server = Server((host, 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
"""


class RpcServer:
    """A JSON-RPC stand-in on a loopback address, in a child process, that
    records request bodies and answers with whatever status and body the test
    sets, or, when `silent`, never answers."""

    def __init__(self, host: str = "127.0.0.1") -> None:
        self._host = host
        self._dir = tempfile.TemporaryDirectory(prefix="qel-rpc-")
        self._state = Path(self._dir.name)
        self.status = 200
        self.reply: bytes = json.dumps({"jsonrpc": "2.0", "id": 1, "result": "0xhash"}).encode()
        self.content_type = "application/json"
        self.silent = False
        self._proc: subprocess.Popen | None = None
        self._final: list[bytes] | None = None
        self.url = ""

    def __setattr__(self, name: str, value: object) -> None:
        super().__setattr__(name, value)
        keys = ("status", "reply", "content_type", "silent")
        if name in keys and all(hasattr(self, k) for k in keys):
            cfg = {"status": self.status, "body": base64.b64encode(self.reply).decode(),
                   "content_type": self.content_type, "silent": self.silent}
            (self._state / "reply.json").write_text(json.dumps(cfg))

    @property
    def requests(self) -> list[bytes]:
        if self._final is not None:
            return self._final
        log = self._state / "requests"
        if not log.exists():
            return []
        return [base64.b64decode(line) for line in log.read_text().splitlines()]

    def __enter__(self) -> "RpcServer":
        self._proc = subprocess.Popen([sys.executable, "-c", _SERVER, str(self._state), self._host],
                                      stdout=subprocess.PIPE)
        assert self._proc.stdout is not None
        host = f"[{self._host}]" if ":" in self._host else self._host
        self.url = f"http://{host}:{int(self._proc.stdout.readline())}"
        return self

    def __exit__(self, *exc: object) -> None:
        assert self._proc is not None
        self._proc.kill()
        self._proc.wait()
        assert self._proc.stdout is not None
        self._proc.stdout.close()
        self._final = self.requests
        self._dir.cleanup()
