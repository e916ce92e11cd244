"""list_wallets over 1,000, 10,000 and 50,000 wallet files, side by side with
(a) only reading the same files into memory (the C++ helper read_files, one
reused buffer) and (b) a plain Python loop that json.loads them.

Run from the project root after a bench build (scripts/bench.sh does both):
    .venv/bin/python bench/list_wallets.py build/bench/bench/read_files

Each round runs the three sizes in turn, and the three ways of reading each
size in turn, so that a noisy machine slows them all alike. It also puts every
size in the same state: each listing follows other work, as it does in use,
not a repeat of itself that left a small vault's data in the processor's
caches (which would flatter the 1,000-file figure alone). The figures are
medians of the rounds. The processor time of (a) and of
list_wallets is shown too: on a machine shared with other work it tells
what the code costs when the clock also counts waiting for a core. Targets: at 10,000 files list_wallets
within 2x of (a) and at least 2x faster than (b); the time per wallet at
50,000 files no more than 1.2x that at 1,000.
"""

from __future__ import annotations

import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

import qel

SIZES = (1_000, 10_000, 50_000)
ROUNDS = 9


def fill_vault(root: Path, count: int, template: dict) -> Path:
    wallets = root / "wallets"
    wallets.mkdir(parents=True)
    for i in range(count):
        wid = str(uuid.uuid4())
        template.update(id=wid, name=f"wallet-{i}", created_at=f"2026-01-01T00:{i // 60 % 60:02d}:{i % 60:02d}.{i:06d}+00:00")
        (wallets / f"{wid}.json").write_text(json.dumps(template, indent=2, ensure_ascii=False))
    return wallets


def python_loop(wallets: Path) -> list:
    out = []
    for f in wallets.iterdir():
        if f.suffix == ".json":
            out.append(json.loads(f.read_text()))
    out.sort(key=lambda w: w["created_at"], reverse=True)
    return out


def timed(fn) -> tuple[float, float]:  # noqa: ANN001
    """The call's time and processor time; its result is released after the clocks stop, as a caller keeps it."""
    start, cpu_start = time.perf_counter(), time.process_time()
    result = fn()
    took, cpu = (time.perf_counter() - start) * 1000, (time.process_time() - cpu_start) * 1000
    del result
    return took, cpu


def bare_read(helper: str, wallets: Path) -> tuple[float, float]:
    out = subprocess.run([helper, str(wallets)], check=True, capture_output=True, text=True).stdout
    took, cpu = out.split()[:2]
    return float(took), float(cpu)


def peak_rss_mib(root: Path) -> tuple[float, float]:
    """Peak RSS (VmHWM) of a fresh interpreter after importing qel, and after one listing."""
    code = (
        "import sys, qel\n"
        "def hwm():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'):\n"
        "            return int(line.split()[1])\n"
        "before = hwm()\n"
        "n = len(qel.list_wallets(sys.argv[1]))\n"
        "print(before, hwm(), n)\n"
    )
    before, after, _ = subprocess.run([sys.executable, "-c", code, str(root)], check=True, capture_output=True,
                                      text=True).stdout.split()
    return int(before) / 1024, int(after) / 1024


def main() -> None:
    helper = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bench/read_files"
    base = Path(tempfile.mkdtemp(prefix="qel-bench-list-"))
    try:
        seed = base / "seed"
        qel.create_wallet("template", vault_path_opt=str(seed))
        template = json.loads(next((seed / "wallets").glob("*.json")).read_text())
        roots = {count: base / str(count) for count in SIZES}
        for count, root in roots.items():
            fill_vault(root, count, template)
            assert len(qel.list_wallets(str(root))) == count
        runs: dict[int, tuple[list, list, list]] = {count: ([], [], []) for count in SIZES}
        for _ in range(ROUNDS):
            for count, root in roots.items():
                read, native, loop = runs[count]
                read.append(bare_read(helper, root / "wallets"))
                native.append(timed(lambda: qel.list_wallets(str(root))))  # noqa: B023
                loop.append(timed(lambda: python_loop(root / "wallets"))[0])  # noqa: B023
        median = lambda pairs, i: statistics.median(p[i] for p in pairs)  # noqa: E731
        results = {count: (median(read, 0), median(native, 0), statistics.median(loop))
                   for count, (read, native, loop) in runs.items()}
        cpu = {count: (median(read, 1), median(native, 1)) for count, (read, native, _) in runs.items()}
        rss = peak_rss_mib(base / str(SIZES[-1]))
    finally:
        shutil.rmtree(base)

    print(f"{'files':>7} {'(a) read':>10} {'list_wallets':>13} {'(b) json.load':>14} {'list/(a)':>9} "
          f"{'(b)/list':>9} {'us/wallet':>10} | processor time: {'(a)':>8} {'list':>9} {'list/(a)':>9} "
          f"{'us/wallet':>10}")
    for count, (read, native, loop) in results.items():
        read_cpu, native_cpu = cpu[count]
        print(f"{count:>7} {read:>8.1f}ms {native:>11.1f}ms {loop:>12.1f}ms {native / read:>9.2f} "
              f"{loop / native:>9.2f} {native * 1000 / count:>10.2f} | {'':>15} {read_cpu:>6.1f}ms "
              f"{native_cpu:>7.1f}ms {native_cpu / read_cpu:>9.2f} {native_cpu * 1000 / count:>10.2f}")
    read, native, loop = results[10_000]
    per_small = results[SIZES[0]][1] / SIZES[0]
    per_large = results[SIZES[-1]][1] / SIZES[-1]
    verdict = lambda ok: "ok" if ok else "MISSED"  # noqa: E731
    print(f"10,000 files: list_wallets / (a) = {native / read:.2f} (target <= 2): {verdict(native <= 2 * read)}")
    print(f"10,000 files: (b) / list_wallets = {loop / native:.2f} (target >= 2): {verdict(loop >= 2 * native)}")
    print(f"per wallet, 50,000 vs 1,000 files: {per_large / per_small:.2f}x (target <= 1.2): "
          f"{verdict(per_large <= 1.2 * per_small)}; (a) per file: "
          f"{results[SIZES[-1]][0] / SIZES[-1] / (results[SIZES[0]][0] / SIZES[0]):.2f}x")
    read_cpu, native_cpu = cpu[10_000]
    per_cpu = (cpu[SIZES[-1]][1] / SIZES[-1]) / (cpu[SIZES[0]][1] / SIZES[0])
    print(f"processor time: 10,000 files list_wallets / (a) = {native_cpu / read_cpu:.2f}; "
          f"per wallet, 50,000 vs 1,000 files: {per_cpu:.2f}x")
    print(f"peak RSS, 50,000-file listing: {rss[1]:.1f} MiB (interpreter with qel imported: {rss[0]:.1f} MiB)")


if __name__ == "__main__":
    main()
