"""The command line: options, the parser built from the table of subcommands, and exit statuses.

Exit status: 0 on success, 1 when the command fails (`qel: error: ...` on standard error), 2 for
a usage error, 130 when interrupted with Ctrl-C.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from typing import NoReturn

from qel.cli import commands as _commands  # noqa: F401  (registers the subcommands)
from qel.cli import checks, output, terminal
from qel.cli.context import NEW_PASSPHRASE_ENV, PASSPHRASE_ENV, Context, OutputError, UsageError
from qel.cli.registry import COMMANDS
from qel.cli.terminal import CliError

EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130

DESCRIPTION = """\
A wallet whose keys stay on this machine: one recovery phrase (or private key) per wallet, one
account on each chain family, each secret sealed under your passphrase.

The passphrase is read from --passphrase-file FILE, else from the environment variable
{env}, else asked for at the terminal; never from an option's value. Phrases and keys
are read the same way: from a prompt that does not echo, or from standard input."""


class _Version(argparse.Action):
    """--version. Looks the version up only when asked: importlib.metadata takes longer to import
    than everything else a command needs."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        from importlib import metadata

        try:
            version = metadata.version("qel")
        except metadata.PackageNotFoundError:
            version = "unknown"
        print(f"qel {version}")
        parser.exit()


def _add_common_options(parser: argparse.ArgumentParser, *, top: bool) -> None:
    # Accepted before and after the subcommand: the subcommand's copies default to "not given",
    # so they do not overwrite a value given before it.
    def default(value: object) -> object:
        return value if top else argparse.SUPPRESS

    group = parser.add_argument_group("common options")
    group.add_argument("--vault", metavar="DIR", default=default(None),
                       help="the vault directory (default ~/.qel); wallets live in DIR/wallets")
    group.add_argument("--json", action="store_true", default=default(False),
                       help="print one JSON document, with the library's keys, on standard output")
    group.add_argument("--passphrase-file", metavar="FILE", default=default(None),
                       help="read the passphrase from FILE (one trailing newline is dropped)")
    group.add_argument("--no-input", action="store_true", default=default(False),
                       help="never prompt: fail when something would have to be asked")


class _Parser(argparse.ArgumentParser):
    """argparse's parser, with a suggestion for a mistyped command."""

    def error(self, message: str) -> NoReturn:
        if m := _INVALID_COMMAND.match(message):
            message = f"unknown command '{output.cut(m[1])}'{checks.did_you_mean(m[1], list(COMMANDS))}"
        super().error(message)


_INVALID_COMMAND = re.compile(r"argument COMMAND: invalid choice: '(.*?)' \(choose from")


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    parser = _Parser(
        prog="qel", description=DESCRIPTION.format(env=PASSPHRASE_ENV),
        epilog="Run 'qel COMMAND --help' for a command's options and an example.",
        formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False)
    parser.add_argument("--version", action=_Version)
    _add_common_options(parser, top=True)
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    by_name: dict[str, argparse.ArgumentParser] = {}
    for c in COMMANDS.values():
        sub = subparsers.add_parser(
            c.name, help=c.summary, description=c.summary, epilog=f"example:\n  {c.example}",
            formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False)
        for a in c.args:
            a.add_to(sub)
        _add_common_options(sub, top=False)
        by_name[c.name] = sub
    return parser, by_name


def main(argv: list[str] | None = None) -> int:
    # Read once and taken out of the environment, so that no program the command runs inherits them.
    environment = {name: os.environ.pop(name, None) for name in (PASSPHRASE_ENV, NEW_PASSPHRASE_ENV)}
    interrupts = terminal.Interrupts()
    interrupts.install()
    parser, subparsers = build_parser()
    argv = sys.argv[1:] if argv is None else argv
    args, extra = parser.parse_known_args(argv)
    if extra:
        parser.error(_unrecognized(extra))
    if args.command is None:  # bare `qel`
        parser.print_help()
        return 0
    ctx = Context(args, interrupts, environment)
    try:
        checks.utf8(argv)
        COMMANDS[args.command].run(ctx, args)
    except OutputError as e:
        # Nothing more can reach standard output; keep the interpreter's final flush from failing again.
        _silence_stdout()
        created = (f"; wallet {output.label(ctx.created)} was created: `qel export {ctx.created['id'][:8]}` shows its "
                   "phrase" if ctx.created else "")
        print(f"qel: error: {e}{created}", file=sys.stderr)
        return EXIT_FAILURE
    except UsageError as e:
        subparsers[args.command].error(str(e))
    except CliError as e:
        if interrupts.pending:
            return _interrupted()
        print(f"qel: error: {output.printable(str(e).rstrip())}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt as e:
        return _interrupted(str(e))
    return _interrupted() if interrupts.pending else 0


def _silence_stdout() -> None:
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
    except OSError:
        pass


def _unrecognized(extra: list[str]) -> str:
    """argparse's message, but repeating only what looks like an option: a stray word may be a
    passphrase or phrase typed where an option was expected."""
    options = " ".join(x for x in extra if x.startswith("-"))
    words = sum(not x.startswith("-") for x in extra)
    if not words:
        return f"unrecognized arguments: {options}"
    counted = f"{words} {'other ' if options else ''}word{'s' if words > 1 else ''} (not repeated)"
    return f"unrecognized arguments: {options + ' and ' if options else ''}{counted}"


def _interrupted(note: str = "") -> int:
    """Exit status 130; `note` says what the interruption leaves undecided."""
    if sys.stderr.isatty():
        print(file=sys.stderr)  # end the line the prompt or status was on
    if note:
        print(f"qel: interrupted: {note}", file=sys.stderr)
    return EXIT_INTERRUPTED
