"""The demo: the desktop client against the loopback demo services, driven through its own
page by WebKitWebDriver. It signs in with the demo account, waits for every node's
availability, connects through the node a real SOCKS5 proxy stands behind, fetches a page
through the local port 127.0.0.1:7897 and shows the connected dashboard. The system proxy it
switches is the GNOME desktop's, in a private session bus whose settings store keeps its files
in the demo's temporary folder, never the machine's; the demo reads it with gsettings before,
while connected and after. With --screenshot PATH it saves the connected dashboard, disconnects
and exits (what runs under Xvfb); otherwise it stays until Ctrl-C, then disconnects."""

import argparse
import os
import re
import signal
import sys

sys.path.insert(0, os.path.dirname(__file__))
import korvane_gui as gui  # noqa: E402

SITE = ("127.0.0.1", 18445)
PROXY = "org.gnome.system.proxy"


def say(text):
    print("demo: " + text, flush=True)


def show_proxy(env, when):
    say("%s: gsettings get org.gnome.system.proxy mode -> %s" % (when, env.gsettings("get", PROXY, "mode")))
    hosts = ["%s %s:%s" % (kind, env.gsettings("get", PROXY + "." + kind, "host"),
                           env.gsettings("get", PROXY + "." + kind, "port")) for kind in ("http", "https", "socks")]
    say("  %s; ignore-hosts %s" % (", ".join(hosts), env.gsettings("get", PROXY, "ignore-hosts")))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--client", required=True)
    parser.add_argument("--services", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    client = os.path.abspath(args.client)
    test_ca = os.path.join(os.path.dirname(client), "..", "Resources", "test-ca.pem")

    env = gui.Environment(desktop=True)
    services = gui.Services(args.services, env.env)
    session = None
    try:
        say("loopback services up (panel 18444, configuration 18443, site 18445, probes 18448 and 18449, "
            "a SOCKS5 proxy behind the node %s)" % gui.LIVE_NODE)
        say("private desktop session %s (settings store in %s)" % (
            env.env["DBUS_SESSION_BUS_ADDRESS"], env.env["XDG_CONFIG_HOME"]))
        show_proxy(env, "before")
        session = gui.Session(client, env.env)
        backend = gui.wait_until(lambda: env.events("system_proxy_backend"), 10, "the client's choice of backend")
        say("the client switches the system proxy through: %s" % backend[-1]["stage"])
        say("signing in as %s through the page" % gui.DEMO_EMAIL)
        session.sign_in()
        session.answer_consent(allow=False)
        badges = session.wait_for_availability()
        say("node availability: " + ", ".join("%s %s" % (name, badge) for name, badge in badges))

        say("connecting through %s" % gui.LIVE_NODE)
        session.connect(gui.LIVE_NODE)
        say("page: %s, %s" % (session.text("#connectionStatus"), session.text("#connectionNode")))
        show_proxy(env, "connected")
        status, body = gui.fetch_through_local_proxy(SITE[0], SITE[1], "/", test_ca)
        title = re.search(r"<title>(.*?)</title>", body)
        say("fetched https://%s:%d/ through %s:%d: HTTP %d, \"%s\"" % (
            SITE[0], SITE[1], gui.LOCAL_PROXY[0], gui.LOCAL_PROXY[1], status, title.group(1) if title else "?"))

        if args.screenshot:
            session.script("document.activeElement && document.activeElement.blur();")
            session.park_pointer()
            say("connected dashboard saved to %s" % session.screenshot(args.screenshot))
        else:
            say("the client is running; press Ctrl-C to disconnect and stop")
            signal.sigwait({signal.SIGINT, signal.SIGTERM})
        session.disconnect()
        show_proxy(env, "after")
        return 0
    finally:
        if session:
            # Quits the client through its termination gate, which also disconnects.
            session.close()
        services.close()
        env.close()


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    sys.exit(main())
