"""Fixtures of the module's tests: virtual sensors over a pty and in process."""
import os
import subprocess

import pytest

import mk27x


@pytest.fixture(params=[True, False], ids=["pty", "in_process"])
def sensor(request, tmp_path):
    """A connected virtual sensor, traced to tmp_path/trace.txt."""
    s = mk27x.Sensor.simulator(pty=request.param, trace=str(tmp_path / "trace.txt"))
    yield s
    s.close()


@pytest.fixture
def pty_sensor(tmp_path):
    s = mk27x.Sensor.simulator(trace=str(tmp_path / "trace.txt"))
    yield s
    s.close()


def trace_lines(tmp_path, operation):
    """The trace's TX lines of one operation (read after close)."""
    text = (tmp_path / "trace.txt").read_text()
    return [line for line in text.splitlines() if f" TX {operation}" in line]


@pytest.fixture
def sim_process():
    """mk27x-sim serving a virtual sensor on a pty: yields its device path."""
    proc = subprocess.Popen([os.environ.get("MK27X_SIM", "mk27x-sim")], stdout=subprocess.PIPE,
                            text=True)
    path = proc.stdout.readline().strip()
    yield path
    proc.terminate()
    proc.wait(timeout=10)
