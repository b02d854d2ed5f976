"""The desktop client switches the GNOME desktop's proxy settings by itself when they are there:
in a private session bus whose dconf store keeps its files in the test's folders, a connect
through the demo's live node points org.gnome.system.proxy at the local port, and quitting
(through the termination gate, as the system asks) puts every key back as gsettings reads it.
Runs under Xvfb (see CMakeLists.txt)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "testing", "gui"))
import korvane_gui as gui  # noqa: E402

CLIENT = os.environ["KORVANE_CLIENT"]
SERVICES = os.environ["KORVANE_DEMO_SERVICES"]
PROXY = "org.gnome.system.proxy"
# A user behind a corporate proxy, with hosts of their own that bypass it.
USER_SETTINGS = [(PROXY, "mode", "manual"), (PROXY + ".http", "host", "proxy.corp.example"),
                 (PROXY + ".http", "port", "3128"), (PROXY + ".socks", "host", "socks.corp.example"),
                 (PROXY + ".socks", "port", "1080"), (PROXY, "ignore-hosts", "['localhost', '*.corp.example']")]


class DesktopProxyTest(unittest.TestCase):
    def test_connect_switches_the_gnome_settings_and_quitting_puts_each_key_back(self):
        env = gui.Environment(desktop=True)
        services = session = None
        try:
            for schema, key, value in USER_SETTINGS:
                env.gsettings("set", schema, key, value)
            before = env.gsettings("list-recursively", PROXY)
            services = gui.Services(SERVICES, env.env)
            session = gui.Session(CLIENT, env.env)
            session.sign_in()
            session.answer_consent(allow=False)
            session.connect(gui.LIVE_NODE)
            self.assertEqual([e["stage"] for e in env.events("system_proxy_backend")], ["gnome"])
            self.assertEqual(env.gsettings("get", PROXY, "mode"), "'manual'")
            for kind in ("http", "https", "socks"):
                self.assertEqual([env.gsettings("get", PROXY + "." + kind, key) for key in ("host", "port")],
                                 ["'127.0.0.1'", "7897"], kind)
            self.assertEqual(env.gsettings("get", PROXY, "ignore-hosts"), "['localhost', '127.0.0.1', '*.local']")

            session.quit_client()
            self.assertEqual(env.gsettings("list-recursively", PROXY), before)
        finally:
            if session:
                session.close()
            if services:
                services.close()
            env.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
