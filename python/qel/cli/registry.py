"""The table of subcommands. A subcommand is one function, registered with its name, a one-line
summary, an example and its own arguments:

    @command("rename", "Give a wallet a new name.", "qel rename main savings",
             WALLET, arg("new_name", metavar="NEW_NAME", help="the new name"))
    def rename(ctx: Context, a: argparse.Namespace) -> None: ...
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from qel.cli.context import Context

Run = Callable[[Context, argparse.Namespace], None]


@dataclass(frozen=True)
class Arg:
    """One `add_argument` call."""

    flags: tuple[str, ...]
    options: dict[str, Any]

    def add_to(self, parser: argparse.ArgumentParser | argparse._MutuallyExclusiveGroup) -> None:
        parser.add_argument(*self.flags, **self.options)


@dataclass(frozen=True)
class OneOf:
    """Arguments of which exactly one must be given."""

    args: tuple[Arg, ...]

    def add_to(self, parser: argparse.ArgumentParser) -> None:
        group = parser.add_mutually_exclusive_group(required=True)
        for a in self.args:
            a.add_to(group)


@dataclass(frozen=True)
class Command:
    name: str
    summary: str
    example: str
    args: tuple[Arg | OneOf, ...]
    run: Run


COMMANDS: dict[str, Command] = {}


def arg(*flags: str, **options: Any) -> Arg:
    return Arg(flags, options)


def one_of(*args: Arg) -> OneOf:
    return OneOf(args)


def command(name: str, summary: str, example: str, *args: Arg | OneOf) -> Callable[[Run], Run]:
    def register(run: Run) -> Run:
        if name in COMMANDS:
            raise ValueError(f"subcommand {name!r} registered twice")
        COMMANDS[name] = Command(name, summary, example, args, run)
        return run

    return register
