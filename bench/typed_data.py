"""sign_typed_data's reading and hashing of EIP-712 documents, side by side with eth-account's
encode_typed_data of the same documents: the "Mail" example and a document of about 100 KiB (a
mail to 1,170 people), and the hostile documents of the tests (a 0.8 MB chain of types, a struct
and a domain of as many fields as 1 MiB holds), with the peak memory of the process.

Run from the project root (scripts/bench.sh does):
    .venv/bin/python bench/typed_data.py

sign_typed_data is called for a wallet that does not exist in an empty vault: it reads and hashes
the whole document, checks its chainId and then fails to find the wallet, so its figure is the
encoding plus a listing of an empty vault (shown alone as "lookup only"). eth-account is given the
text too (json.loads, then encode_typed_data), as sign_typed_data is. The two are run alternately,
so that a noisy machine slows both alike; figures are medians. Targets: every hostile document
within 0.5 s, and resident memory rising less than 100 MiB during one call.
"""

from __future__ import annotations

import json
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

from eth_account.messages import encode_typed_data

import qel

ROOT = Path(__file__).resolve().parents[1]
MAIL = json.loads((ROOT / "tests" / "data" / "eip712.json").read_text())["vectors"][0]["typed_data"]


def mail_to(count: int) -> dict:
    doc = json.loads(json.dumps(MAIL))
    doc["types"]["Mail"][1] = {"name": "to", "type": "Person[]"}
    doc["message"]["to"] = [{"name": f"Person number {i}", "wallet": "0x" + f"{i:040x}"} for i in range(count)]
    return doc


def type_chain(types: int) -> str:
    declared = {f"T{i}": [{"name": "x", "type": f"T{i + 1}[]" if i + 1 < types else "bool"}] for i in range(types)}
    return json.dumps({"types": {**declared, "EIP712Domain": []}, "primaryType": "T0", "domain": {},
                       "message": {"x": []}}, separators=(",", ":"))


def wide(fields: int, in_domain: bool) -> str:
    declared = [{"name": f"f{i}", "type": "bool"} for i in range(fields)]
    values = {f"f{i}": True for i in range(fields)}
    doc = {"types": {"EIP712Domain": declared, "T": []}, "domain": values, "message": {}} if in_domain else \
        {"types": {"EIP712Domain": [], "T": declared}, "domain": {}, "message": values}
    return json.dumps(doc, separators=(",", ":"))


def sign_until_the_wallet(vault: str, text: str) -> Callable[[], object]:
    def run() -> object:
        try:
            return qel.sign_typed_data("absent", "ethereum", text, vault_path_opt=vault)
        except RuntimeError as e:
            assert str(e).startswith(("wallet not found", "invalid input: typed data")), e
            return e
    return run


def median_ms(fn: Callable[[], object], rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def status_mib(field: str) -> float:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024
    raise KeyError(field)


def peak_above_now_mib(fn: Callable[[], object]) -> float:
    """How far the process's resident memory rose above its level before the call, at the most."""
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak (VmHWM) to the present
    now = status_mib("VmRSS")
    fn()
    return status_mib("VmHWM") - now


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="qel-bench-") as vault:
        lookup = sign_until_the_wallet(vault, json.dumps(MAIL))
        print(f"{'document':<28}{'bytes':>10}{'qel ms':>10}{'eth-account ms':>16}{'ratio':>8}")
        for name, doc, rounds in [("Mail", MAIL, 201), ("mail to 1,170 (100 KiB)", mail_to(1170), 21)]:
            text = json.dumps(doc)
            ours = sign_until_the_wallet(vault, text)
            theirs = lambda text=text: encode_typed_data(full_message=json.loads(text))  # noqa: E731
            a, b = [], []
            for _ in range(rounds):  # alternately
                a.append(median_ms(ours, 1))
                b.append(median_ms(theirs, 1))
            qel_ms, eth_ms = statistics.median(a), statistics.median(b)
            print(f"{name:<28}{len(text):>10}{qel_ms:>10.3f}{eth_ms:>16.3f}{eth_ms / qel_ms:>7.1f}x")
        print(f"{'lookup only (empty vault)':<28}{'':>10}{median_ms(lookup, 201):>10.3f}")
        print("\nhostile documents (time, and the peak rise of resident memory during one call)")
        for name, text in [("chain of 19,000 types", type_chain(19000)), ("struct of 22,000 fields", wide(22000, False)),
                           ("domain of 22,000 keys", wide(22000, True)), ("struct of 100,000 fields", wide(100000, False)),
                           ("1 MiB of blanks", "[" + " " * (1024 * 1024 - 2) + "]")]:
            call = sign_until_the_wallet(vault, text)
            peak = peak_above_now_mib(call)  # first: later calls reuse what the allocator kept
            ms = median_ms(call, 5)
            print(f"{name:<28}{len(text):>10}{ms:>10.1f}   peak +{peak:.1f} MiB   {call()}")


if __name__ == "__main__":
    main()
