"""Fixtures shared by the Python tests."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest

import qel
from _support import ABANDON, PASS, VECTOR


@pytest.fixture(autouse=True)
def _isolated_home(tmp_path_factory: pytest.TempPathFactory, monkeypatch: pytest.MonkeyPatch) -> Path:
    """No test may read or write the real ~/.qel: HOME points at a fresh directory."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    return home


@pytest.fixture
def vault(tmp_path: Path) -> Path:
    """A vault location that does not exist yet."""
    return tmp_path / "vault"


@pytest.fixture(scope="session")
def shared(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Wallets sealed once under PASS, for tests that only read them: 'abandon' (the published
    phrase), 'at1' (the same phrase imported at index 1) and 'vec' (the private key of a published
    EIP-1559 vector), created in that order."""
    root = tmp_path_factory.mktemp("shared")
    vault = str(root / "vault")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("HOME", str(root))
        qel.import_wallet_mnemonic("abandon", ABANDON, passphrase=PASS, vault_path_opt=vault)
        qel.import_wallet_mnemonic("at1", ABANDON, passphrase=PASS, index=1, vault_path_opt=vault)
        qel.import_wallet_private_key("vec", VECTOR["private_key_hex"], passphrase=PASS, vault_path_opt=vault)
    return Path(vault)


@pytest.fixture
def scratch(shared: Path, tmp_path: Path) -> Path:
    """A vault of its own holding the shared wallets, for tests that change it (no new sealing)."""
    return Path(shutil.copytree(shared, tmp_path / "scratch"))
