"""Refreshes docs/screenshots/: the sign-in view, the dashboard with every node tested, and
the dashboard connected through the demo's live node, at the default window size (920×650) and
the smallest (790×540), from the real client against the demo services."""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
import korvane_gui as gui  # noqa: E402

SIZES = [(920, 650), (790, 540)]


def shoot(session, name, out):
    session.script("document.activeElement && document.activeElement.blur();")
    for width, height in SIZES:
        session.set_window_size(width, height)
        gui.wait_until(lambda: session.viewport() == [width, height], 10, "a %dx%d viewport" % (width, height))
        # After the resize, which may put the window under the display's own pointer.
        session.park_pointer()
        path = os.path.join(out, "%s-%dx%d.png" % (name, width, height))
        session.screenshot(path)
        print("screenshots: %s" % path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--client", required=True)
    parser.add_argument("--services", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    env = gui.Environment()
    services = gui.Services(args.services, env.env)
    session = None
    try:
        session = gui.Session(os.path.abspath(args.client), env.env)
        session.wait_visible("#loginView")
        shoot(session, "sign-in", args.out)
        session.set_window_size(*SIZES[0])
        session.sign_in()
        session.answer_consent(allow=False)
        session.wait_for_availability()
        shoot(session, "dashboard", args.out)
        session.set_window_size(*SIZES[0])
        session.connect(gui.LIVE_NODE)
        shoot(session, "dashboard-connected", args.out)
    finally:
        if session:
            session.close()
        services.close()
        env.close()


if __name__ == "__main__":
    main()
