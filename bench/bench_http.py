#!/usr/bin/env python3
"""Benchmarks of the line's page (mk27x serve --http); prints "name: value" lines.

Four virtual sensors (mk27x-sim on pseudo-terminals) stream at the line rate of
921600 baud into `mk27x serve --http` on loopback.

    http_event_latency_p99_ms  the 99th percentile of a batch's delay from its
                               newest sample's time to its arrival in the page
                               (headless Chromium, 10 s); target <= 250
    page_first_value_ms        navigation to the first value on the page, the
                               median of three loads; target <= 1000
    http_clients_cpu_percent   the service's extra CPU time (all its threads)
                               with 20 event clients reading, over 10 s, as a
                               share of one core; target <= 5

Run with MK27X and MK27X_SIM naming the programs (scripts/bench does).
"""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

MK27X = os.environ.get("MK27X", "mk27x")
MK27X_SIM = os.environ.get("MK27X_SIM", "mk27x-sim")
LINE_RATE = 921600 / 44.0
CLK_TCK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def event_client(url, stop, counts, i):
    """Reads the event stream as a browser would, until `stop`."""
    host, port = url.split("//")[1].split("/")[0].split(":")
    with socket.create_connection((host, int(port))) as s:
        s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n")
        s.settimeout(1)
        while not stop.is_set():
            try:
                data = s.recv(65536)
            except socket.timeout:
                continue
            if not data:
                break
            counts[i] += data.count(b"event: batch")


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(arg)
    options.binary_location = shutil.which("chromium")
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def main():
    work = tempfile.mkdtemp(prefix="mk27x-bench-http-")
    sims, service = [], None
    try:
        for i, name in enumerate("ABCD"):
            link = os.path.join(work, name)
            sims.append(subprocess.Popen(
                [MK27X_SIM, "--link", link, "--baud", "921600", "--stream-rate", str(int(LINE_RATE)),
                 "--source", "sine", "--value", "4000", "--amplitude", "3000",
                 "--period", str(4000 + 1000 * i), "--serial", str(1001 + i)],
                stdout=subprocess.PIPE, text=True))
            sims[-1].stdout.readline()
        port = free_port()
        url = f"http://127.0.0.1:{port}/"
        args = [MK27X, "serve", "--http", f"127.0.0.1:{port}"]
        for name in "ABCD":
            args += ["--sensor", f"{name}={os.path.join(work, name)}@921600"]
        service = subprocess.Popen(args, stderr=subprocess.DEVNULL)

        def up():
            try:
                with urllib.request.urlopen(url + "api/items", timeout=1) as r:
                    return b"fresh" in r.read()
            except OSError:
                return False
        if not wait_for(up, 30):
            print("bench_http: the service did not come up", file=sys.stderr)
            return 1

        if shutil.which("chromium") and shutil.which("chromedriver"):
            driver = browser()
            try:
                firsts = []
                for _ in range(3):
                    driver.get(url)
                    wait_for(lambda: driver.execute_script(
                        "return window.mk27xMetrics && window.mk27xMetrics.firstValueMs"), 10)
                    firsts.append(driver.execute_script("return window.mk27xMetrics.firstValueMs"))
                time.sleep(2)  # past the first batches
                driver.execute_script("window.mk27xMetrics.latencies.length = 0")
                time.sleep(10)
                lat = sorted(driver.execute_script("return window.mk27xMetrics.latencies"))
                p99 = lat[min(len(lat) - 1, int(0.99 * len(lat)))] if lat else float("nan")
                print(f"http_event_latency_p99_ms: {p99:.0f}")
                print(f"page_first_value_ms: {statistics.median(firsts):.0f}")
            finally:
                driver.quit()
        else:
            print("bench_http: no chromium or chromedriver: the page's figures left out",
                  file=sys.stderr)

        seconds = 10
        c0 = cpu_seconds(service.pid)
        time.sleep(seconds)
        idle = cpu_seconds(service.pid) - c0
        stop = threading.Event()
        counts = [0] * 20
        clients = [threading.Thread(target=event_client, args=(url, stop, counts, i))
                   for i in range(20)]
        for t in clients:
            t.start()
        time.sleep(1)
        c0 = cpu_seconds(service.pid)
        time.sleep(seconds)
        busy = cpu_seconds(service.pid) - c0
        stop.set()
        for t in clients:
            t.join()
        if min(counts) < 5 * seconds:
            print(f"bench_http: an event client fell behind ({min(counts)} batches)",
                  file=sys.stderr)
        print(f"http_clients_cpu_percent: {100 * (busy - idle) / seconds:.1f}")
        return 0
    finally:
        if service:
            service.terminate()
            service.wait(timeout=30)
        for s in sims:
            s.terminate()
            s.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
