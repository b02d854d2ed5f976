"""Drives the desktop client for GUI tests, the demo and the screenshots.

A small client of the WebDriver HTTP API talks to WebKitWebDriver, which starts the client
with --automation (honoured only by local builds) and drives its own main web view: the
page, its bridge and the native side are the real ones. Every request has a time-out and
every wait polls for a condition with a deadline.
"""

import base64
import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

DEMO_EMAIL = "demo@korvane.example"
DEMO_PASSWORD = "korvane-demo"
# The node of the demo subscription that a real SOCKS5 proxy of the demo services stands behind.
LIVE_NODE = "美国 04"
LOCAL_PROXY = ("127.0.0.1", 7897)
STAND_INS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "stand_ins")
PROXY_KINDS = ("webproxy", "securewebproxy", "socksfirewallproxy")


class GuiError(Exception):
    pass


def _default_signals():
    """In a child before it runs: no signal blocked. The demo blocks SIGINT and SIGTERM for its
    own sigwait, and a blocked mask is inherited: the client would never see the SIGTERM that
    asks it to quit, nor a bus service the SIGTERM it raises when its bus goes away."""
    signal.pthread_sigmask(signal.SIG_SETMASK, set())


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


def fetch_through_local_proxy(url_host, url_port, path, cafile, timeout=10):
    """GET https://url_host:url_port/path through the client's local port (HTTP CONNECT),
    trusting cafile; returns (status, body text)."""
    context = ssl.create_default_context(cafile=cafile)
    connection = http.client.HTTPSConnection(LOCAL_PROXY[0], LOCAL_PROXY[1], timeout=timeout, context=context)
    try:
        connection.set_tunnel(url_host, url_port)
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read().decode("utf-8", "replace")
    finally:
        connection.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Environment:
    """Private XDG folders, a stand-in default browser that records the links it gets, and a
    private system root (KORVANE_ROOT) holding the stand-ins of the network settings tool and
    the script host, so that connecting switches the stand-in's services, never the machine's.

    With desktop=True the client switches the GNOME desktop's proxy settings instead, as it
    chooses by itself when they are there: those of a private session bus that this object
    starts, whose dconf store keeps its files in the private configuration folder, never the
    machine's. Otherwise the client is told to use the stand-ins (KORVANE_PROXY_BACKEND)."""

    SERVICES = [("Wi-Fi", False), ("USB 10/100/1000 LAN", False), ("Bluetooth PAN", True)]

    def __init__(self, desktop=False):
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
        self.system_root = os.path.join(self.root, "system")
        self._install_stand_ins()
        self.env.update({
            "XDG_DATA_HOME": dirs["data"], "XDG_CONFIG_HOME": dirs["config"],
            "XDG_CACHE_HOME": dirs["cache"], "XDG_RUNTIME_DIR": dirs["runtime"],
            "HOME": self.root, "GTK_A11Y": "none", "NO_AT_BRIDGE": "1",
            "KORVANE_ROOT": self.system_root,
        })
        self.bus = None
        if desktop:
            self._start_desktop_bus(dirs["runtime"])
        else:
            self.env["KORVANE_PROXY_BACKEND"] = "macos"

    def _start_desktop_bus(self, runtime):
        address = "unix:path=" + os.path.join(runtime, "bus")
        self.env["GSETTINGS_BACKEND"] = "dconf"
        # The store (dconf-service) is started by the bus and inherits its private folders.
        self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--address=" + address,
                                     "--print-address"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    env=self.env, preexec_fn=_default_signals)
        if not self.bus.stdout.readline():
            raise GuiError("dbus-daemon did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def gsettings(self, *arguments):
        """`gsettings ARGUMENTS` in the private desktop session; its output without the line break."""
        if not self.bus:
            raise GuiError("no private desktop session")
        return subprocess.run(["gsettings"] + list(arguments), env=self.env, check=True, capture_output=True,
                              text=True).stdout.strip()

    def _install_stand_ins(self):
        for tool, folder in (("networksetup", "usr/sbin"), ("osascript", "usr/bin")):
            target = os.path.join(self.system_root, folder, tool)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(os.path.join(STAND_INS, tool), target)
            os.chmod(target, 0o755)
        for folder in ("var/stand-in", "var/run"):
            os.makedirs(os.path.join(self.system_root, folder), exist_ok=True)
        off = {"enabled": False, "server": "", "port": 0}
        services = [dict({kind: dict(off) for kind in PROXY_KINDS}, name=name, disabled=disabled, bypass=[])
                    for name, disabled in self.SERVICES]
        with open(self._services_file(), "w") as f:
            json.dump({"services": services}, f)

    def _services_file(self):
        return os.path.join(self.system_root, "var", "stand-in", "networksetup.json")

    def services(self):
        """The stand-in's network services: [{"name", "disabled", "webproxy", ...}]."""
        with open(self._services_file(), encoding="utf-8") as f:
            return json.load(f)["services"]

    def proxied_services(self):
        """Names of the enabled services whose three proxies all point at the local port."""
        host, port = LOCAL_PROXY
        return [s["name"] for s in self.services() if not s["disabled"] and all(
            s[k]["enabled"] and s[k]["server"] == host and s[k]["port"] == port for k in PROXY_KINDS)]

    def events(self, name):
        """The client's event log entries of this name, oldest first."""
        folder = os.path.join(self.env["XDG_DATA_HOME"], "Korvane", "logs")
        entries = []
        for file in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if not (file.startswith("client-") and file.endswith(".jsonl")):
                continue  # the core's own log lives there too
            with open(os.path.join(folder, file), encoding="utf-8") as f:
                entries += [e for e in map(json.loads, f) if e.get("event") == name]
        return entries

    def opened_links(self):
        try:
            with open(self.opened_file) as f:
                return [line.strip() for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def close(self):
        if self.bus:
            self.bus.terminate()
            self.bus.wait()
            self.bus.stdout.close()
        shutil.rmtree(self.root, ignore_errors=True)


class Services:
    """korvane-demo-services: the loopback panel, configuration, site, support and update hosts."""

    def __init__(self, binary, env, timeout=15):
        # The fixed ports may still be held for a moment by a previous user; try again until
        # the deadline rather than fail at once.
        deadline = time.monotonic() + timeout
        while True:
            self.process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=subprocess.DEVNULL, env=env, preexec_fn=_default_signals)
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
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       preexec_fn=_default_signals)
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

    def park_pointer(self):
        """Moves the pointer to the page's top-left corner, so no hover effect shows. Two moves:
        the driver skips a move to where it believes the pointer is, and element clicks move
        the pointer without telling it."""
        moves = [{"type": "pointerMove", "duration": 0, "x": x, "y": x, "origin": "viewport"} for x in (1, 0)]
        self._call("POST", self._s("/actions"), {"actions": [{
            "type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"}, "actions": moves}]})

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

    def node_badges(self):
        """[[name, badge text]] of the node list, in order."""
        return self.script("return Array.prototype.map.call(document.querySelectorAll('#nodeList li'),"
                           "function (li) { return [li.getAttribute('data-name'),"
                           " li.querySelector('.badge').textContent]; });")

    def wait_for_availability(self, timeout=30):
        """Waits until every node shows a test result; returns [[name, badge text]]."""
        def tested():
            badges = self.node_badges()
            return badges if badges and all(badge != "未测试" for _, badge in badges) else None
        return wait_until(tested, timeout, "every node's availability")

    def connect(self, node, timeout=40):
        """Picks node in the list and connects through the page; raises with the page's error."""
        item = "#nodeList li[data-name=%s]" % json.dumps(node, ensure_ascii=False)
        # Right after the sign-in the list may still be on its way.
        self.wait_visible(item)
        self.click(item)
        self.click("#connectButton")
        wait_until(lambda: self.text("#connectionStatus") == "已连接" or self.text("#globalError"), timeout,
                   "the connection")
        if self.text("#globalError"):
            raise GuiError("connect failed: %s" % self.text("#globalError"))

    def disconnect(self, timeout=40):
        """Disconnects through the page when it shows a connection."""
        if not (self.text("#connectionStatus") or "").startswith("已连接"):
            return
        self.click("#connectButton")
        wait_until(lambda: self.text("#connectionStatus") == "未连接" or self.text("#globalError"), timeout,
                   "the disconnection")
        if self.text("#globalError"):
            raise GuiError("disconnect failed: %s" % self.text("#globalError"))

    def answer_consent(self, allow=False):
        self.wait_visible("#consentDialog")
        self.click("#consentYes" if allow else "#consentNo")
        wait_until(lambda: not self.visible("#consentDialog"), 10, "the consent question to close")

    def _client_pids(self):
        """The live client processes the driver started (its children named Korvane)."""
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            comm = stat[stat.find("(") + 1:stat.rfind(")")]
            state, ppid = stat[stat.rfind(")") + 2:].split()[:2]
            if int(ppid) == self.driver.pid and comm == "Korvane" and state != "Z":
                pids.append(int(entry))
        return pids

    def quit_client(self, timeout=30):
        """Asks the client to quit the way the system does (SIGTERM): its termination gate
        disconnects and restores the system proxy first. The driver kills the client when the
        session ends, which would leave a connected core running and the proxy switched."""
        pids = self._client_pids()
        for pid in pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        if pids:
            wait_until(lambda: not self._client_pids(), timeout, "the client to quit")

    def close(self):
        if self.driver.poll() is None:
            try:
                self.quit_client()
            except GuiError:
                pass
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
