"""Shared helpers for the Python tests: vectors, wallets files, a stand-in RPC endpoint."""

from __future__ import annotations

import base64
import hashlib
import json
import subprocess
import sys
import tempfile
from pathlib import Path

from eth_hash.auto import keccak

DATA = Path(__file__).resolve().parents[1] / "data"
ABANDON = "abandon " * 11 + "about"
PASS = "test passphrase"
FAMILIES = ["evm", "solana", "bitcoin", "cosmos", "tron", "ton"]
FAMILY_CHAINS = dict(zip(FAMILIES, ["ethereum", "solana", "bitcoin", "cosmos", "tron", "ton"]))
CHAIN_IDS = ["eip155:1", "solana:5eykt4UsFv8P8NJdTREpY1vzqKqZKvdp", "bip122:000000000019d6689c085ae165831e93",
             "cosmos:cosmoshub-4", "tron:mainnet", "ton:mainnet"]


def load(name: str) -> dict:
    return json.loads((DATA / name).read_text())


# (family, index) -> the published account of the 'abandon ... about' phrase.
KNOWN = {(e["family"], int(e["path"].replace("'", "").split("/")[3 if e["family"] in ("solana", "ton") else 5])): e
         for e in load("known-addresses.json")["addresses"]}
VECTOR = load("eip1559.json")["vectors"][0]


def on_chain(unsigned_hex: str, chain_id: int) -> str:
    """A typed EVM transaction with its chain id replaced (the vectors are for chain 1337)."""
    import rlp
    raw = bytes.fromhex(unsigned_hex)
    fields = rlp.decode(raw[1:])
    fields[0] = chain_id.to_bytes((chain_id.bit_length() + 7) // 8, "big")
    return (raw[:1] + rlp.encode(fields)).hex()


ETH_UNSIGNED = on_chain(VECTOR["unsigned_hex"], 1)


def secp_digest(family: str, message: bytes) -> bytes:
    """The digest a secp256k1 family signs for a message."""
    if family == "bitcoin":
        size = bytes([len(message)]) if len(message) < 253 else b"\xfd" + len(message).to_bytes(2, "little")
        return hashlib.sha256(hashlib.sha256(b"\x18Bitcoin Signed Message:\n" + size + message).digest()).digest()
    if family == "cosmos":
        return hashlib.sha256(message).digest()
    prefix = b"\x19Ethereum Signed Message:\n" if family == "evm" else b"\x19TRON Signed Message:\n"
    return keccak(prefix + str(len(message)).encode() + message)


def wallet_files(vault: Path) -> list[Path]:
    return sorted((vault / "wallets").glob("*.json"))


# The stand-in endpoint runs in its own process: the library holds the
# interpreter lock while it waits for curl, so a server thread in the test's
# own interpreter could never answer.
_SERVER = r"""
import base64, http.server, json, sys
state = sys.argv[1]

class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with open(state + "/requests", "a") as f:
            f.write(base64.b64encode(body).decode() + "\n")
        with open(state + "/paths", "a") as f:
            f.write(self.path + " " + self.headers.get("Content-Type", "") + "\n")
        with open(state + "/reply.json") as f:
            cfg = json.load(f)
        reply = base64.b64decode(cfg["body"])
        self.send_response(cfg["status"])
        self.send_header("Content-Type", "application/json")
        for name, value in cfg.get("headers", {}).items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
"""


class RpcServer:
    """A JSON-RPC stand-in on 127.0.0.1, in a child process, that records request bodies and answers
    as `answer` last said, with a status and body. Its directory, and with it
    the record, goes with the object."""

    def __init__(self) -> None:
        self._dir = tempfile.TemporaryDirectory(prefix="qel-rpc-")
        self._state = Path(self._dir.name)
        self.answer()

    def answer(self, body: bytes = b'{"jsonrpc":"2.0","id":1,"result":"0xhash"}', status: int = 200,
               headers: dict[str, str] | None = None) -> None:
        cfg = {"status": status, "body": base64.b64encode(body).decode(), "headers": headers or {}}
        (self._state / "reply.json").write_text(json.dumps(cfg))

    @property
    def requests(self) -> list[bytes]:
        log = self._state / "requests"
        return [base64.b64decode(line) for line in log.read_text().splitlines()] if log.exists() else []

    @property
    def paths(self) -> list[str]:
        """The path and content type of each request, "PATH TYPE"."""
        log = self._state / "paths"
        return log.read_text().splitlines() if log.exists() else []

    def __enter__(self) -> "RpcServer":
        self._proc = subprocess.Popen([sys.executable, "-c", _SERVER, str(self._state)], stdout=subprocess.PIPE)
        assert self._proc.stdout is not None
        self.url = f"http://127.0.0.1:{int(self._proc.stdout.readline())}"
        return self

    def __exit__(self, *exc: object) -> None:
        self._proc.kill()
        self._proc.wait()
        assert self._proc.stdout is not None
        self._proc.stdout.close()
