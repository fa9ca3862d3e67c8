"""Headless Chromium for the page's tests, driven through its DevTools protocol over a pipe (no package
needed): a page opened at a given width or for print, its script's answers read back, and keys pressed and
bars clicked as a user's own input (a script's events do not press a button)."""

import json
import os
import select
import shutil
import subprocess
import time
from pathlib import Path

import pytest

_KEYS = {
    "Tab": {"key": "Tab", "code": "Tab", "windowsVirtualKeyCode": 9},
    "Enter": {"key": "Enter", "code": "Enter", "windowsVirtualKeyCode": 13, "text": "\r"},
}


def chromium():
    """Chromium's command, with what it needs to run headless here; skips, saying why, where it is missing."""
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        pytest.skip("Chromium is missing (Debian's chromium, which scripts/test.sh installs when run as root)")
    # Root in the confinement: Chromium's own sandbox needs what the confinement takes away.
    root = ["--no-sandbox"] if hasattr(os, "geteuid") and os.geteuid() == 0 else []
    return [found, "--headless", *root, "--disable-gpu", "--no-first-run", "--disable-dev-shm-usage"]


def browser_environment():
    """This process's environment less what a sanitizer run preloads into it: Chromium is not the module, and
    hangs with that runtime in it."""
    return {
        name: value
        for name, value in os.environ.items()
        if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")
    }


class Browser:
    """One Chromium whose commands go down the pipe it reads as its fd 3, answers up the one it writes as fd 4."""

    def __init__(self, profile):
        import fcntl  # only where Chromium runs: not on Windows

        command = chromium()
        commands, self._answers = os.pipe(), os.pipe()
        # Out of the way of 3 and 4, where the child wants them.
        ends = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (commands[0], self._answers[1])]
        for fd in (commands[0], self._answers[1]):
            os.close(fd)

        def onto_3_and_4():
            os.dup2(ends[0], 3)
            os.dup2(ends[1], 4)

        self.process = subprocess.Popen(
            [*command, f"--user-data-dir={profile}", "--remote-debugging-pipe", "about:blank"],
            pass_fds=(3, 4),
            preexec_fn=onto_3_and_4,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            env={**browser_environment(), "HOME": str(profile)},
        )
        for fd in ends:
            os.close(fd)
        self._out, self._in, self._buffer, self._last = commands[1], self._answers[0], b"", 0

    def send(self, method, session=None, **params):
        self._last += 1
        message = {"id": self._last, "method": method, "params": params, **({"sessionId": session} if session else {})}
        os.write(self._out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + 60
        while True:
            while b"\0" not in self._buffer:
                ready, _, _ = select.select([self._in], [], [], max(0.0, deadline - time.monotonic()))
                assert ready, f"Chromium did not answer {method} within 60 s"
                chunk = os.read(self._in, 1 << 16)
                assert chunk, f"Chromium closed its pipe on {method}"
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == self._last:  # anything else is an event
                assert "error" not in answer, f"{method}: {answer['error']}"
                return answer["result"]

    def open(self, page, width=1100, media="screen"):
        """A new tab that shows the page, ``width`` CSS pixels wide, for the screen or for print."""
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        tab = Tab(self, target, self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"])
        tab.send("Emulation.setDeviceMetricsOverride", width=width, height=900, deviceScaleFactor=1, mobile=False)
        tab.send("Emulation.setFocusEmulationEnabled", enabled=True)
        tab.send("Emulation.setEmulatedMedia", media=media)
        url = Path(page).as_uri()
        tab.send("Page.navigate", url=url)
        deadline = time.monotonic() + 60
        while not tab.evaluate(f"location.href === {json.dumps(url)} && document.readyState === 'complete'"):
            assert time.monotonic() < deadline, f"{page} did not load within 60 s"
            time.sleep(0.05)
        return tab

    def close(self):
        try:
            self.send("Browser.close")
            self.process.wait(timeout=30)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            os.close(self._out)
            os.close(self._in)


class Tab:
    def __init__(self, browser, target, session):
        self.browser, self.target, self.session = browser, target, session

    def send(self, method, **params):
        return self.browser.send(method, self.session, **params)

    def evaluate(self, expression):
        """The value of a script run in the page (JSON values only)."""
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True)
        assert "exceptionDetails" not in result, result["exceptionDetails"]
        return result["result"].get("value")

    def settled(self, expression, expected):
        """The value of ``expression`` once it is ``expected`` (what input sets off can land a moment later),
        or its last value after 10 s."""
        deadline = time.monotonic() + 10
        while (value := self.evaluate(expression)) != expected and time.monotonic() < deadline:
            time.sleep(0.05)
        return value

    def press(self, name):
        key = _KEYS[name]
        self.send("Input.dispatchKeyEvent", type="keyDown" if "text" in key else "rawKeyDown", **key)
        self.send("Input.dispatchKeyEvent", type="keyUp", **{k: v for k, v in key.items() if k != "text"})

    def click(self, x, y):
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def close(self):
        self.browser.send("Target.closeTarget", targetId=self.target)
