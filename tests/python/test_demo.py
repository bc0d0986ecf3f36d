"""The example script runs and shows what a user wants to see."""

import pathlib
import subprocess
import sys

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_runs_through_every_step_and_failure():
    result = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    out = result.stdout
    for line in [
        "  task_exists('Velmora demo task') -> True\n",
        "  the simulated scheduler has started it 1 time(s)\n",
        "  task_exists('Velmora demo task') -> False\n",
        "  raised TaskSchedulerError\n    step:    GetTask\n    HRESULT: 0x80070002\n",
        "  raised TaskPermissionError\n    step:    RegisterTask\n    HRESULT: 0x80070005\n",
    ]:
        assert line in out
