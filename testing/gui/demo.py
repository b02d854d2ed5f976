"""The demo: the desktop client against the loopback demo services, driven through its own
page by WebKitWebDriver. It signs in with the demo account, waits for every node's
availability, connects through the node a real SOCKS5 proxy stands behind, fetches a page
through the local port 127.0.0.1:7897 and shows the connected dashboard. The system proxy it
switches is that of the stand-in network settings tool under a private system root, never the
machine's. With --screenshot PATH it saves the connected dashboard, disconnects and exits (what
runs under Xvfb); otherwise it stays until Ctrl-C, then disconnects."""

import argparse
import os
import re
import signal
import sys

sys.path.insert(0, os.path.dirname(__file__))
import korvane_gui as gui  # noqa: E402

SITE = ("127.0.0.1", 18445)


def say(text):
    print("demo: " + text, flush=True)


def show_services(env, heading):
    say(heading)
    for line in env.services_text():
        say("  " + line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--client", required=True)
    parser.add_argument("--services", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    client = os.path.abspath(args.client)
    test_ca = os.path.join(os.path.dirname(client), "..", "Resources", "test-ca.pem")

    env = gui.Environment()
    services = gui.Services(args.services, env.env)
    session = None
    try:
        say("loopback services up (panel 18444, configuration 18443, site 18445, probes 18448 and 18449, "
            "a SOCKS5 proxy behind the node %s)" % gui.LIVE_NODE)
        show_services(env, "stand-in network services (system root %s):" % env.system_root)
        session = gui.Session(client, env.env)
        say("signing in as %s through the page" % gui.DEMO_EMAIL)
        session.sign_in()
        session.answer_consent(allow=False)
        badges = session.wait_for_availability()
        say("node availability: " + ", ".join("%s %s" % (name, badge) for name, badge in badges))

        say("connecting through %s" % gui.LIVE_NODE)
        session.connect(gui.LIVE_NODE)
        say("page: %s, %s" % (session.text("#connectionStatus"), session.text("#connectionNode")))
        show_services(env, "the system proxy now points at the local port:")
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
        show_services(env, "disconnected; the stand-in services are restored:")
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
