"""Drives the desktop client for GUI tests, the demo and the screenshots.

A small client of the WebDriver HTTP API talks to WebKitWebDriver, which starts the client
with --automation (honoured only by local builds) and drives its own main web view: the
page, its bridge and the native side are the real ones. Every request has a time-out and
every wait polls for a condition with a deadline.
"""

import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

DEMO_EMAIL = "demo@korvane.example"
DEMO_PASSWORD = "korvane-demo"


class GuiError(Exception):
    pass


def wait_until(condition, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            value = condition()
            if value:
                return value
        except GuiError as error:
            last_error = error
        time.sleep(interval)
    raise GuiError("timed out waiting for %s%s" % (what, " (%s)" % last_error if last_error else ""))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Environment:
    """Private XDG folders and a stand-in default browser that records the links it gets."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="korvane-gui-")
        self.opened_file = os.path.join(self.root, "opened-links")
        dirs = {name: os.path.join(self.root, name) for name in ("data", "config", "cache", "runtime")}
        for path in dirs.values():
            os.makedirs(path, mode=0o700)
        browser = os.path.join(self.root, "record-link")
        with open(browser, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % self.opened_file)
        os.chmod(browser, 0o755)
        apps = os.path.join(dirs["data"], "applications")
        os.makedirs(apps)
        with open(os.path.join(apps, "korvane-test-browser.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Test browser\nExec=%s %%u\n"
                    "MimeType=x-scheme-handler/https;x-scheme-handler/http;\n" % browser)
        with open(os.path.join(dirs["config"], "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/https=korvane-test-browser.desktop\n"
                    "x-scheme-handler/http=korvane-test-browser.desktop\n")
        self.env = dict(os.environ)
        # A private HOME must not lose the way to a real display's X authority.
        xauthority = os.path.expanduser("~/.Xauthority")
        if "XAUTHORITY" not in self.env and os.path.exists(xauthority):
            self.env["XAUTHORITY"] = xauthority
        self.env.update({
            "XDG_DATA_HOME": dirs["data"], "XDG_CONFIG_HOME": dirs["config"],
            "XDG_CACHE_HOME": dirs["cache"], "XDG_RUNTIME_DIR": dirs["runtime"],
            "HOME": self.root, "GTK_A11Y": "none", "NO_AT_BRIDGE": "1",
        })

    def opened_links(self):
        try:
            with open(self.opened_file) as f:
                return [line.strip() for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Services:
    """korvane-demo-services: the loopback panel, configuration, site, support and update hosts."""

    def __init__(self, binary, env, timeout=15):
        # The fixed ports may still be held for a moment by a previous user; try again until
        # the deadline rather than fail at once.
        deadline = time.monotonic() + timeout
        while True:
            self.process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=subprocess.DEVNULL, env=env)
            if self.process.stdout.readline().strip() == b"ready":
                return
            self.close()
            if time.monotonic() > deadline:
                raise GuiError("demo services did not start (ports 18443-18447 taken?)")
            time.sleep(0.5)

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


class Session:
    """One WebDriver session on the client's main view."""

    def __init__(self, client_binary, env, request_timeout=30):
        self.timeout = request_timeout
        self.port = free_port()
        self.driver = subprocess.Popen(["WebKitWebDriver", "--port=%d" % self.port], env=env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.base = "http://127.0.0.1:%d" % self.port
        self.id = None
        try:
            wait_until(self._driver_ready, 15, "WebKitWebDriver")
            caps = {"capabilities": {"alwaysMatch": {
                "browserName": "Korvane",
                "webkitgtk:browserOptions": {"binary": client_binary, "args": ["--automation"]},
            }}}
            self.id = self._call("POST", "/session", caps)["sessionId"]
        except Exception:
            self.close()
            raise

    def _driver_ready(self):
        try:
            return self._call("GET", "/status", timeout=1).get("ready", False)
        except (OSError, GuiError):
            return False

    def _call(self, method, path, body=None, timeout=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=timeout or self.timeout) as response:
                payload = json.loads(response.read() or b"{}")
        except urllib.error.HTTPError as error:
            payload = json.loads(error.read() or b"{}")
            value = payload.get("value", {})
            raise GuiError("%s %s: %s" % (method, path, value.get("message") or value.get("error") or error))
        return payload.get("value", payload)

    def _s(self, path):
        return "/session/%s%s" % (self.id, path)

    def script(self, source, *args):
        return self._call("POST", self._s("/execute/sync"), {"script": source, "args": list(args)})

    def async_script(self, source, *args):
        return self._call("POST", self._s("/execute/async"), {"script": source, "args": list(args)})

    def element(self, css):
        value = self._call("POST", self._s("/element"), {"using": "css selector", "value": css})
        return next(iter(value.values()))

    def click(self, css):
        self._call("POST", self._s("/element/%s/click" % self.element(css)), {})

    def type(self, css, text):
        element = self.element(css)
        self._call("POST", self._s("/element/%s/clear" % element), {})
        if text:
            self._call("POST", self._s("/element/%s/value" % element), {"text": text})

    def text(self, css):
        return self.script("var e = document.querySelector(arguments[0]); return e ? e.textContent : null;", css)

    def visible(self, css):
        return self.script("var e = document.querySelector(arguments[0]);"
                           "return !!e && e.getClientRects().length > 0;", css)

    def wait_visible(self, css, timeout=20):
        return wait_until(lambda: self.visible(css), timeout, css + " to show")

    def set_window_size(self, width, height):
        # Sets the outer size; the page then sees its viewport as the window's content.
        self._call("POST", self._s("/window/rect"), {"width": width, "height": height})

    def viewport(self):
        return self.script("return [window.innerWidth, window.innerHeight];")

    def screenshot(self, path):
        # Two animation frames first, so the last change is painted.
        self.async_script("var done = arguments[arguments.length - 1];"
                          "requestAnimationFrame(function () { requestAnimationFrame(function () { done(1); }); });")
        png = base64.b64decode(self._call("GET", self._s("/screenshot")))
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.write(png)
        return path

    def sign_in(self, email=DEMO_EMAIL, password=DEMO_PASSWORD):
        self.wait_visible("#loginView")
        self.type("#loginEmail", email)
        self.type("#loginPassword", password)
        self.click("#loginButton")
        self.wait_visible("#dashboardView", timeout=30)

    def answer_consent(self, allow=False):
        self.wait_visible("#consentDialog")
        self.click("#consentYes" if allow else "#consentNo")
        wait_until(lambda: not self.visible("#consentDialog"), 10, "the consent question to close")

    def close(self):
        if self.id:
            try:
                self._call("DELETE", "/session/" + self.id, timeout=10)
            except (OSError, GuiError):
                pass
            self.id = None
        if self.driver.poll() is None:
            self.driver.terminate()
            try:
                self.driver.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.driver.kill()
                self.driver.wait()
