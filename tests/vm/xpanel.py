#!/usr/bin/python3
"""Works the panel's window on the virtual display as a user would.

  xpanel.py window PID    waits for PID's top-level window to be shown and
                          prints its id; fails at once when PID has ended
  xpanel.py click WIN X Y moves the pointer to X,Y in the window and clicks
                          the left button (through the XTEST extension, as a
                          real mouse)
  xpanel.py close WIN     asks the window to close, as a window manager's
                          close button does (WM_DELETE_WINDOW)

The display is $DISPLAY. Waits are generous: the machine may be slow.
"""
import sys
import time

from Xlib import X, Xatom, display, protocol
from Xlib.ext import xtest

WAIT_S = 300


def window_of(d, pid):
    root = d.screen().root
    pid_atom = d.intern_atom("_NET_WM_PID")
    for w in root.query_tree().children:
        try:
            prop = w.get_full_property(pid_atom, Xatom.CARDINAL)
            if not prop or prop.value[0] != pid:
                continue
            if w.get_attributes().map_state == X.IsViewable:
                return w
        except Exception:  # the window went away meanwhile
            continue
    return None


def ended(pid):
    """Whether the process has ended (gone, or a zombie not yet waited for)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            return any(line.startswith("State:") and line.split()[1] == "Z" for line in f)
    except OSError:
        return True


def main(argv):
    d = display.Display()
    verb = argv[1]
    if verb == "window":
        pid = int(argv[2])
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            w = window_of(d, pid)
            if w is not None:
                print(hex(w.id))
                return 0
            if ended(pid):
                print(f"pid {pid} ended without showing a window", file=sys.stderr)
                return 1
            time.sleep(0.5)
        print(f"no window of pid {pid} within {WAIT_S} s", file=sys.stderr)
        return 1
    w = d.create_resource_object("window", int(argv[2], 0))
    if verb == "click":
        x, y = int(argv[3]), int(argv[4])
        at = w.translate_coords(d.screen().root, 0, 0)
        # translate_coords gives the root's origin in the window: negate it.
        xtest.fake_input(d, X.MotionNotify, x=x - at.x, y=y - at.y)
        d.sync()
        xtest.fake_input(d, X.ButtonPress, 1)
        d.sync()
        xtest.fake_input(d, X.ButtonRelease, 1)
        d.sync()
        return 0
    if verb == "close":
        protocols = d.intern_atom("WM_PROTOCOLS")
        delete = d.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(
            window=w, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        w.send_event(event)
        d.sync()
        return 0
    print(f"unknown action {verb}", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
