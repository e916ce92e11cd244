"""The `qel` command: a wallet for the terminal and for scripts, built on the package's public functions."""

from qel.cli.app import main

__all__ = ["main"]
