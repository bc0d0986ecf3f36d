"""Rules for every pytest run of the project: a skipped test fails the run
unless its reason is listed here, with the runs in which it may happen."""

import sys

# Reason of the skip -> whether this run may skip for it.
ALLOWED_SKIPS = {
    # The leak hunt reads the reference total that only a debug interpreter
    # keeps. tools/test runs it under python3.14d, where it must not skip.
    "needs the debug interpreter": not hasattr(sys, "gettotalrefcount"),
}

_unlisted = []


def pytest_runtest_logreport(report):
    if not report.skipped:
        return
    longrepr = report.longrepr
    reason = longrepr[2] if isinstance(longrepr, tuple) else str(longrepr)
    reason = reason.removeprefix("Skipped: ")
    if not ALLOWED_SKIPS.get(reason, False):
        _unlisted.append(f"{report.nodeid}: {reason}")


def pytest_terminal_summary(terminalreporter):
    if _unlisted:
        terminalreporter.section("skips not allowed in this run (tests/conftest.py)", red=True)
        for line in _unlisted:
            terminalreporter.write_line(line)


def pytest_sessionfinish(session):
    if _unlisted and session.exitstatus == 0:
        session.exitstatus = 1
