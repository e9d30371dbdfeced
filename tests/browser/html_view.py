#!/usr/bin/python3
"""Drives headless Chromium over its DevTools protocol to check and measure
the page that dovrel's "export" writes as "html".

Usage:
  html_view.py check DOVREL SOURCE_DIR WORK_DIR
      Builds examples/library.json, exports it as html and checks in the
      browser that the table shows every track, that the search box
      filters, that sorting by a column sorts, that a playlist shows its
      tracks in order, and that the page asks for nothing over the network.
      Prints 'N passed, N failed'; exits 77 (skipped) when Chromium is not
      installed or cannot start.
  html_view.py measure PAGE [RUNS]
      Loads PAGE RUNS times (default 3) and prints the best times from the
      start of loading to the first rows drawn and to the whole page
      working (search, sorting, tree), in milliseconds: "FIRST READY".
  html_view.py screenshot PAGE PNG [WIDTH HEIGHT]
      Saves a screenshot of PAGE once its rows are drawn.
  html_view.py make-art ROOT PATH...
      Writes a small coloured JPEG thumbnail at ROOT + PATH for each PATH
      (stand-in artwork for the example).

The browser is Debian's chromium, found on PATH or as /usr/bin/chromium,
run with a new empty profile and without any background networking; the
protocol runs over a pipe (--remote-debugging-pipe), so that nothing but
Python's standard library is needed.
"""
import base64
import json
import os
import pathlib
import select
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage", "--hide-scrollbars", "--mute-audio"]


class BrowserUnavailable(Exception):
    pass


def chromium_path():
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    return "/usr/bin/chromium" if os.access("/usr/bin/chromium", os.X_OK) else None


