"""The line's page in a real headless Chromium against mk27x serve."""
import re
import signal
import time
import urllib.request

from conftest import wait_for


def tiles(driver):
    return driver.execute_script("""
        return [...document.querySelectorAll('#tiles .tile')].map(t => ({
            name: t.querySelector('.name').textContent,
            value: t.querySelector('.number').textContent,
            state: t.querySelector('.state').textContent,
            judgement: t.querySelector('.judgement').textContent,
            detail: t.querySelector('.detail').textContent,
            cls: t.className}));""")


def test_tiles_chart_limits_and_text(line, browser):
    browser.get(line.url)
    wait_for(lambda: len(tiles(browser)) == 4 and tiles(browser)[0]["value"] != "—", 10,
             "the tiles' first values")
    shown = tiles(browser)
    assert [t["name"] for t in shown] == ["A", "B", "gap", "lt"]
    api = line.items()
    b = float(shown[1]["value"])
    assert abs(b - api[1]["value_mm"]) < 0.01
    assert "serial 4321" in shown[1]["detail"]
    # A limit the value is above: the word, not the colour alone.
    assert shown[1]["judgement"] == "high" and "high" in shown[1]["cls"]
    # Names and expressions are text, never markup.
    assert "<img src=x onerror=alert(1)>" in shown[1]["detail"]
    assert "A<B" in shown[3]["detail"]
    assert browser.execute_script("return document.querySelectorAll('#tiles img, #tiles b').length") == 0
    # A sine: the value and the chart change over time.
    first = shown[0]["value"]
    wait_for(lambda: tiles(browser)[0]["value"] != first, 5, "A's value to change")
    canvas = "return document.querySelector('#chart canvas').toDataURL()"
    picture = wait_for(lambda: browser.execute_script(canvas), 10, "the chart")
    wait_for(lambda: browser.execute_script(canvas) != picture, 10, "the chart to move")
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert errors == []


def test_a_lost_sensor_says_so_and_recovers(line, browser):
    browser.get(line.url)
    wait_for(lambda: len(tiles(browser)) == 4 and tiles(browser)[1]["state"] == "fresh", 10,
             "B fresh")
    line.sims["B"].stop()
    started = time.monotonic()
    wait_for(lambda: "lost" in tiles(browser)[1]["state"], 6, "B's tile to say lost")
    assert time.monotonic() - started < 3.5
    assert tiles(browser)[0]["state"] == "fresh"
    line.sims["B"].start()
    wait_for(lambda: tiles(browser)[1]["state"] == "fresh", 10, "B back")


def test_a_download_matches_the_file_on_disk(line, browser):
    browser.get(line.url)
    time.sleep(1.5)
    line.proc.send_signal(signal.SIGHUP)  # the first file is closed, a new one begins
    first = wait_for(lambda: sorted(line.record_dir.glob("*.csv"))[:1] if
                     len(list(line.record_dir.glob("*.csv"))) >= 2 else None, 10, "two files")[0]
    links = wait_for(lambda: browser.find_elements("css selector", "#recordings a"), 15,
                     "the recordings' links")
    assert first.name in [a.text for a in links]
    body = browser.execute_async_script("""
        const done = arguments[arguments.length - 1];
        fetch('recordings/' + encodeURIComponent(arguments[0])).then(r => r.text()).then(done);""",
                                        first.name)
    assert body == first.read_text(newline="")
    assert re.match(r"index,time,seconds,A,B,gap,lt\r\n", body)


def test_the_page_says_when_the_service_is_gone(line, browser):
    browser.get(line.url)
    wait_for(lambda: len(tiles(browser)) == 4, 10, "the tiles")
    assert browser.find_element("id", "lost").is_displayed() is False
    line.stop()
    wait_for(lambda: browser.find_element("id", "lost").is_displayed(), 10, "the lost banner")
    assert urllib.request  # the page keeps trying by itself (EventSource)
