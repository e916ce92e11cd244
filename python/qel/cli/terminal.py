"""Talking to the person at the terminal: prompts with and without echo, and Ctrl-C.

Prompts go to the controlling terminal (/dev/tty) when there is one, so that standard input and
output stay free for data; failing that, to standard input when it is itself a terminal. Nothing
here ever reads a secret with echo on: when no terminal can be found the caller is told so and
fails instead of asking.
"""

from __future__ import annotations

import getpass
import io
import os
import signal
import sys
from types import FrameType
from typing import TextIO


class CliError(Exception):
    """A failure that ends the command: printed as `qel: error: <message>`, exit status 1."""


def available() -> bool:
    """True when there is a terminal to ask on."""
    try:
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY)
    except OSError:
        return sys.stdin is not None and sys.stdin.isatty()
    os.close(fd)
    return True


def ask_hidden(prompt: str) -> str:
    """One line typed at the terminal with echo off."""
    try:
        return getpass.getpass(prompt)
    except EOFError:
        if sys.stderr.isatty():
            print(file=sys.stderr)  # end the prompt's line before the error
        raise CliError("no input") from None
    except UnicodeDecodeError:
        raise CliError("the input is not UTF-8 text") from None


def ask(prompt: str) -> str:
    """One line typed at the terminal, echoed as usual."""
    try:
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY)
    except OSError:
        return _ask_on(prompt, sys.stdin, sys.stderr)
    with io.TextIOWrapper(io.FileIO(fd, "w+"), encoding="utf-8") as tty:
        return _ask_on(prompt, tty, tty)


def _ask_on(prompt: str, answers: TextIO, prompts: TextIO) -> str:
    prompts.write(prompt)
    prompts.flush()
    try:
        line = answers.readline()
    except UnicodeDecodeError:
        raise CliError("the input is not UTF-8 text") from None
    if not line:
        prompts.write("\n")  # end the prompt's line before the error
        raise CliError("no input")
    return line.rstrip("\n")


def status(text: str) -> None:
    """A progress line for a person watching; scripts reading standard error never see it."""
    if sys.stderr.isatty():
        print(text, file=sys.stderr, flush=True)


class Interrupts:
    """Ctrl-C handling.

    At a prompt or between steps, Ctrl-C stops the command at once (KeyboardInterrupt). Most library
    calls cannot be stopped: they hold the interpreter until they return. Ctrl-C is then noted and
    acted on when the call returns, and a call that changed something (a wallet written or deleted)
    still has its result shown first, so that an interrupted command never hides what it did.

    A call that waits on another process (broadcasting through curl) looks for Ctrl-C while it
    waits: there Ctrl-C ends it at once, the library stopping what it waited on.
    """

    def __init__(self) -> None:
        self.holding = False
        self.waiting = False
        self.pending = False

    def install(self) -> None:
        try:
            signal.signal(signal.SIGINT, self._handle)
        except ValueError:  # not the main thread: keep Python's own handler
            pass

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.holding and not self.waiting:
            self.pending = True
            return
        raise KeyboardInterrupt
