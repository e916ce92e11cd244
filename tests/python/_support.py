"""Shared helpers for the Python tests: vectors, wallets files, a stand-in RPC endpoint."""

from __future__ import annotations

import base64
import hashlib
import json
import subprocess
import sys
import tempfile
from pathlib import Path

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


def wallet_files(vault: Path) -> list[Path]:
    return sorted((vault / "wallets").glob("*.json"))


_B58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def b58decode(text: str) -> bytes:
    n = 0
    for ch in text:
        n = n * 58 + _B58.index(ch)
    body = n.to_bytes((n.bit_length() + 7) // 8, "big") if n else b""
    return b"\0" * (len(text) - len(text.lstrip("1"))) + body


def b58encode(data: bytes) -> str:
    n = int.from_bytes(data, "big")
    out = ""
    while n:
        n, digit = divmod(n, 58)
        out = _B58[digit] + out
    return "1" * (len(data) - len(data.lstrip(b"\0"))) + out


def b58check_encode(payload: bytes) -> str:
    return b58encode(payload + hashlib.sha256(hashlib.sha256(payload).digest()).digest()[:4])


_BECH32 = "qpzry9x8gf2tvdw0s3jn54khce6mua7l"


def _bech32_polymod(values: list[int]) -> int:
    chk = 1
    for v in values:
        top = chk >> 25
        chk = (chk & 0x1FFFFFF) << 5 ^ v
        for i, g in enumerate((0x3B6A57B2, 0x26508E6D, 0x1EA119FA, 0x3D4233DD, 0x2A1462B3)):
            chk ^= g if (top >> i) & 1 else 0
    return chk


def _hrp_expand(hrp: str) -> list[int]:
    return [ord(c) >> 5 for c in hrp] + [0] + [ord(c) & 31 for c in hrp]


def bech32_encode(hrp: str, data5: list[int]) -> str:
    poly = _bech32_polymod(_hrp_expand(hrp) + data5 + [0] * 6) ^ 1
    return hrp + "1" + "".join(_BECH32[d] for d in data5 + [(poly >> 5 * (5 - i)) & 31 for i in range(6)])


def bech32_decode(text: str) -> tuple[str, list[int]]:
    hrp, _, rest = text.lower().rpartition("1")
    data5 = [_BECH32.index(c) for c in rest]
    assert _bech32_polymod(_hrp_expand(hrp) + data5) == 1, text
    return hrp, data5[:-6]


def convert_bits(data: list[int] | bytes, frm: int, to: int, pad: bool) -> list[int]:
    acc, bits, out = 0, 0, []
    for v in data:
        acc, bits = acc << frm | v, bits + frm
        while bits >= to:
            bits -= to
            out.append(acc >> bits & (1 << to) - 1)
    if pad and bits:
        out.append(acc << (to - bits) & (1 << to) - 1)
    return out


def crc16_xmodem(data: bytes) -> int:
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = (crc << 1 ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def ton_address(flags: int, workchain: int, account_id: bytes) -> str:
    raw = bytes([flags, workchain & 0xFF]) + account_id
    return base64.urlsafe_b64encode(raw + crc16_xmodem(raw).to_bytes(2, "big")).decode().rstrip("=")


# The stand-in endpoint runs in its own process: the library holds the
# interpreter lock while it waits for curl, so a server thread in the test's
# own interpreter could never answer.
_SERVER = r"""
import base64, http.server, json, sys, time
state = sys.argv[1]

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
        self.send_header("Content-Type", "application/json")
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
    as `answer` last said: with a status and body, or, when `silent`, never."""

    def __init__(self) -> None:
        self._dir = tempfile.TemporaryDirectory(prefix="qel-rpc-")
        self._state = Path(self._dir.name)
        self._final: list[bytes] | None = None
        self.answer()

    def answer(self, body: bytes = b'{"jsonrpc":"2.0","id":1,"result":"0xhash"}', status: int = 200,
               silent: bool = False) -> None:
        cfg = {"status": status, "body": base64.b64encode(body).decode(), "silent": silent}
        (self._state / "reply.json").write_text(json.dumps(cfg))

    @property
    def requests(self) -> list[bytes]:
        if self._final is not None:
            return self._final
        log = self._state / "requests"
        return [base64.b64decode(line) for line in log.read_text().splitlines()] if log.exists() else []

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
        self._final = self.requests
        self._dir.cleanup()
