"""Reads a part of the X server's screen every 15 ms, as a person's eye would sample it, and says for each reading
whether it still shows the page: `grabber.py <display> <x> <y> <width> <height> <seconds> <out> [dark]` (seconds 0:
until SIGTERM).

A reading counts as something else when more than 5 % of its pixels differ from the first by more than 24 in any
colour channel (for a page that does not change: an error page in its place differs in far more), or, with "dark" (a
page that is light on dark and changes a little with every answer), when more than half of its pixels are light.
Needs Debian's python3-pil built with XCB support; harness.py runs it with the first Python that has it.
"""

import json
import signal
import sys
import time

from PIL import ImageChops, ImageGrab


def main():
    display = sys.argv[1]
    x, y, width, height = (int(v) for v in sys.argv[2:6])
    seconds, out = float(sys.argv[6]), sys.argv[7]
    dark = sys.argv[8:] == ["dark"]
    box = (x, y, x + width, y + height)
    first = ImageGrab.grab(bbox=box, xdisplay=display).convert("RGB")
    samples = []
    began = time.monotonic()
    stopped = []
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))
    while not stopped and (not seconds or time.monotonic() - began < seconds):
        shot = ImageGrab.grab(bbox=box, xdisplay=display).convert("RGB")
        if dark:
            changed = 2 * (shot.convert("L").point(lambda v: 255 if v > 128 else 0).histogram()[255] / (width * height))
        else:
            difference = ImageChops.difference(shot, first).convert("L").point(lambda v: 255 if v > 24 else 0)
            changed = difference.histogram()[255] / (width * height) / 0.05
        samples.append([round(time.monotonic(), 3), round(changed, 4)])
        time.sleep(max(0.0, 0.015 - (time.monotonic() - samples[-1][0])))
    # Above 1: not the page.
    with open(out, "w") as f:
        json.dump(samples, f)


if __name__ == "__main__":
    main()
