"""The module's calls against the virtual sensor, over a pty and in process."""
import gc
import os
import re

import numpy as np
import pytest

import mk27x
from conftest import trace_lines


def test_identity_params_and_set_by_name_and_index(sensor):
    assert sensor.identity == mk27x.Identity(model=27, release=2, serial=1234, base_mm=100,
                                             range_mm=50)
    params = sensor.params()
    assert [p.index for p in params] == list(range(20))
    assert params[0] == mk27x.Parameter(0, "Sensor On/Off", 1, "on")
    # Names as the grid shows them, any case, or the index; numbers as their text.
    sensor.set({"sampling PERIOD": "1000", 8: 5, "Synchronization control byte": "200"})
    values = {p.name: p.value for p in sensor.params()}
    assert values["Sampling period"] == 1000
    assert values["DelayMsr"] == 5
    assert values["Synchronization control byte"] == 200


@pytest.mark.parametrize("entries, message", [
    ({"Sampling period": "abc"}, "'abc' is not a valid integer value for Sampling period"),
    ({"Sampling period": "-5"}, "'-5' is out of range for Sampling period"),
    # The picker rows take the byte itself.
    ({"Synchronization control byte": "256"},
     "'256' is out of range for Synchronization control byte"),
    ({"DelayMsr": "1", "Sampling period": "1e3"},
     "'1e3' is not a valid integer value for Sampling period"),
    ({"no such": "1"}, "no parameter named 'no such'"),
    ({20: "1"}, "no parameter named 20"),
])
def test_refused_text_raises_and_sends_nothing(tmp_path, pty_sensor, entries, message):
    before = pty_sensor.params()
    with pytest.raises(ValueError) as e:
        pty_sensor.set(entries)
    assert str(e.value) == message
    assert pty_sensor.params() == before
    pty_sensor.close()
    assert trace_lines(tmp_path, "WriteParameter") == []


def test_measure_gives_count_distances(sensor):
    mm = sensor.measure(count=3)
    assert mm.dtype == np.float64 and mm.tolist() == [25.0, 25.0, 25.0]
    assert sensor.measure(dev=True).shape == (1,)


def test_stream_arrays_have_one_time_per_sample_rising_from_zero():
    with mk27x.Sensor.simulator(stream_rate=2000, source="ramp", amplitude=1000) as s:
        t, mm = s.stream(seconds=0.3)
    assert len(t) == len(mm) > 100
    assert t[0] == 0.0 and np.all(np.diff(t) > 0) and t[-1] < 0.6
    # Evenly spaced at the sensor's period after the first read.
    assert np.median(np.diff(t)) == pytest.approx(1 / 2000, rel=0.2)
    assert mm.min() >= 25.0 and mm.max() <= 25.0 + 1000 * 50 / 16384 + 0.01


def test_stream_chunks_come_in_order_and_break_stops_the_stream(tmp_path, pty_sensor):
    times = []
    for t, mm in pty_sensor.stream_chunks():
        assert len(t) == len(mm) > 0
        times.extend(t)
        with pytest.raises(mk27x.Error, match="stream_chunks"):
            pty_sensor.measure()
        if len(times) > 200:
            break
    gc.collect()
    assert np.all(np.diff(times) > 0) and times[0] == 0.0
    assert pty_sensor.measure().tolist() == [25.0]
    chunks = pty_sensor.stream_chunks(seconds=0.2)
    assert sum(len(t) for t, _ in chunks) > 0 and chunks.finished and chunks.dropped == 0
    pty_sensor.close()
    assert len(trace_lines(tmp_path, "StopStream")) == 2


def test_teach_flash_restore():
    with mk27x.Sensor.simulator(pty=False, baud=921600, address=5) as s:
        s.teach()
        s.set({"Sampling period": "1000"})
        s.flash()
        s.restore()
        # Back at the factory link, the parameters read back there.
        assert (s.baud, s.address) == (115200, 1)
        assert s.params()[5].value != 1000


def test_backup_then_clone_gives_another_sensor_the_same_set(tmp_path, pty_sensor):
    sensor = pty_sensor
    sensor.set({"Sampling period": "1234"})
    path = str(tmp_path / "line3.json")
    sensor.backup(path)
    with mk27x.Sensor.simulator(pty=False, serial=99) as other:
        assert other.clone(path) == []
        assert other.params()[5].value == 1234


