"""Exceptions raised by `_velmora_backend` when a Task Scheduler step fails.

The native module imports this module at every failure and calls
`TaskPermissionError` (access denied) or `TaskSchedulerError` (any other
failure) with the Windows message text, the HRESULT as a non-negative int and
the name of the step that failed.
"""

__all__ = ["TaskSchedulerError", "TaskPermissionError"]


class TaskSchedulerError(Exception):
    """A Task Scheduler step failed."""

    def __init__(self, message: str, hresult: int, step: str) -> None:
        super().__init__(message, hresult, step)
        self.message = message
        self.hresult = hresult
        self.step = step

    def __str__(self) -> str:
        return f"{self.step} failed: {self.message}"


class TaskPermissionError(TaskSchedulerError):
    """A Task Scheduler step was refused with E_ACCESSDENIED."""
