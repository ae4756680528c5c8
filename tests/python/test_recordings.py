"""Recordings that can be aligned and failures that keep what came: t0, NoAnswer
with the samples before the loss, and the module's signatures as its stub says."""
import ast
import inspect
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import mk27x

HERE = os.path.dirname(os.path.abspath(__file__))
STUB = os.path.join(HERE, "..", "..", "python", "mk27x.pyi")
EXAMPLE = os.path.join(HERE, "..", "..", "examples", "thickness_log.py")


def test_streams_carry_the_unix_time_of_their_first_sample():
    with mk27x.Sensor.simulator() as a, mk27x.Sensor.simulator() as b:
        before = time.time()
        first, second = a.stream(0.3), b.stream(0.3)
        t, mm = second
        assert len(t) == len(mm) > 0 and t[0] == 0.0 and before <= first.t0 < second.t0
        assert second.t0 - first.t0 >= first.t[-1]
        chunks = list(a.stream_chunks(seconds=0.3))
        assert len({c.t0 for c in chunks}) == 1 and chunks[0].t0 > second.t0


@pytest.mark.parametrize("pty", [True, False], ids=["pty", "in_process"])
def test_a_lost_stream_raises_with_the_samples_before_it(pty):
    with mk27x.Sensor.simulator(pty=pty, stream_stop_after=300, stream_rate=2000) as s:
        with pytest.raises(mk27x.NoAnswer, match="No answer.") as e:
            s.stream(5.0)
        assert len(e.value.t) == 300 and e.value.t[0] == 0.0 and np.all(e.value.mm == 25.0)
    with mk27x.Sensor.simulator(pty=pty, stream_stop_after=300, stream_rate=2000) as s:
        handed = 0
        with pytest.raises(mk27x.NoAnswer) as e:
            for t, _ in s.stream_chunks():
                handed += len(t)
        assert handed + len(e.value.mm) == 300
    with mk27x.Sensor.simulator(pty=pty, stream_stop_after=0) as s:
        with pytest.raises(mk27x.NoAnswer, match="No answer.") as e:
            s.stream(0.3)
        assert len(e.value.t) == 0 and e.value.t0 is None


def test_a_kept_iterator_is_named_in_the_refusal():
    with mk27x.Sensor.simulator(pty=False) as s:
        chunks = s.stream_chunks()
        next(chunks)  # as a loop's break leaves it
        with pytest.raises(mk27x.Error, match=r"call its close\(\) first"):
            s.params()
        chunks.close()
        assert len(s.params()) == 20


def _stub_parameters(f):
    """(name, kind, default) of a stub function's parameters."""
    a, empty, kind = f.args, inspect.Parameter.empty, inspect.Parameter
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    out = [(p.arg, kind.POSITIONAL_OR_KEYWORD, d) for p, d in zip(positional, defaults)]
    out += [(a.vararg.arg, kind.VAR_POSITIONAL, None)] if a.vararg else []
    out += [(p.arg, kind.KEYWORD_ONLY, d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return [(n, k, empty if d is None else ast.literal_eval(d)) for n, k, d in out]


def test_signatures_agree_with_the_stub():
    def runtime(obj):
        return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]
    checked = []
    for node in ast.parse(open(STUB).read()).body:
        if isinstance(node, ast.FunctionDef):
            assert runtime(getattr(mk27x, node.name)) == _stub_parameters(node), node.name
            checked.append(node.name)
        cls = getattr(mk27x, getattr(node, "name", ""), None)
        if not isinstance(node, ast.ClassDef) or issubclass(cls, (tuple, Exception)):
            continue
        for f in node.body:
            if not isinstance(f, ast.FunctionDef) or "property" in map(ast.unparse,
                                                                       f.decorator_list):
                continue
            # The class's signature is __init__'s without self; methods unbound.
            got = runtime(cls if f.name == "__init__" else getattr(cls, f.name))
            want = _stub_parameters(f)[1 if f.name == "__init__" else 0:]
            assert got == want, f"{node.name}.{f.name}"
            checked.append(f"{node.name}.{f.name}")
    assert {"search", "Sensor.__init__", "Sensor.simulator", "Sensor.stream_chunks",
            "StreamChunks.close"} <= set(checked)
    assert mk27x.__version__.startswith("0.")


def test_thickness_example_pairs_two_sensors_on_one_time_axis():
    out = subprocess.run([sys.executable, EXAMPLE, "--simulator", "60", "0.5"],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    rows = [line.split(",") for line in out.splitlines()]
    assert rows[0] == ["seconds", "a_mm", "b_mm", "thickness_mm"]
    full = [r for r in rows[1:] if r[2]]
    assert len(full) > 100
    # 60 - 4000 and 6000 raw units of a 50 mm range, give or take the noise.
    for r in full:
        assert float(r[3]) == pytest.approx(60 - (4000 + 6000) * 50 / 16384, abs=0.1)