def test_upload_reports_every_block(tmp_path):
    table = tmp_path / "1234.tbl"
    table.write_text("header\n" + "".join(f"{'':17}{i}\n" for i in range(20)))
    done = []
    with mk27x.Sensor.simulator(pty=False) as s:
        s.upload(str(table), progress=lambda d, n: done.append((d, n)))
    assert done and done[-1][0] == done[-1][1] and [d for d, _ in done] == list(
        range(1, len(done) + 1))


def test_file_errors(tmp_path, sensor):
    with pytest.raises(mk27x.FileError, match="Cannot open file"):
        sensor.upload(str(tmp_path / "missing.tbl"))
    with pytest.raises(mk27x.FileError, match="cannot write"):
        sensor.backup(str(tmp_path / "no" / "dir.json"))
    bad = tmp_path / "bad.json"
    bad.write_text("{}")
    with pytest.raises(mk27x.FileError):
        sensor.clone(str(bad))
    with pytest.raises(mk27x.FileError, match="trace"):
        mk27x.Sensor.simulator(trace=str(tmp_path / "no" / "t.txt"))


def test_no_port_and_silent_sensor():
    with pytest.raises(mk27x.PortError) as e:
        mk27x.Sensor("/dev/mk27x-none")
    assert "/dev/mk27x-none" in str(e.value)
    with pytest.raises(mk27x.NoAnswer, match="No answer. Please change parameters."):
        mk27x.Sensor.simulator(silent_after=0)
    # Identify and 20 reads (29 registers) answered, then silence.
    with mk27x.Sensor.simulator(pty=False, silent_after=30) as s:
        with pytest.raises(mk27x.NoAnswer, match="No answer."):
            s.measure(count=3)
    with pytest.raises(ValueError):
        mk27x.Sensor("/dev/null", baud=1234)


@pytest.fixture
def not_serial(tmp_path):
    """Paths that are no serial port, and a check that the file is untouched."""
    notes = tmp_path / "notes.txt"
    notes.write_bytes(b"root:x:0:0:root:/root:/bin/bash\n")
    os.utime(notes, (1e9, 1e9))
    (tmp_path / "link").symlink_to(notes)
    (tmp_path / "folder").mkdir()
    os.mkfifo(tmp_path / "fifo")
    paths = [str(notes), str(tmp_path / "link"), str(tmp_path / "folder"),
             str(tmp_path / "fifo"), "/dev/null"]
    yield paths
    assert notes.read_bytes() == b"root:x:0:0:root:/root:/bin/bash\n"
    assert notes.stat().st_mtime == 1e9 and not any((tmp_path / "folder").iterdir())


def test_paths_that_are_no_serial_port_are_refused_untouched(not_serial):
    for path in not_serial:
        with pytest.raises(mk27x.PortError, match=f"^cannot open {re.escape(path)}: not a serial port$"):
            mk27x.Sensor(path)
    assert mk27x.search(ports=not_serial) == []


def test_closed_sensor_raises_on_every_use(tmp_path, sensor):
    sensor.close()
    sensor.close()
    assert sensor.closed and repr(sensor) == "<mk27x.Sensor closed>"
    for call in (lambda: sensor.identity, sensor.params, lambda: sensor.set({0: "on"}),
                 sensor.measure, lambda: sensor.stream(1), sensor.stream_chunks, sensor.teach,
                 sensor.flash, lambda: sensor.backup(str(tmp_path / "b.json"))):
        with pytest.raises(mk27x.PortError, match="The sensor is closed."):
            call()


def test_garbage_collection_stops_the_stream_and_closes(tmp_path):
    s = mk27x.Sensor.simulator(trace=str(tmp_path / "trace.txt"))
    chunks = s.stream_chunks()
    next(chunks)
    del s, chunks
    gc.collect()
    text = (tmp_path / "trace.txt").read_text()
    assert " TX StopStream" in text and text.rstrip().endswith("-- close")


def test_search_finds_the_sensor_on_its_pty(sim_process):
    found = mk27x.search(ports=[sim_process, "/dev/mk27x-none"])
    assert found == [mk27x.Found(sim_process, 115200, 1, mk27x.Identity(27, 2, 1234, 100, 50))]