class Browser:
    """One headless Chromium and one page in it, spoken to over a pipe."""

    def __init__(self, width=1280, height=800):
        path = chromium_path()
        if not path:
            raise BrowserUnavailable("chromium is not installed (apt-get install chromium)")
        self.profile = tempfile.mkdtemp(prefix="dovrel-chromium-")
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        # The browser reads commands on fd 3 and answers on fd 4; bash puts
        # the pipe's ends there.
        self.process = subprocess.Popen(
            ["/bin/bash", "-c", f'exec "$0" "$@" 3<&{to_browser_r} 4>&{from_browser_w}', path, *FLAGS,
             f"--user-data-dir={self.profile}", f"--window-size={width},{height}", "--remote-debugging-pipe",
             "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(to_browser_r, from_browser_w))
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        self.session = None
        try:
            target = self.call("Target.createTarget", {"url": "about:blank"}, timeout=30)["targetId"]
            self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        except (OSError, TimeoutError, RuntimeError) as e:
            self.close()
            raise BrowserUnavailable(f"chromium did not start: {e}")
        self.call("Page.enable")
        self.call("Runtime.enable")
        self.call("Network.enable")
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def close(self):
        try:
            self.process.kill()
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        for fd in (self.to_browser, self.from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("no answer from the browser")
            ready, _, _ = select.select([self.from_browser], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                continue
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise OSError("the browser closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, timeout=60):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer.get("result", {})
            if "method" in answer:
                self.events.append(answer)

    def evaluate(self, expression, timeout=60):
        result = self.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True}, timeout=timeout)
        if "exceptionDetails" in result:
            raise RuntimeError(f"script failed: {result['exceptionDetails']}")
        return result["result"].get("value")

    def open(self, url, timeout=60):
        """Loads `url` and waits until the page says it is ready."""
        self.events.clear()
        self.call("Page.navigate", {"url": url})
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                if self.evaluate("document.body && document.body.dataset.ready === '1'"):
                    return
            except RuntimeError:
                pass
            time.sleep(0.05)
        raise TimeoutError(f"{url} did not get ready")

    def requests(self):
        return [e["params"]["request"]["url"] for e in self.events if e.get("method") == "Network.requestWillBeSent"]


# Scrolls through the table and returns every row drawn, in display order:
# [id, position, bpm text].
ROWS = """(async () => {
  const v = document.getElementById("viewport"), seen = new Map();
  const frame = () => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
  for (let top = 0; ; top += Math.max(1, Math.floor(v.clientHeight / 2))) {
    v.scrollTop = top;
    await frame();
    for (const row of document.querySelectorAll("#spacer .row")) {
      const at = parseInt(row.style.top, 10);
      seen.set(at, [Number(row.dataset.id), Number(row.dataset.position), row.children[7].textContent]);
    }
    if (top >= v.scrollHeight) break;
  }
  v.scrollTop = 0;
  await frame();
  return [...seen.entries()].sort((a, b) => a[0] - b[0]).map(e => e[1]);
})()"""


def settle(browser):
    # Past the search box's pause (120 ms) and two frames.
    browser.evaluate("new Promise(r => setTimeout(() => requestAnimationFrame(() => requestAnimationFrame(r)), 300))")


def run_checks(browser, page, report):
    checks = []

    def check(what, ok, detail=""):
        checks.append(ok)
        print(f"{'ok' if ok else 'FAILED'}: {what}{'' if ok else ': ' + detail}")

    tracks = report["tracks"]
    browser.open(page.as_uri())
    rows = browser.evaluate(ROWS)
    ids = [r[0] for r in rows]
    check("the table shows every track, in table order", ids == [t["id"] for t in tracks], f"{ids}")
    count = browser.evaluate("document.getElementById('count').textContent")
    check("the count names every track", count == f"{len(tracks)} tracks", count)
    summary = browser.evaluate("document.getElementById('summary').textContent")
    check("the summary names the tracks and playlists",
          f"{len(tracks)} tracks" in summary and "5 playlists" in summary and "2 folders" in summary, summary)

    def search(text):
        browser.evaluate(f"""(() => {{ const s = document.getElementById("search");
            s.value = {json.dumps(text)}; s.dispatchEvent(new Event("input")); }})()""")
        settle(browser)
        return [r[0] for r in browser.evaluate(ROWS)]

    fields = ["title", "artist", "album", "genre", "key", "comment", "audioPath"]
    for query in ["lindqvist", "TECHNO", "nadia market", "東京", "no such track"]:
        words = query.lower().split()
        expected = [t["id"] for t in tracks
                    if all(any(w in str(t[f]).lower() for f in fields) for w in words)]
        got = search(query)
        check(f"searching '{query}' shows the {len(expected)} matching tracks", got == expected, f"{got} != {expected}")
    search("")

    browser.evaluate("document.querySelector('#head [data-column=bpm]').click()")
    settle(browser)
    rows = browser.evaluate(ROWS)
    bpms = [float(r[2]) for r in rows]
    expected = [t["id"] for t in sorted(tracks, key=lambda t: t["bpm"])]
    check("sorting by BPM sorts up, ties in table order", [r[0] for r in rows] == expected and bpms == sorted(bpms),
          f"{[r[0] for r in rows]}")
    browser.evaluate("document.querySelector('#head [data-column=bpm]').click()")
    settle(browser)
    rows = browser.evaluate(ROWS)
    down = [t["id"] for t in sorted(tracks, key=lambda t: -t["bpm"])]
    check("sorting again sorts down", [r[0] for r in rows] == down, f"{[r[0] for r in rows]}")
    browser.evaluate("document.querySelector('#head [data-column=title]').click()")
    settle(browser)
    titles = browser.evaluate(ROWS)
    check("sorting by title sorts every track", sorted(r[0] for r in titles) == sorted(t["id"] for t in tracks)
          and titles[0][0] != ids[0], f"{titles}")

    for playlist in report["playlists"]:
        if playlist["isFolder"]:
            continue
        browser.evaluate(f"document.querySelector('#tree [data-playlist=\"{playlist['id']}\"]').click()")
        settle(browser)
        rows = browser.evaluate(ROWS)
        check(f"playlist '{playlist['name']}' shows its tracks in order",
              [r[0] for r in rows] == playlist["tracks"] and [r[1] for r in rows] == list(
                  range(1, len(playlist["tracks"]) + 1)), f"{rows}")
    browser.evaluate("document.querySelector('#tree [data-folder=\"10\"]').click()")
    hidden = browser.evaluate("document.querySelector('#tree [data-playlist=\"12\"]').hidden")
    check("closing a folder hides what it holds", hidden is True, f"{hidden}")

    others = [u for u in browser.requests() if u != page.as_uri()]
    check("the page asks for nothing but itself", not others, f"{others}")
    return checks


def check_main(dovrel, source, work):
    work.mkdir(parents=True, exist_ok=True)
    work = work.resolve()
    request = json.loads((source / "examples/library.json").read_text(encoding="utf-8"))
    request["output"] = str(work / "library.pdb")
    build = subprocess.run([dovrel], input=json.dumps(request).encode(), capture_output=True)
    if build.returncode != 0:
        print(f"build failed: {build.stderr.decode()}\n0 passed, 1 failed")
        return 1
    report = json.loads(build.stdout)
    page = work / "library.html"
    export = {"action": "export", "format": "html", "input": request["output"], "output": str(page)}
    run = subprocess.run([dovrel], input=json.dumps(export).encode(), capture_output=True)
    if run.returncode != 0:
        print(f"export failed: {run.stderr.decode()}\n0 passed, 1 failed")
        return 1
    try:
        browser = Browser()
    except BrowserUnavailable as e:
        print(f"{e}: browser test skipped")
        return SKIP
    try:
        checks = run_checks(browser, page, report)
    finally:
        browser.close()
    passed = sum(checks)
    print(f"{passed} passed, {len(checks) - passed} failed")
    return 0 if passed == len(checks) else 1


def measure_main(page, runs):
    try:
        browser = Browser()
    except BrowserUnavailable as e:
        print(f"{e}", file=sys.stderr)
        return SKIP
    try:
        best = None
        for _ in range(runs):
            browser.open(page.resolve().as_uri(), timeout=120)
            first = int(browser.evaluate("Number(document.body.dataset.firstRowsMs)"))
            ready = int(browser.evaluate("Number(document.body.dataset.readyMs)"))
            rows = browser.evaluate("document.querySelectorAll('#spacer .row').length")
            if not rows:
                raise RuntimeError("no rows drawn")
            best = (first, ready) if best is None else (min(best[0], first), min(best[1], ready))
        print(f"{best[0]} {best[1]}")
    finally:
        browser.close()
    return 0


def screenshot_main(page, png, width, height):
    try:
        browser = Browser(width, height)
    except BrowserUnavailable as e:
        print(f"{e}: no screenshot", file=sys.stderr)
        return SKIP
    try:
        browser.open(page.resolve().as_uri())
        data = browser.call("Page.captureScreenshot", {"format": "png"})["data"]
        png.write_bytes(base64.b64decode(data))
    finally:
        browser.close()
    return 0


def make_art_main(root, paths):
    try:
        browser = Browser()
    except BrowserUnavailable as e:
        print(f"{e}: no artwork made", file=sys.stderr)
        return SKIP
    try:
        for n, path in enumerate(paths):
            uri = browser.evaluate(f"""(() => {{ const c = document.createElement("canvas");
                c.width = c.height = 64; const g = c.getContext("2d");
                g.fillStyle = "hsl({(n * 47) % 360},60%,55%)"; g.fillRect(0, 0, 64, 64);
                g.fillStyle = "#fff"; g.font = "bold 22px sans-serif"; g.textAlign = "center";
                g.textBaseline = "middle"; g.fillText("{n + 1}", 32, 33);
                return c.toDataURL("image/jpeg", 0.85); }})()""")
            data = uri.split(",", 1)[1]
            target = root / path.lstrip("/")
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(base64.b64decode(data))
    finally:
        browser.close()
    return 0


def main(argv):
    if len(argv) >= 5 and argv[1] == "check":
        return check_main(argv[2], pathlib.Path(argv[3]), pathlib.Path(argv[4]))
    if len(argv) in (3, 4) and argv[1] == "measure":
        return measure_main(pathlib.Path(argv[2]), int(argv[3]) if len(argv) == 4 else 3)
    if len(argv) in (4, 6) and argv[1] == "screenshot":
        size = (int(argv[4]), int(argv[5])) if len(argv) == 6 else (1400, 860)
        return screenshot_main(pathlib.Path(argv[2]), pathlib.Path(argv[3]), *size)
    if len(argv) >= 3 and argv[1] == "make-art":
        return make_art_main(pathlib.Path(argv[2]), argv[3:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
