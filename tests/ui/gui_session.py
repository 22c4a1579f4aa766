# What the window's end-to-end scripts share: the check that every facility
# is there (a missing one fails the test, nothing is skipped), and dogtail
# set up for a session without GNOME.

import os, shutil, sys


def require(script, tools):
    missing = [t for t in tools if not shutil.which(t)]
    missing += [f for f in ("/usr/libexec/at-spi-bus-launcher", "/dev/fuse") if not os.path.exists(f)]
    if not os.environ.get("DISPLAY") or not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        missing.append("a display and a session bus (run under xvfb-run and dbus-run-session)")
    if missing:
        sys.exit(script + ": missing " + ", ".join(missing))
    import dogtail.config
    dogtail.config.config.checkForA11y = False  # it asks GNOME's settings, which are absent
    dogtail.config.config.searchCutoffCount = 20
    dogtail.config.config.actionDelay = dogtail.config.config.defaultDelay = 0.2
