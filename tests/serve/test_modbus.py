"""The Modbus map read by pymodbus and mbpoll from modbus-fixture's servers
(MK27X_MODBUS_FIXTURE): a fixed line and one whose snapshot keeps changing.
MK27X_MODBUS=HOST:PORT reads that server instead (a running line service),
checking only what holds for any line."""
import math
import os
import struct
import subprocess
import threading

import pytest
from pymodbus.client import ModbusTcpClient

EXTERNAL = os.environ.get("MK27X_MODBUS")
fixture_only = pytest.mark.skipif(bool(EXTERNAL), reason="needs the fixed line")

@pytest.fixture(scope="module")
def servers():
    if EXTERNAL:
        host, port = EXTERNAL.rsplit(":", 1)
        yield {"host": host.strip("[]"), "fixed": int(port)}
        return
    proc = subprocess.Popen([os.environ["MK27X_MODBUS_FIXTURE"]], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    _, fixed, _, churn = proc.stdout.readline().split()
    yield {"host": "127.0.0.1", "fixed": int(fixed), "churn": int(churn)}
    proc.stdin.close()
    assert proc.wait(timeout=30) == 0

def connect(servers, which="fixed"):
    client = ModbusTcpClient(servers["host"], port=servers[which], timeout=10)
    assert client.connect()
    return client

def registers(client, address, count, slave=1, read=ModbusTcpClient.read_holding_registers):
    response = read(client, address, count, slave=slave)
    assert not response.isError(), response
    return response.registers

def item(r, i):
    """Item i of registers read from 100: (mm, um, state, judgement, count, age)."""
    return struct.unpack(">fiHHII", struct.pack(">10H", *r[10 * i:10 * i + 10]))

@fixture_only
def test_fixed_line_reads_alike_through_both_register_tables_and_any_unit(servers):
    client = connect(servers)
    assert registers(client, 0, 100) == [1, 5, 70000 >> 16, 70000 & 0xFFFF] + [0] * 96
    items = registers(client, 100, 50)
    for slave in (0, 17, 255):
        assert registers(client, 100, 50, slave, ModbusTcpClient.read_input_registers) == items
    a, b, c, t, u = (item(items, i) for i in range(5))
    assert a[0] == pytest.approx(25.0004, abs=1e-6)
    assert a[1:] == (25000, 0, 1, 5_000_000_000 % 2**32, 12)
    assert b == (-3.25, -3250, 0, 2, 9, 70000)
    assert math.isnan(c[0]) and c[1:] == (-2**31, 2, 0, 7, 0)
    assert math.isnan(t[0]) and t[1:] == (-2**31, 3, 0, 0, 0)
    assert u == (1e7, 2**31 - 1, 0, 3, 3, 5)
    assert client.read_discrete_inputs(0, 10, slave=1).bits[:10] == [
        True, True, True, False, False, False, False, False, True, False]
    client.close()

def test_writes_and_reads_outside_the_map_are_refused(servers):
    client = connect(servers)
    n = registers(client, 0, 2)[1]
    end = 100 + 10 * n
    refusals = [(1, client.write_coil(0, True, slave=1)), (1, client.write_register(0, 5, slave=1)),
                (1, client.write_coils(0, [True, False], slave=1)),
                (1, client.write_registers(100, [1, 2], slave=1)),
                (1, client.mask_write_register(0, 0xFFFF, 0, slave=1)),
                (1, client.readwrite_registers(read_address=0, read_count=1, write_address=0,
                                               write_registers=[1], slave=1)),
                (1, client.read_coils(0, 1, slave=1)),
                (2, client.read_holding_registers(end, 1, slave=1)),
                (2, client.read_input_registers(end - 1, 2, slave=1)),
                (2, client.read_discrete_inputs(2 * n, 1, slave=1))]
    for code, refused in refusals:
        assert refused.isError() and refused.exception_code == code, refused
    assert registers(client, end - 1, 1)  # the last register is inside
    assert registers(client, 0, 2) == [1, n]  # the refusals left the connection open
    client.close()

def read_in_threads(count, read):
    """The failures `read(failures)` found in `count` threads; one that raised counts too."""
    failures, finished = [], []
    threads = [threading.Thread(target=lambda: finished.append(read(failures)))
               for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures + ["raised"] * (count - len(finished))

def test_twenty_clients_at_once(servers):
    clients = [connect(servers) for _ in range(20)]
    expected = registers(clients[0], 0, 2)
    start = threading.Barrier(20)

    def read(failures):
        client = clients[start.wait()]
        for _ in range(50):
            got = client.read_holding_registers(0, 100, slave=1)
            if got.isError() or got.registers[:2] != expected:
                failures.append(got)
        client.close()

    assert read_in_threads(20, read) == []

@fixture_only
def test_changing_snapshot_is_never_torn_within_a_response(servers):
    seen = set()

    def read(torn):
        client = connect(servers, "churn")
        for _ in range(300):
            r = registers(client, 100, 40)
            k = item(r, 0)[4]
            seen.add(k)
            for i in range(4):
                mm, *rest = item(r, i)
                if rest != [k + 1000 * i, 0, 0, k, k] or abs(mm - (k * 0.001 + i)) > 1e-3:
                    torn.append((k, i, item(r, i)))
        client.close()

    assert read_in_threads(4, read) == []
    assert len(seen) > 10  # the snapshot did change under the readers

@fixture_only
def test_mbpoll_reads_one_based_references(servers):
    def mbpoll(*args, write=()):
        run = subprocess.run(["mbpoll", "-m", "tcp", "-a", "1", "-1", "-p", str(servers["fixed"]),
                              *args, servers["host"], *write],
                             capture_output=True, text=True, timeout=30)
        values = [line.split(":", 1)[1].strip() for line in run.stdout.splitlines()
                  if line.startswith("[")]
        return run.returncode, values, run.stderr if run.returncode else ""

    assert mbpoll("-r", "101", "-c", "1", "-t", "4:float", "-B")[1] == ["25.0004"]
    assert mbpoll("-r", "113", "-c", "1", "-t", "3:int", "-B")[1] == ["-3250"]
    assert mbpoll("-r", "1", "-c", "4", "-t", "1")[1] == ["1", "1", "1", "0"]
    assert "Illegal data address" in mbpoll("-r", "150", "-c", "2")[2]
    assert "Illegal function" in mbpoll("-r", "1", "-t", "4", write=["5"])[2]
