"""Ctrl-C and threads while the module waits for the sensor; a sensor left
streaming by a program that was killed."""
import os
import subprocess
import signal
import sys
import threading
import time

import pytest

import mk27x
from conftest import trace_lines


def interrupt_after(seconds):
    timer = threading.Timer(seconds, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    return timer


@pytest.mark.parametrize("call", ["stream", "stream_chunks", "measure"])
def test_ctrl_c_stops_cleanly_then_raises(tmp_path, pty_sensor, call):
    start = time.monotonic()
    interrupt_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        if call == "stream":
            pty_sensor.stream(seconds=30)
        elif call == "stream_chunks":
            for _ in pty_sensor.stream_chunks():
                pass
        else:
            pty_sensor.measure(count=600)
    assert time.monotonic() - start < 10
    # The session is in order: the next exchange is answered.
    assert pty_sensor.measure().tolist() == [25.0]
    pty_sensor.close()
    stops = trace_lines(tmp_path, "StopStream")
    assert len(stops) == (0 if call == "measure" else 1)


def test_other_threads_run_during_a_long_stream(pty_sensor):
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.01)

    thread = threading.Thread(target=count)
    thread.start()
    t, _ = pty_sensor.stream(seconds=1.0)
    done.set()
    thread.join()
    assert ticks > 20 and len(t) > 0


def test_close_from_another_thread_ends_a_stream(pty_sensor):
    threading.Timer(0.3, pty_sensor.close).start()
    with pytest.raises(mk27x.PortError, match="closed"):
        pty_sensor.stream(seconds=30)
    assert pty_sensor.closed


@pytest.mark.parametrize("faults", [[], ["--stream-byte-bits", "128"],
                                    ["--stream-garbage-every", "2"]],
                         ids=["bit7_clear", "bit7_set", "mixed_tags"])
def test_sensor_left_streaming_by_a_killed_program_connects_first_time(faults):
    sim = subprocess.Popen([os.environ.get("MK27X_SIM", "mk27x-sim"), *faults],
                           stdout=subprocess.PIPE, text=True)
    try:
        path = sim.stdout.readline().strip()
        child = subprocess.Popen(
            [sys.executable, "-c",
             "import mk27x, sys, time\n"
             f"s = mk27x.Sensor({path!r})\n"
             "it = s.stream_chunks()\n"
             "next(it)\n"
             "print('streaming', flush=True)\n"
             "time.sleep(60)\n"],
            stdout=subprocess.PIPE, text=True)
        guard = threading.Timer(30, child.kill)  # a child that never streams
        guard.start()
        assert child.stdout.readline().strip() == "streaming"
        guard.cancel()
        child.kill()  # no chance to stop its stream
        child.wait(timeout=10)
        with mk27x.Sensor(path) as s:
            assert s.identity.serial == 1234
    finally:
        sim.terminate()
        sim.wait(timeout=10)
