#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The service's pages in a real browser.

Starts histfeed-service with its HTTP side, a source streaming values into
it and headless Chromium, then opens each page and checks what a person
would see: the connection appears, the point's last value changes, the
chart draws its series. Saves a screenshot of each page to --out.

Chromium is driven through its DevTools protocol over a pipe (file
descriptors 3 and 4 of the browser), so nothing beyond Python and
Debian's chromium is needed. Exits 77 (skipped) when Chromium is missing.
"""
import argparse
import base64
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

WAIT_SECONDS = 60  # generous: the machine may be busy with other builds


class Failure(Exception):
    pass


class Browser:
    """One headless Chromium and one page in it."""

    def __init__(self, chromium, profile):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def wire_pipe():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)

        self.process = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--no-default-browser-check", "--disable-extensions", "--disable-sync",
             "--disable-background-networking", "--disable-component-update",
             "--disable-dev-shm-usage", "--hide-scrollbars", "--remote-debugging-pipe",
             "--user-data-dir=" + profile, "--window-size=1280,900", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(3, 4), preexec_fn=wire_pipe)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self.session = None
        self.errors = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]
        self.call("Runtime.enable")
        self.call("Page.enable")
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False})

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise Failure("the browser did not answer")
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                raise Failure("the browser ended")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if self.session:
            message["sessionId"] = self.session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + WAIT_SECONDS
        while True:
            reply = self._read_message(deadline)
            if reply.get("method") == "Runtime.exceptionThrown":
                details = reply["params"]["exceptionDetails"]
                self.errors.append(details.get("exception", {}).get("description")
                                   or details.get("text"))
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise Failure(method + ": " + reply["error"].get("message", "error"))
                return reply["result"]

    def open(self, url):
        self.call("Page.navigate", {"url": url})
        self.wait("document.readyState === 'complete'", "the page " + url + " to load")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate",
                           {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise Failure("evaluating " + expression + ": " +
                          result["exceptionDetails"].get("text", "exception"))
        return result["result"].get("value")

    def wait(self, expression, what):
        """Waits until `expression` is truthy in the page; returns its value."""
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.2)
        raise Failure("waited in vain for " + what)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        try:
            self.session = None
            self.call("Browser.close")
        except Failure:
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def start_service(binary, work):
    log = open(os.path.join(work, "service.log"), "w+")
    process = subprocess.Popen(
        [binary, "serve", "--db", os.path.join(work, "history.db"), "--universal-port", "0",
         "--classic-port", "0", "--http", "127.0.0.1:0"],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        log.seek(0)
        text = log.read()
        http = re.search(r"http pages on http://127\.0\.0\.1:(\d+)/", text)
        universal = re.search(r"universal listening on 127\.0\.0\.1:(\d+)", text)
        if http and universal:
            return process, int(http.group(1)), int(universal.group(1))
        if process.poll() is not None:
            break
        time.sleep(0.1)
    raise Failure("the service did not start:\n" + text)


def send_garbage(port):
    """A frame with a wrong start marker: the service refuses it."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT_SECONDS) as connection:
        connection.sendall(b"\xff" * 12)
        connection.recv(1)


def check_overview(browser, base, out):
    browser.open(base + "/")
    row = "document.querySelector('#connections tbody tr[data-family=universal]')"
    browser.wait(row + " !== null", "the streaming connection to appear on the overview")
    frames = "Number(%s.querySelector('.frames').textContent.replace(/,/g, ''))" % row
    before = browser.evaluate(frames)
    browser.wait("%s > %d" % (frames, before), "the connection's frame count to grow")
    browser.wait("[...document.querySelectorAll('#rejections td')]"
                 ".some(td => td.textContent === 'bad start marker')",
                 "the refused frame to show among the rejections")
    stored = browser.evaluate("document.getElementById('stored').textContent")
    if stored in ("–", "0"):
        raise Failure("the overview shows no values stored: " + stored)
    browser.screenshot(os.path.join(out, "overview.png"))


