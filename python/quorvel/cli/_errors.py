"""The one kind of failure the command reports: a line and an exit status."""

from __future__ import annotations


class CommandError(Exception):
    """A failure to report in one line, with the exit status to end with
    (1: data or files that cannot be used, 2: bad usage)."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def usage_error(message: str) -> CommandError:
    """A failure of the command's arguments, reported with exit status 2."""
    return CommandError(message, status=2)
