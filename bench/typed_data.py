"""sign_typed_data's reading and hashing of EIP-712 documents, side by side with eth-account's
encode_typed_data of the same documents: the "Mail" example and a document of about 100 KiB (a
mail to 1,000 people), and the hostile documents of the tests (a 0.8 MB chain of types, a struct
and a domain of as many fields as 1 MiB holds), with the peak memory of the process.

Run from the project root (scripts/bench.sh does):
    .venv/bin/python bench/typed_data.py

sign_typed_data is called for a wallet that does not exist in an empty vault: it reads and hashes
the whole document, checks its chainId and then fails to find the wallet, so its figure is the
encoding plus a listing of an empty vault (shown alone as "lookup only"). eth-account is given the
text too (json.loads, then encode_typed_data), as sign_typed_data is. The two are run alternately,
so that a noisy machine slows both alike; figures are medians. Targets: every hostile document
within 0.5 s, the process's peak memory under 100 MiB above what it was before the hostile ones.
"""

from __future__ import annotations

import json
import resource
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
                       "message": {"x": []}})


def wide(fields: int, in_domain: bool) -> str:
    declared = [{"name": f"f{i}", "type": "bool"} for i in range(fields)]
    values = {f"f{i}": True for i in range(fields)}
    if in_domain:
        return json.dumps({"types": {"EIP712Domain": declared, "T": []}, "domain": values, "message": {}})
    return json.dumps({"types": {"EIP712Domain": [], "T": declared}, "domain": {}, "message": values})


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


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="qel-bench-") as vault:
        lookup = sign_until_the_wallet(vault, json.dumps(MAIL))
        print(f"{'document':<28}{'bytes':>10}{'qel ms':>10}{'eth-account ms':>16}{'ratio':>8}")
        for name, doc, rounds in [("Mail", MAIL, 201), ("mail to 1,000 (100 KiB)", mail_to(1000), 21)]:
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
        before = peak_mib()
        print(f"\nhostile documents (peak memory before: {before:.0f} MiB)")
        for name, text in [("chain of 19,000 types", type_chain(19000)), ("struct of 22,000 fields", wide(22000, False)),
                           ("domain of 22,000 keys", wide(22000, True)), ("struct of 100,000 fields", wide(100000, False)),
                           ("1 MiB of blanks", "[" + " " * (1024 * 1024 - 2) + "]")]:
            ms = median_ms(sign_until_the_wallet(vault, text), 5)
            print(f"{name:<28}{len(text):>10}{ms:>10.1f} ms   peak {peak_mib() - before:+.0f} MiB")


if __name__ == "__main__":
    main()