def check_points(browser, base, out):
    browser.open(base + "/points")
    row = "document.querySelector('#points tbody tr[data-point=LIVE001]')"
    browser.wait(row + " !== null", "LIVE001 to be listed")
    value = "%s.querySelector('.last-value').textContent" % row
    stamp = "%s.querySelector('.last-time').textContent" % row
    first = (browser.evaluate(value), browser.evaluate(stamp))
    browser.wait("%s !== %s && %s !== %s" % (value, json.dumps(first[0]), stamp,
                                              json.dumps(first[1])),
                 "LIVE001's last value and time to change")
    rows = browser.evaluate("document.querySelectorAll('#points tbody tr').length")
    if rows != 3:
        raise Failure("expected the 3 streamed points, the page lists %s" % rows)
    browser.screenshot(os.path.join(out, "points.png"))
    # Searching narrows the list to the matching point.
    browser.evaluate("const s = document.getElementById('search'); s.value = 'live002';"
                     "s.dispatchEvent(new Event('input')); true")
    browser.wait("[...document.querySelectorAll('#points tbody tr')]"
                 ".map(r => r.dataset.point).join() === 'LIVE002'", "the search to find LIVE002")
    browser.wait("document.getElementById('range').textContent === '1–1 of 1'",
                 "the search to count one match")


def check_point(browser, base, out):
    browser.open(base + "/point?family=universal&kind=point&point=LIVE001")
    browser.wait("(() => { const p = document.getElementById('series');"
                 " return p && p.getAttribute('d').split('L').length > 5; })()",
                 "the chart to draw LIVE001's series")
    drawn_to = "Number(document.querySelector('#chart svg').dataset.to)"
    last = "document.getElementById('last-value').textContent"
    browser.wait("%s !== '–'" % last, "the last value to show")
    before = (browser.evaluate(drawn_to), browser.evaluate(last))
    browser.wait("%s > %d && %s !== %s" % (drawn_to, before[0], last, json.dumps(before[1])),
                 "the chart and the last value to follow new values")
    browser.wait("[...document.querySelectorAll('#config dd')]"
                 ".some(dd => dd.textContent === 'Live wave 1')",
                 "the stored configuration to show")
    browser.screenshot(os.path.join(out, "point.png"))
    # Zooming in narrows the view and stops following.
    span = "(() => { const d = document.querySelector('#chart svg').dataset;"\
           " return Number(d.to) - Number(d.from); })()"
    wide = browser.evaluate(span)
    browser.evaluate("document.getElementById('zoom-in').click(); true")
    browser.wait("%s < %d" % (span, wide), "zooming in to narrow the chart")
    if browser.evaluate("document.getElementById('follow').checked"):
        raise Failure("the chart still follows new values after zooming in")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--service", required=True)
    parser.add_argument("--feed", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        print("chromium is not installed (scripts/install-deps.sh installs it); skipped")
        return 77
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="histfeed-pages-")
    service = feed = browser = None
    try:
        service, http_port, universal_port = start_service(args.service, work)
        feed = subprocess.Popen([args.feed, str(universal_port), "3", "0", "200"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        send_garbage(universal_port)
        browser = Browser(chromium, os.path.join(work, "profile"))
        base = "http://127.0.0.1:%d" % http_port
        for check in (check_overview, check_points, check_point):
            check(browser, base, args.out)
            print("ok: " + check.__name__.replace("check_", "") + " page")
        if browser.errors:
            raise Failure("the pages raised script errors: " + "; ".join(browser.errors))
        print("screenshots in " + args.out)
        print("3 passed, 0 failed")
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure)
        if browser is not None:
            try:
                browser.screenshot(os.path.join(args.out, "failure.png"))
                print("the page at the failure: " + os.path.join(args.out, "failure.png"))
            except Failure:
                pass
        return 1
    finally:
        if browser is not None:
            browser.close()
        for process in (feed, service):
            if process is not None and process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
