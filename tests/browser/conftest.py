"""Fixtures of the page's tests: virtual sensors on pseudo-terminals, the line
service serving them over HTTP on loopback, and a headless Chromium."""
import json
import os
import shutil
import signal
import socket
import subprocess
import time
import urllib.request

import pytest

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
if not CHROMIUM or not CHROMEDRIVER:
    pytest.skip("chromium or chromedriver is missing", allow_module_level=True)
webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service as DriverService  # noqa: E402

MK27X = os.environ.get("MK27X", "mk27x")
MK27X_SIM = os.environ.get("MK27X_SIM", "mk27x-sim")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


class Sim:
    """mk27x-sim behind a symbolic link that stays while the sensor comes and goes."""

    def __init__(self, link, *args):
        self.link, self.args, self.proc = link, args, None
        self.start()

    def start(self):
        self.proc = subprocess.Popen([MK27X_SIM, "--link", self.link, *self.args],
                                     stdout=subprocess.PIPE, text=True)
        self.proc.stdout.readline()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class Service:
    def __init__(self, tmp_path, sims, extra):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.record_dir = tmp_path / "records"
        self.record_dir.mkdir()
        self.args = [MK27X, "serve", "--http", f"127.0.0.1:{self.port}",
                     "--record-dir", str(self.record_dir)]
        for name, sim in sims.items():
            self.args += ["--sensor", f"{name}={sim.link}"]
        self.args += extra
        self.sims = sims
        self.start()

    def start(self):
        self.proc = subprocess.Popen(self.args, stderr=subprocess.PIPE, text=True)
        wait_for(self.listening, 20, "the service to listen")

    def listening(self):
        try:
            with urllib.request.urlopen(self.url + "api/items", timeout=1) as r:
                return json.load(r)
        except OSError:
            return None

    def items(self):
        with urllib.request.urlopen(self.url + "api/items", timeout=5) as r:
            return json.load(r)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(timeout=20)
        self.proc.stderr.close()
        return status


def serve_line(tmp_path, extra_sims=()):
    """Sensors A (a slow sine) and B on pseudo-terminals, B's link a name full of
    markup, two channels and a limit B is above, served on loopback."""
    sims = {
        "A": Sim(str(tmp_path / "a"), "--source", "sine", "--amplitude", "4000", "--period", "500",
                 "--stream-rate", "500"),
        "B": Sim(str(tmp_path / "<img src=x onerror=alert(1)>"), "--serial", "4321",
                 "--stream-rate", "500"),
    }
    try:
        return Service(tmp_path, sims, ["--channel", "gap=A-B", "--channel", "lt=A<B",
                                        "--limit", "B=0..1"])
    except BaseException:
        for sim in sims.values():
            sim.stop()
        raise


def end_line(service):
    service.stop()
    for sim in service.sims.values():
        sim.stop()


@pytest.fixture(scope="module")
def line(tmp_path_factory):
    service = serve_line(tmp_path_factory.mktemp("line"))
    yield service
    end_line(service)


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1200,1000"):
        options.add_argument(arg)
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=DriverService(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


def tiles(driver):
    return driver.execute_script("""
        return [...document.querySelectorAll('#tiles .tile')].map(t => ({
            name: t.querySelector('.name').textContent,
            value: t.querySelector('.number').textContent,
            state: t.querySelector('.state').textContent,
            judgement: t.querySelector('.judgement').textContent,
            detail: t.querySelector('.detail').textContent,
            cls: t.className}));""")
