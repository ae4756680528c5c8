#!/usr/bin/env python3
"""Benchmarks of the mk27x Python module; prints "name: value" lines.

    python_stream_ratio         samples delivered into NumPy per second by
                                stream_chunks() with the sensor writing as fast
                                as the pty takes it, over the line rate of
                                921600 baud (20945 frames/s); target >= 1.0
    python_stream_frames_lost   frames the sensor sent at the line rate minus
                                samples stream() delivered (the sensor falls
                                silent before the stop, so every frame sent
                                must arrive); target 0
    python_call_overhead_ratio  1000 measure(count=1) against the virtual sensor
                                on a pty, over the same 1000 one-sample series
                                run by the C++ session; target <= 1.10

Run with PYTHONPATH naming the folder of the built module (scripts/bench does).
"""
import time

import mk27x

BAUD = 921600
LINE_RATE = BAUD / 44.0  # four bytes of 11 bits (8E1) per frame


def stream_ratio(seconds=3.0):
    with mk27x.Sensor.simulator(baud=BAUD, stream_rate=0) as s:
        samples = 0
        start = time.monotonic()
        for t, _ in s.stream_chunks(seconds=seconds):
            samples += len(t)
        elapsed = time.monotonic() - start
    return samples / elapsed / LINE_RATE


def frames_lost(seconds=3.0):
    sent = round(seconds * LINE_RATE)
    with mk27x.Sensor.simulator(baud=BAUD, stream_rate=LINE_RATE, stream_stop_after=sent) as s:
        # Stopped within the watchdog's second after the last frame.
        t, _ = s.stream(seconds=seconds + 0.5)
    return sent - len(t)


def call_overhead_ratio(count=1000):
    with mk27x.Sensor.simulator() as s:
        s.measure(count=1)
        start = time.perf_counter()
        for _ in range(count):
            s.measure(count=1)
        python_s = time.perf_counter() - start
        cpp_s = s._measure_baseline(count)
    return python_s / cpp_s, python_s, cpp_s


def main():
    print(f"python_stream_ratio: {stream_ratio():.2f}")
    print(f"python_stream_frames_lost: {frames_lost()}")
    ratio, python_s, cpp_s = call_overhead_ratio()
    print(f"python_call_overhead_ratio: {ratio:.3f}")
    print(f"python_measure_1000_seconds: {python_s:.3f}")
    print(f"cpp_measure_1000_seconds: {cpp_s:.3f}")


if __name__ == "__main__":
    main()
