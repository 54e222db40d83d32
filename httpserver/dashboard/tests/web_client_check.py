#!/usr/bin/env python3
"""Watches the shared dashboard page in headless Chromium, driven through the DevTools protocol on a
pipe (no extra packages). The test program that runs it makes the changes; this script waits for the
page to show each of them and prints what the page shows, one line per step (and writes it to
<step>.json beside the screenshots, for the test program to see that the step is done):

  INITIAL <rows>    the first dashboard
  CHANGED <rows>    after a result changed to --changed
  RECOVERED <rows>  after the server went away, came back and a result changed to --recovered
  SINGLE <rows>     once the dashboard holds one group only (the test program removes the others)

<rows> is a JSON list of the page's groups and modules with the sizes and colours the browser drew
them with, in a 900x600 window. A screenshot of each step goes to --screenshots.
Exits 0 when every step was seen in time, 1 otherwise (with what the page showed last)."""

import argparse
import base64
import json
import os
import subprocess
import sys
import time

ROWS_SCRIPT = r"""
(() => {
  const board = document.getElementById('dashboard');
  const boardStyle = getComputedStyle(board);
  const groups = [...document.querySelectorAll('.group')].map(g => ({
    name: g.querySelector('.group-name').textContent,
    emoji: g.querySelector('.group-emoji.initial') ? '' : g.querySelector('.group-emoji').textContent,
    color: g.style.getPropertyValue('--group-color'),
    barColor: getComputedStyle(g).borderTopColor,
    width: g.getBoundingClientRect().width,
    collapsed: g.classList.contains('collapsed'),
    modules: [...g.querySelectorAll('.module')].map(m => {
      const result = m.querySelector('.module-result');
      const link = result.querySelector('a');
      const style = getComputedStyle(result);
      return {
        name: m.querySelector('.module-name').textContent,
        state: m.dataset.state,
        text: result.textContent,
        title: result.title,
        color: result.style.color,
        href: link ? link.getAttribute('href') : null,
        width: result.getBoundingClientRect().width,
        lines: Math.round(result.getBoundingClientRect().height / parseFloat(style.lineHeight)),
        cut: result.scrollHeight > result.clientHeight + 1 || result.scrollWidth > result.clientWidth + 1,
      };
    }),
  }));
  const q = window.quorvane || {};
  return JSON.stringify({
    groups,
    boardWidth: board.clientWidth - parseFloat(boardStyle.paddingLeft) - parseFloat(boardStyle.paddingRight),
    status: document.getElementById('status').dataset.state,
    renders: q.renders || 0,
    reconnects: q.reconnects || 0,
  });
})()
"""


class Browser:
    """Headless Chromium with its DevTools protocol on file descriptors 3 (in) and 4 (out)."""

    def __init__(self, chromium, profile):
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()

        def child_fds():
            high_in = os.dup(to_browser_read)
            high_out = os.dup(from_browser_write)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)

        self.process = subprocess.Popen(
            [
                chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-extensions", "--hide-scrollbars", "--mute-audio", "--window-size=900,600",
                "--user-data-dir=" + profile, "--remote-debugging-pipe", "about:blank",
            ],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(3, 4), preexec_fn=child_fds,
        )
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.buffer = b""
        self.next_id = 1
        self.session = None

    def call(self, method, params=None, session=True, timeout=30):
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        self.next_id += 1
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                reply = json.loads(raw)
                if reply.get("id") == message["id"]:
                    if "error" in reply:
                        raise RuntimeError(f"{method}: {reply['error']}")
                    return reply.get("result", {})
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise RuntimeError("the browser went away")
            self.buffer += chunk
        raise RuntimeError(f"{method}: no answer")

    def open(self, url):
        targets = self.call("Target.getTargets", session=False)["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", {"targetId": page["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        self.call("Page.enable")
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": 900, "height": 600, "deviceScaleFactor": 1, "mobile": False})
        self.call("Page.navigate", {"url": url})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        return result.get("result", {}).get("value")

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=5)
        except Exception:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def texts(page):
    return [m["text"] for g in page["groups"] for m in g["modules"]]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--chromium", default="chromium")
    parser.add_argument("--url", required=True)
    parser.add_argument("--profile", required=True)
    parser.add_argument("--screenshots", required=True)
    parser.add_argument("--changed", required=True)
    parser.add_argument("--recovered", required=True)
    parser.add_argument("--timeout", type=float, default=40)
    args = parser.parse_args()
    os.makedirs(args.screenshots, exist_ok=True)

    browser = Browser(args.chromium, args.profile)
    last = {}

    def wait_for(step, condition):
        nonlocal last
        deadline = time.monotonic() + args.timeout
        while time.monotonic() < deadline:
            value = browser.evaluate(ROWS_SCRIPT)
            if value:
                last = json.loads(value)
                if condition(last):
                    print(step, json.dumps(last), flush=True)
                    time.sleep(0.3)  # lets the change highlight settle a little for the picture
                    browser.screenshot(os.path.join(args.screenshots, step.lower() + ".png"))
                    # Tells the test program that the step was seen, so that it makes the next change.
                    with open(os.path.join(args.screenshots, step.lower() + ".json"), "w") as out:
                        json.dump(last, out)
                    return
            time.sleep(0.1)
        raise RuntimeError(f"{step}: not seen in time; the page showed {json.dumps(last)}")

    try:
        browser.open(args.url)
        wait_for("INITIAL", lambda p: p["renders"] >= 1 and p["status"] == "live" and texts(p))
        wait_for("CHANGED", lambda p: args.changed in texts(p))
        wait_for("RECOVERED", lambda p: p["reconnects"] >= 1 and p["status"] == "live" and args.recovered in texts(p))
        # The same page as a browser in dark mode shows it.
        browser.call("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        time.sleep(1.5)
        browser.screenshot(os.path.join(args.screenshots, "dark.png"))
        browser.call("Emulation.setEmulatedMedia", {"features": []})
        with open(os.path.join(args.screenshots, "dark.json"), "w") as out:
            json.dump({}, out)
        wait_for("SINGLE", lambda p: len(p["groups"]) == 1)
        return 0
    except Exception as error:  # the test prints what went wrong
        print("ERROR", error, flush=True)
        return 1
    finally:
        browser.close()


if __name__ == "__main__":
    sys.exit(main())
