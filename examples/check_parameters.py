#!/usr/bin/env python3
"""Checks the parameters of every sensor found on the ports against a file.

    examples/check_parameters.py REFERENCE.json [PORT...]

REFERENCE.json is a parameter file (mk27x backup, or the window's Save). Each
sensor found (address 1 at every rate) is compared with it, parameter by
parameter; nothing is written. Exit status 1 when a sensor differs or none
is found.
"""
import json
import sys

import mk27x


def main(argv):
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[0], encoding="utf-8") as f:
        reference = {p["index"]: p for p in json.load(f)["parameters"]}
    found = mk27x.search(ports=argv[1:] or None)
    if not found:
        print("no sensor found", file=sys.stderr)
        return 1
    failed = 0
    for f in found:
        with mk27x.Sensor(f.port, baud=f.baud, address=f.address) as s:
            wrong = [p for p in s.params() if p.value != reference[p.index]["value"]]
        state = "OK" if not wrong else f"{len(wrong)} differ"
        print(f"{f.port} serial {f.identity.serial}: {state}")
        for p in wrong:
            print(f"  {p.name}: {p.text} (file: {reference[p.index]['text']})")
        failed += bool(wrong)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
