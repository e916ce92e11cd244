"""Mnemonic generation and address derivation through the public module."""

from __future__ import annotations

import pytest

import qel
from _support import ABANDON, DATA, FAMILY_CHAINS, known_accounts

KNOWN = known_accounts()
WORDS = set((DATA.parents[1] / "data" / "bip39-english.txt").read_text().split())


@pytest.mark.parametrize("words", [12, 24])
def test_generate_mnemonic(words: int) -> None:
    phrases = {qel.generate_mnemonic(words) for _ in range(3)}
    assert len(phrases) == 3
    for phrase in phrases:
        assert len(phrase.split(" ")) == words and set(phrase.split(" ")) <= WORDS
        qel.derive_address(phrase, "ethereum")  # parses
    assert len(qel.generate_mnemonic().split(" ")) == 12


@pytest.mark.parametrize("words", [0, 11, 15, 18, 21, 25])
def test_generate_mnemonic_counts(words: int) -> None:
    with pytest.raises(RuntimeError) as e:
        qel.generate_mnemonic(words)
    assert str(e.value) == "invalid input: words must be 12 or 24"


@pytest.mark.parametrize(("family", "index"), sorted(KNOWN))
def test_known_addresses(family: str, index: int) -> None:
    assert qel.derive_address(ABANDON, FAMILY_CHAINS[family], index) == KNOWN[(family, index)]["address"]


def test_every_evm_chain_name_gives_one_address() -> None:
    names = ["ethereum", "EVM", "evm", "Polygon", "eip155:56", "arbitrum", "optimism", "base", "bsc", "avalanche",
             "eip155:43114"]
    assert {qel.derive_address(ABANDON, name) for name in names} == {KNOWN[("evm", 0)]["address"]}
    assert qel.derive_address(ABANDON, "ethereum") == qel.derive_address(ABANDON, "ethereum", index=0)


def test_largest_index_in_every_family() -> None:
    for chain in FAMILY_CHAINS.values():
        address = qel.derive_address(ABANDON, chain, 4294967295)
        assert address and address != qel.derive_address(ABANDON, chain, 0)


@pytest.mark.parametrize(
    ("phrase", "chain", "message"),
    [
        ("not a phrase", "ethereum ",
         "invalid input: unknown chain: 'ethereum '. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)"),
        (ABANDON, "",
         "invalid input: unknown chain: ''. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)"),
        (ABANDON, "EIP155:1",
         "invalid input: unknown chain: 'EIP155:1'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)"),
        (ABANDON, "eip155:100",
         "invalid input: unknown chain: 'eip155:100'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)"),
        ("abandon  abandon", "solana", "invalid mnemonic phrase: the word `` is invalid"),
        (" ".join(["abandon"] * 11), "ton", "invalid mnemonic phrase: the phrase `" + " ".join(["abandon"] * 11) + "` is invalid"),
    ],
)
def test_derive_address_failures(phrase: str, chain: str, message: str) -> None:
    with pytest.raises(RuntimeError) as e:
        qel.derive_address(phrase, chain)
    assert str(e.value) == message
