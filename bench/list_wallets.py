"""list_wallets over 10,000 wallet files, against a plain Python loop that
json.loads the same files. Run from the project root: .venv/bin/python bench/list_wallets.py"""

from __future__ import annotations

import json
import shutil
import tempfile
import time
import uuid
from pathlib import Path

import qel

COUNT = 10_000


def best_of(runs: int, fn) -> float:  # noqa: ANN001
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    root = Path(tempfile.mkdtemp(prefix="qel-bench-list-"))
    try:
        qel.create_wallet("template", vault_path_opt=str(root))
        wallets = root / "wallets"
        template = json.loads(next(wallets.glob("*.json")).read_text())
        for i in range(COUNT - 1):
            wid = str(uuid.uuid4())
            template.update(id=wid, name=f"wallet-{i}", created_at=f"2026-01-01T00:00:{i % 60:02d}.{i:06d}+00:00")
            (wallets / f"{wid}.json").write_text(json.dumps(template, indent=2))

        def python_loop() -> list:
            out = []
            for f in wallets.iterdir():
                if f.suffix == ".json":
                    out.append(json.loads(f.read_text()))
            out.sort(key=lambda w: w["created_at"], reverse=True)
            return out

        assert len(qel.list_wallets(str(root))) == COUNT
        native = best_of(5, lambda: qel.list_wallets(str(root)))
        python = best_of(5, python_loop)
        print(f"list_wallets, {COUNT} files: {native * 1000:.1f} ms (best of 5)")
        print(f"Python json.load loop, same files: {python * 1000:.1f} ms (best of 5)")
        print(f"ratio native/python: {native / python:.2f}; under 0.5 s: {native < 0.5}")
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
