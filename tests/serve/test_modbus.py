"""The Modbus map read by clients of other makers: pymodbus and mbpoll.

The servers are those of modbus-fixture (MK27X_MODBUS_FIXTURE): a fixed line,
and one whose snapshot changes all the time. With MK27X_MODBUS=HOST:PORT the
tests read that server instead (a running line service), and only what holds
for any line is checked.
"""
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
        yield {"host": host.strip("[]"), "fixed": int(port), "churn": None}
        return
    proc = subprocess.Popen([os.environ["MK27X_MODBUS_FIXTURE"]], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    words = proc.stdout.readline().split()
    assert words[0] == "fixed", words
    yield {"host": "127.0.0.1", "fixed": int(words[1]), "churn": int(words[3])}
    proc.stdin.close()
    assert proc.wait(timeout=30) == 0


def connect(servers, which="fixed"):
    client = ModbusTcpClient(servers["host"], port=servers[which], timeout=10)
    assert client.connect()
    return client


def registers(client, address, count, slave=1, function=3):
    read = client.read_holding_registers if function == 3 else client.read_input_registers
    response = read(address, count, slave=slave)
    assert not response.isError(), response
    return response.registers


def u32(r, at):
    return r[at] << 16 | r[at + 1]


def item(r, i):
    """Item i of registers read from address 100: (mm, um, state, judgement, count, age)."""
    b = 10 * i
    mm = struct.unpack(">f", struct.pack(">HH", r[b], r[b + 1]))[0]
    um = struct.unpack(">i", struct.pack(">HH", r[b + 2], r[b + 3]))[0]
    return mm, um, r[b + 4], r[b + 5], u32(r, b + 6), u32(r, b + 8)


def exception_code(response):
    assert response.isError(), response
    return response.exception_code


@fixture_only
def test_fixed_line_reads_alike_through_both_register_tables_and_any_unit(servers):
    client = connect(servers)
    head = registers(client, 0, 100)
    assert head[:4] == [1, 5, 70000 >> 16, 70000 & 0xFFFF]
    assert head[4:] == [0] * 96
    items = registers(client, 100, 50)
    for slave in (0, 17, 255):
        assert registers(client, 100, 50, slave=slave, function=4) == items
    a, b, c, t, u = (item(items, i) for i in range(5))
    assert a[0] == pytest.approx(25.0004, abs=1e-6)
    assert a[1:] == (25000, 0, 1, 5_000_000_000 % 2**32, 12)
    assert b == (-3.25, -3250, 0, 2, 9, 70000)
    assert math.isnan(c[0]) and c[1:] == (-2**31, 2, 0, 7, 0)
    assert math.isnan(t[0]) and t[1:] == (-2**31, 3, 0, 0, 0)
    assert u == (1e7, 2**31 - 1, 0, 3, 3, 5)
    bits = client.read_discrete_inputs(0, 10, slave=1).bits[:10]
    assert bits == [True, True, True, False, False, False, False, False, True, False]
    client.close()


def test_writes_and_reads_outside_the_map_are_refused(servers):
    client = connect(servers)
    n = registers(client, 0, 2)[1]
    end = 100 + 10 * n
    for write in (lambda: client.write_coil(0, True, slave=1),
                  lambda: client.write_register(0, 5, slave=1),
                  lambda: client.write_coils(0, [True, False], slave=1),
                  lambda: client.write_registers(100, [1, 2], slave=1),
                  lambda: client.mask_write_register(0, 0xFFFF, 0, slave=1),
                  lambda: client.readwrite_registers(read_address=0, read_count=1,
                                                     write_address=0, write_registers=[1],
                                                     slave=1),
                  lambda: client.read_coils(0, 1, slave=1)):
        assert exception_code(write()) == 1
    assert exception_code(client.read_holding_registers(end, 1, slave=1)) == 2
    assert exception_code(client.read_input_registers(end - 1, 2, slave=1)) == 2
    assert exception_code(client.read_discrete_inputs(2 * n, 1, slave=1)) == 2
    assert registers(client, end - 1, 1)  # the last register is inside
    assert registers(client, 0, 2) == [1, n]  # the refusals left the connection open
    client.close()


def test_twenty_clients_at_once(servers):
    clients = [connect(servers) for _ in range(20)]
    expected = registers(clients[0], 0, 100)
    start = threading.Barrier(20)
    failures = []

    def read(client):
        start.wait()
        for _ in range(50):
            got = client.read_holding_registers(0, 100, slave=1)
            if got.isError() or got.registers[:2] != expected[:2]:
                failures.append(got)
        client.close()

    threads = [threading.Thread(target=read, args=(c,)) for c in clients]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@fixture_only
def test_changing_snapshot_is_never_torn_within_a_response(servers):
    def read(seen, torn):
        client = connect(servers, "churn")
        for _ in range(300):
            r = registers(client, 100, 40)
            k = u32(r, 6)
            seen.add(k)
            for i in range(4):
                mm, um, state, _, count, age = item(r, i)
                if (um, count, age, state) != (k + 1000 * i, k, k, 0) or \
                        abs(mm - (k * 0.001 + i)) > 1e-3:
                    torn.append((k, i, item(r, i)))
        client.close()

    seen, torn = set(), []
    threads = [threading.Thread(target=read, args=(seen, torn)) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert torn == []
    assert len(seen) > 10  # the snapshot did change under the readers


@fixture_only
def test_mbpoll_reads_one_based_references(servers):
    def mbpoll(*args, write=()):
        run = subprocess.run(["mbpoll", "-m", "tcp", "-a", "1", "-1", "-p", str(servers["fixed"]),
                              *args, servers["host"], *write],
                             capture_output=True, text=True, timeout=30)
        lines = [line.split(":", 1)[1].strip() for line in run.stdout.splitlines()
                 if line.startswith("[")]
        return run.returncode, lines, run.stderr

    assert mbpoll("-r", "101", "-c", "1", "-t", "4:float", "-B")[1] == ["25.0004"]
    assert mbpoll("-r", "113", "-c", "1", "-t", "3:int", "-B")[1] == ["-3250"]
    assert mbpoll("-r", "1", "-c", "4", "-t", "1")[1] == ["1", "1", "1", "0"]
    status, _, err = mbpoll("-r", "150", "-c", "2")
    assert status != 0 and "Illegal data address" in err
    status, _, err = mbpoll("-r", "1", "-t", "4", write=["5"])
    assert status != 0 and "Illegal function" in err
