"""The demo: the desktop client against the loopback demo services, signed in through its
own page with the demo account (driven by WebKitWebDriver), so a newcomer sees the
dashboard. With --screenshot PATH it saves the dashboard and exits (what runs under Xvfb);
otherwise it stays until Ctrl-C."""

import argparse
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(__file__))
import korvane_gui as gui  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--client", required=True)
    parser.add_argument("--services", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()

    env = gui.Environment()
    services = gui.Services(args.services, env.env)
    session = None
    try:
        print("demo: loopback services up (panel 18444, configuration 18443, update host 18447)")
        session = gui.Session(os.path.abspath(args.client), env.env)
        print("demo: signing in as %s through the page" % gui.DEMO_EMAIL)
        session.sign_in()
        session.answer_consent(allow=False)
        gui.wait_until(lambda: session.script("return document.querySelectorAll('#nodeList li').length;"), 20,
                       "the node list")
        if args.screenshot:
            print("demo: dashboard saved to %s" % session.screenshot(args.screenshot))
            return 0
        print("demo: the client is running; press Ctrl-C to stop")
        signal.sigwait({signal.SIGINT, signal.SIGTERM})
        return 0
    finally:
        if session:
            session.close()
        services.close()
        env.close()


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    sys.exit(main())
