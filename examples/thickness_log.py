#!/usr/bin/env python3
"""Thickness log of two sensors facing each other, to CSV.

    examples/thickness_log.py PORT_A PORT_B GAP_MM [SECONDS] > log.csv
    examples/thickness_log.py --simulator 60 10      # two virtual sensors

The sensors stand GAP_MM apart on either side of the strip; the thickness is
GAP_MM minus both distances. Each sensor streams in its own thread (the
module lets the other run), then the two streams are paired by sample time:
each recording's t0 (the UNIX time of its first sample) puts both on one time
axis, however far apart the two streams started. Where the other sensor has no
sample around a time the row's cells are empty.
"""
import csv
import sys
import threading

import numpy as np

import mk27x


def main(argv):
    if argv[:1] == ["--simulator"]:
        sensors = [mk27x.Sensor.simulator(value=4000, noise=10),
                   mk27x.Sensor.simulator(value=6000, noise=10)]
        gap, seconds = float(argv[1]), float(argv[2]) if len(argv) > 2 else 2.0
    else:
        sensors = [mk27x.Sensor(argv[0]), mk27x.Sensor(argv[1])]
        gap, seconds = float(argv[2]), float(argv[3]) if len(argv) > 3 else 2.0
    results = [None, None]

    def run(i):
        results[i] = sensors[i].stream(seconds=seconds)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for s in sensors:
        s.close()

    a, b = results
    # The second sensor's times on the first one's axis, then its distance at
    # each sample time of the first (NaN outside its recording).
    tb_on_a = b.t + (b.t0 - a.t0)
    mmb_at_a = np.interp(a.t, tb_on_a, b.mm, left=np.nan, right=np.nan)
    out = csv.writer(sys.stdout)
    out.writerow(["seconds", "a_mm", "b_mm", "thickness_mm"])
    for row in zip(a.t, a.mm, mmb_at_a, gap - a.mm - mmb_at_a):
        out.writerow(["" if np.isnan(v) else f"{v:.6f}" for v in row])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
