"""A sensor that goes away: its tile says so while the others go on."""
import time

from conftest import end_line, serve_line, tiles, wait_for


def test_a_lost_sensor_says_so_and_recovers(tmp_path, browser):
    line = serve_line(tmp_path)
    try:
        browser.get(line.url)
        wait_for(lambda: len(tiles(browser)) == 4 and tiles(browser)[1]["state"] == "fresh", 10,
                 "B fresh")
        line.sims["B"].stop()
        started = time.monotonic()
        wait_for(lambda: "lost" in tiles(browser)[1]["state"], 6, "B's tile to say lost")
        assert time.monotonic() - started < 3.5
        # The others go on (the rows' times pass to A within a second when B
        # was their reference).
        wait_for(lambda: tiles(browser)[0]["state"] == "fresh", 3, "A fresh while B is lost")
        line.sims["B"].start()
        wait_for(lambda: tiles(browser)[1]["state"] == "fresh", 10, "B back")
    finally:
        end_line(line)
