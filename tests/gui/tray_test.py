"""The status-bar menu over D-Bus: a small StatusNotifierWatcher stand-in receives the
client's item, reads its menu through the dbusmenu interface, and fires "打开 Korvane" after
the main window was closed (which only hides it). Runs under Xvfb inside its own session bus
(see CMakeLists.txt); needs Debian's python3-gi."""

import ctypes
import os
import signal
import subprocess
import sys
import unittest

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "testing", "gui"))
import korvane_gui as gui  # noqa: E402

CLIENT = os.environ["KORVANE_CLIENT"]
SERVICES = os.environ["KORVANE_DEMO_SERVICES"]

WATCHER_XML = """
<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
</interface></node>
"""


class Watcher:
    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.items = []
        info = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]
        self.bus.register_object("/StatusNotifierWatcher", info, self._call, self._get, None)
        reply = self.bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "RequestName", GLib.Variant("(su)", ("org.kde.StatusNotifierWatcher", 4)),
                                   None, Gio.DBusCallFlags.NONE, 5000, None)
        assert reply.unpack()[0] == 1, "the watcher name is taken"

    def _call(self, connection, sender, path, interface, method, params, invocation):
        if method == "RegisterStatusNotifierItem":
            service = params.unpack()[0]
            # An item names itself by object path (on the caller's connection) or by bus name.
            self.items.append((sender, service) if service.startswith("/") else (service, "/StatusNotifierItem"))
        invocation.return_value(None)

    def _get(self, connection, sender, path, interface, name):
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        if name == "ProtocolVersion":
            return GLib.Variant("i", 0)
        return GLib.Variant("as", ["%s%s" % item for item in self.items])

    def pump(self, condition, timeout, what):
        context = GLib.MainContext.default()

        def step():
            while context.pending():
                context.iteration(False)
            return condition()
        return gui.wait_until(step, timeout, what, interval=0.02)

    def call(self, bus_name, path, interface, method, params, reply_type=None):
        result = []
        self.bus.call(bus_name, path, interface, method, params, reply_type, Gio.DBusCallFlags.NONE, 5000, None,
                      lambda bus, res: result.append(bus.call_finish(res)))
        self.pump(lambda: result, 10, method)
        return result[0].unpack()


def close_window_like_the_title_bar(title):
    """Sends WM_DELETE_WINDOW to the top-level window titled `title`, as a window manager does."""
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XInternAtom.restype = ctypes.c_ulong
    display = x.XOpenDisplay(None)
    assert display, "no X display"
    try:
        root = x.XDefaultRootWindow(ctypes.c_void_p(display))
        parent, root_out, children, count = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        x.XQueryTree(ctypes.c_void_p(display), ctypes.c_ulong(root), ctypes.byref(root_out), ctypes.byref(parent),
                     ctypes.byref(children), ctypes.byref(count))
        target = None
        for i in range(count.value):
            name = ctypes.c_char_p()
            if x.XFetchName(ctypes.c_void_p(display), ctypes.c_ulong(children[i]), ctypes.byref(name)) and name.value:
                if name.value.decode("utf-8", "replace") == title:
                    target = children[i]
        assert target, "no window titled %r" % title

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]
        event = ClientMessage()
        event.type = 33  # ClientMessage
        event.window = target
        event.message_type = x.XInternAtom(ctypes.c_void_p(display), b"WM_PROTOCOLS", 0)
        event.format = 32
        event.data[0] = x.XInternAtom(ctypes.c_void_p(display), b"WM_DELETE_WINDOW", 0)
        x.XSendEvent(ctypes.c_void_p(display), ctypes.c_ulong(target), 0, 0, ctypes.byref(event))
        x.XFlush(ctypes.c_void_p(display))
    finally:
        x.XCloseDisplay(ctypes.c_void_p(display))


def labels(layout):
    """(id, label or '-' for a separator) of the root's visible children."""
    out = []
    for child in layout[2]:
        item_id, props, _ = child
        if props.get("visible", True) is False:
            continue
        out.append((item_id, "-" if props.get("type") == "separator" else props.get("label", "")))
    return out


class TrayTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.watcher = Watcher()

    def test_menu_items_and_open_brings_the_hidden_window_back(self):
        watcher = self.watcher
        before = len(watcher.items)
        env = gui.Environment()
        services = gui.Services(SERVICES, env.env)
        session = None
        try:
            session = gui.Session(CLIENT, env.env)
            session.wait_visible("#loginView")
            watcher.pump(lambda: len(watcher.items) > before, 20, "the client's status item")
            bus_name, path = watcher.items[before]
            menu = watcher.call(bus_name, path, "org.freedesktop.DBus.Properties", "Get",
                                GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")))[0]
            _, layout = watcher.call(bus_name, menu, "com.canonical.dbusmenu", "GetLayout",
                                     GLib.Variant("(iias)", (0, -1, [])))
            items = labels(layout)
            self.assertEqual([label for _, label in items], ["打开 Korvane", "连接 / 断开", "-", "退出 Korvane"])

            visibility = "return document.visibilityState;"
            self.assertEqual(session.script(visibility), "visible")
            close_window_like_the_title_bar("Korvane")
            gui.wait_until(lambda: session.script(visibility) == "hidden", 15, "the closed window to hide")

            open_id = items[0][0]
            watcher.call(bus_name, menu, "com.canonical.dbusmenu", "Event",
                         GLib.Variant("(isvu)", (open_id, "clicked", GLib.Variant("s", ""), 0)))
            gui.wait_until(lambda: session.script(visibility) == "visible", 15, "the window to come back")
            # The page was kept: same document, still answering.
            self.assertTrue(session.visible("#loginView"))
        finally:
            if session:
                session.close()
            services.close()
            env.close()

    def test_the_end_of_a_system_sleep_reaches_the_controller(self):
        # The session bus stands in for the system bus, and this test for logind.
        watcher = self.watcher
        reply = watcher.bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      "RequestName", GLib.Variant("(su)", ("org.freedesktop.login1", 4)),
                                      None, Gio.DBusCallFlags.NONE, 5000, None)
        self.assertEqual(reply.unpack()[0], 1)
        env = gui.Environment()
        env.env["DBUS_SYSTEM_BUS_ADDRESS"] = os.environ["DBUS_SESSION_BUS_ADDRESS"]
        services = gui.Services(SERVICES, env.env)
        session = None
        logs = os.path.join(env.env["XDG_DATA_HOME"], "Korvane", "logs")

        def wake_events():
            events = []
            for name in os.listdir(logs) if os.path.isdir(logs) else []:
                with open(os.path.join(logs, name)) as f:
                    events += [line for line in f if '"system_wake"' in line]
            return events

        try:
            session = gui.Session(CLIENT, env.env)
            session.wait_visible("#loginView")
            # The client subscribes once its system-bus connection is up, so the wake is
            # announced until it is seen.
            def emit(sleeping):
                watcher.bus.emit_signal(None, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                        "PrepareForSleep", GLib.Variant("(b)", (sleeping,)))
                watcher.pump(lambda: True, 1, "the signal to leave")
            gui.wait_until(lambda: (emit(False), wake_events())[1], 20, "a system_wake event")
            self.assertTrue(session.visible("#loginView"))
        finally:
            if session:
                session.close()
            services.close()
            env.close()

    def test_a_termination_signal_passes_the_gate_and_the_client_exits(self):
        env = gui.Environment()
        before = len(self.watcher.items)
        client = subprocess.Popen([CLIENT], env=env.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # Up once its status item registered.
            self.watcher.pump(lambda: len(self.watcher.items) > before, 30, "the client's status item")
            client.send_signal(signal.SIGTERM)
            self.assertEqual(client.wait(timeout=20), 0)
            logs = os.path.join(env.env["XDG_DATA_HOME"], "Korvane", "logs")
            text = "".join(open(os.path.join(logs, name)).read() for name in os.listdir(logs))
            self.assertIn('"event":"app_terminate_request"', text)
        finally:
            if client.poll() is None:
                client.kill()
                client.wait()
            env.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
