"""mk27x serve over two virtual sensors on pseudo-terminals (mk27x-sim --link),
read by pymodbus as a PLC would: the values and judgements, test_modbus.py's
checks of any server, a sensor unplugged and plugged back, another sensor at
its place refused."""
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest
from pymodbus.client import ModbusTcpClient

CLI, SIM = os.environ["MK27X_CLI"], os.environ["MK27X_SIM"]

def eventually(check, seconds=30):
    """check()'s first true value within `seconds` (a safety net, not a pace)."""
    end = time.monotonic() + seconds
    while True:
        got = check()
        if got or time.monotonic() > end:
            return got
        time.sleep(0.05)

class Line:
    def __init__(self, tmp):
        self.tmp, self.sims = tmp, {}
        self.plug("a", 1111)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.err = tmp / "err.txt"
        self.err.write_text("")
        st = os.stat(self.err)
        env = dict(os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}")
        self.serve = subprocess.Popen(
            [CLI, "serve", "--sensor", f"A={tmp / 'a'}", "--sensor", f"B={tmp / 'b'}",
             "--channel", "t=A-B", "--limit", "A=24..26", "--limit", "B=13..20",
             "--modbus", f"127.0.0.1:{self.port}"],
            stdout=subprocess.DEVNULL, stderr=open(self.err, "a"), env=env)
        self.client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=10)
        assert eventually(self.client.connect), self.log()
        # B, not there at the start, is retried and joins.
        assert eventually(lambda: self.states()[:2] == [0, 2]), self.log()
        self.plug("b", 1234, "--value", "4096")

    def plug(self, name, serial, *args):
        self.sims[name] = subprocess.Popen(
            [SIM, "--serial", str(serial), "--link", str(self.tmp / name), *args],
            stdout=subprocess.PIPE, text=True)
        self.sims[name].stdout.readline()  # the link is there

    def unplug(self, name):
        self.sims[name].terminate()  # the link goes with it
        self.sims[name].wait(timeout=30)

    def items(self):
        """(mm, um, state, judgement, count, age) of A, B, t."""
        r = self.client.read_holding_registers(100, 30, slave=1).registers
        return [struct.unpack(">fiHHII", struct.pack(">10H", *r[10 * i:10 * i + 10]))
                for i in range(3)]

    def states(self):
        return [i[2] for i in self.items()]

    def log(self):
        return self.err.read_text()

    def close(self):
        self.client.close()
        if self.serve.poll() is None:
            self.serve.send_signal(signal.SIGTERM)
        status = self.serve.wait(timeout=30)
        for sim in self.sims.values():
            sim.terminate()
            sim.wait(timeout=30)
        return status

@pytest.fixture(scope="module")
def line(tmp_path_factory):
    line = Line(tmp_path_factory.mktemp("line"))
    yield line
    line.close()

def test_values_micrometres_states_and_judgements_reach_the_plc(line):
    assert eventually(lambda: line.states() == [0, 0, 0]), line.log()
    assert "<6>B: serial number 1234, " in line.log()
    (a, b, t) = line.items()
    assert (a[0], a[1:4]) == (25.0, (25000, 0, 1))
    assert (b[0], b[1:4]) == (12.5, (12500, 0, 2))
    assert (t[0], t[1:4]) == (12.5, (12500, 0, 0))
    assert line.client.read_discrete_inputs(0, 6, slave=1).bits[:6] == [
        True, True, True, False, True, True]
    refused = line.client.write_register(100, 1, slave=1)
    assert refused.isError() and refused.exception_code == 1
    here = os.path.dirname(__file__)
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          os.path.join(here, "test_modbus.py")],
                         env=dict(os.environ, MK27X_MODBUS=f"127.0.0.1:{line.port}"),
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr

def test_an_unplugged_sensor_is_lost_while_the_other_goes_on_and_comes_back(line):
    line.unplug("b")
    unplugged = time.monotonic()
    assert eventually(lambda: line.states()[1] == 2, 10), line.log()
    assert time.monotonic() - unplugged < 2
    count = line.items()[0][4]
    assert eventually(lambda: line.items()[0][4] > count + 100)  # A's rows go on
    (a, b, t) = line.items()
    assert a[2] == 0 and math.isnan(b[0]) and b[1:4] == (-2**31, 2, 0)
    assert math.isnan(t[0]) and t[2] == 3
    time.sleep(max(0.0, 3 - (time.monotonic() - unplugged)))
    line.plug("b", 1234, "--value", "4096")
    plugged = time.monotonic()
    assert eventually(lambda: line.states() == [0, 0, 0], 10), line.log()
    assert time.monotonic() - plugged < 2
    assert line.items()[1][:2] == (12.5, 12500)
    log = line.log()
    assert "<4>B: No answer; retrying.\n" in log and "<6>B: back after " in log, log

def test_another_sensor_at_its_place_is_refused_and_logged(line):
    line.unplug("b")
    line.plug("b", 4321)
    assert eventually(lambda: "<4>B: serial 4321 found, 1234 expected\n" in line.log()), line.log()
    assert line.states()[1] == 2
    assert line.close() == 0
    assert "<6>B: 3 losses, " in line.log(), line.log()
