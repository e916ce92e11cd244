"""Fixtures shared by the Python tests."""

from __future__ import annotations

from pathlib import Path

import pytest


@pytest.fixture(autouse=True)
def _isolated_home(tmp_path_factory: pytest.TempPathFactory, monkeypatch: pytest.MonkeyPatch) -> Path:
    """No test may read or write the real ~/.qel: HOME points at a fresh directory."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    return home


@pytest.fixture
def vault_dir(tmp_path: Path) -> Path:
    """A vault location that does not exist yet."""
    return tmp_path / "vault"


@pytest.fixture
def unusable_home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """HOME is a regular file, so any use of the default vault fails the same way every time."""
    home = tmp_path / "home-file"
    home.write_text("")
    monkeypatch.setenv("HOME", str(home))
    return home
