"""The line's page in a real headless Chromium against mk27x serve: one service
and one browser for the module, the tests in order (the last one stops the
service and starts it again)."""
import re
import signal

from conftest import tiles, wait_for


def test_tiles_chart_limits_and_text(line, browser):
    browser.get(line.url)
    def first_values():
        t = tiles(browser)
        ready = len(t) == 4 and t[0]["value"] != "—" and t[1]["value"] != "—" and t[1]["judgement"]
        return t if ready else None

    shown = wait_for(first_values, 10, "the tiles' first values")
    assert [t["name"] for t in shown] == ["A", "B", "gap", "lt"]
    api = wait_for(lambda: (lambda i: i if i[1]["value_mm"] is not None else None)(line.items()),
                   10, "B's value in the API")
    assert [(i["name"], i["kind"]) for i in api] == [
        ("A", "sensor"), ("B", "sensor"), ("gap", "channel"), ("lt", "channel")]
    assert abs(float(shown[1]["value"]) - api[1]["value_mm"]) < 0.01
    assert shown[0]["state"] == "fresh"
    assert "MK27, serial 4321, range 50 mm from 100 mm" in shown[1]["detail"]
    # A limit the value is above: the word, not the colour alone.
    assert shown[1]["judgement"] == "high" and "high" in shown[1]["cls"]
    assert shown[0]["judgement"] == "" and "high" not in shown[0]["cls"]
    # A port and an expression full of markup are text, never markup.
    assert "<img src=x onerror=alert(1)>" in shown[1]["detail"]
    assert "A<B" in shown[3]["detail"]
    assert browser.execute_script("return document.querySelectorAll('main img, main b').length") == 0
    # A sine: the value and the chart change over time.
    first = shown[0]["value"]
    wait_for(lambda: tiles(browser)[0]["value"] != first, 5, "A's value to change")
    canvas = "return document.querySelector('#chart canvas').toDataURL()"
    picture = wait_for(lambda: browser.execute_script(canvas), 10, "the chart")
    wait_for(lambda: browser.execute_script(canvas) != picture, 10, "the chart to move")
    # A phone's width stacks the tiles in one column.
    lefts = "return [...document.querySelectorAll('#tiles .tile')].map(t => t.offsetLeft)"
    assert len(set(browser.execute_script(lefts))) > 1
    browser.set_window_size(400, 900)
    wait_for(lambda: len(set(browser.execute_script(lefts))) == 1, 5, "the tiles stacked")
    browser.set_window_size(1200, 1000)


def test_statistics_status_and_a_download_that_matches_the_file(line, browser):
    line.proc.send_signal(signal.SIGHUP)  # the first file is closed, a new one begins
    first = wait_for(lambda: sorted(line.record_dir.glob("*.csv"))[:1] if
                     len(list(line.record_dir.glob("*.csv"))) >= 2 else None, 10, "two files")[0]
    browser.get(line.url)
    links = wait_for(lambda: browser.find_elements("css selector", "#recordings a"), 10,
                     "the recordings' links")
    assert first.name in [a.text for a in links]
    body = browser.execute_async_script("""
        const done = arguments[arguments.length - 1];
        fetch('recordings/' + encodeURIComponent(arguments[0])).then(r => r.text()).then(done);""",
                                        first.name)
    assert body == first.read_bytes().decode()
    assert re.match(r"index,time,seconds,A,B,gap,lt\r\n0,", body)
    # Every item twice (since the start, the last minute); B's values all high.
    rows = wait_for(lambda: browser.execute_script("""
        return [...document.querySelectorAll('#statistics tbody tr')]
            .map(r => [...r.cells].map(c => c.textContent));"""), 10, "the statistics")
    assert [r[0] for r in rows[::2]] == ["A", "B", "gap", "lt"]
    b = rows[2]
    assert int(b[2]) > 0 and b[10] == "0" and b[12] == b[2]
    assert float(rows[3][7]) > 250  # B's last minute at its 500 values a second
    service = wait_for(lambda: browser.find_element("id", "service").text, 10, "the status")
    assert "not publishing" in service and "Recording" in service
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert errors == []


def test_the_page_says_when_the_service_is_gone_and_comes_back(line, browser):
    wait_for(lambda: tiles(browser)[0]["state"] == "fresh", 10, "A fresh")
    assert not browser.find_element("id", "lost").is_displayed()
    assert line.stop() == 0
    wait_for(lambda: browser.find_element("id", "lost").is_displayed(), 10, "the lost banner")
    assert "Not connected" in browser.find_element("id", "status").text
    line.start()
    wait_for(lambda: not browser.find_element("id", "lost").is_displayed(), 15,
             "the page back by itself")
    wait_for(lambda: tiles(browser)[0]["state"] == "fresh", 10, "A fresh again")
