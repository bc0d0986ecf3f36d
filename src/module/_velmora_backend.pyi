"""Scheduled tasks in the root folder of the Windows Task Scheduler.

A failed scheduler step raises velmora.errors.TaskPermissionError (access
denied) or velmora.errors.TaskSchedulerError, called with the message text,
the HRESULT as a non-negative int and the name of the step that failed.
Wrong arguments raise TypeError before any scheduler work.
"""

__all__ = ["register_xml", "delete_task", "run_task", "task_exists"]

def register_xml(task_name: str, xml_data: str) -> None:
    """Creates the task from its task-definition XML, or updates the task of that name."""

def delete_task(task_name: str) -> None:
    """Deletes the task."""

def run_task(task_name: str) -> None:
    """Starts the task now and returns without waiting for it to finish."""

def task_exists(task_name: str) -> bool:
    """Whether a task of that name is registered."""
