import pytest

import _winsim


@pytest.fixture(autouse=True)
def simulated_platform():
    """Every test starts on an empty simulated Task Scheduler and must leave no
    simulated object alive, no misuse recorded and the thread's COM
    initialisation balanced."""
    _winsim.reset()
    yield
    assert _winsim.live_objects() == 0
    assert _winsim.violations() == []
    assert _winsim.init_depth() == 0


@pytest.fixture
def panic_type():
    """The module's PanicException type, reached through a raised instance."""
    from support import trigger_fault

    return type(trigger_fault())
