#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Asks an X window to close the way a window manager does: WM_DELETE_WINDOW via WM_PROTOCOLS."""
import sys

from Xlib import X, display, protocol


def main():
    window_id = int(sys.argv[1], 0)
    d = display.Display()
    window = d.create_resource_object("window", window_id)
    wm_protocols = d.intern_atom("WM_PROTOCOLS")
    wm_delete = d.intern_atom("WM_DELETE_WINDOW")
    if wm_delete not in (window.get_wm_protocols() or []):
        print("window does not take WM_DELETE_WINDOW", file=sys.stderr)
        return 1
    event = protocol.event.ClientMessage(
        window=window, client_type=wm_protocols, data=(32, [wm_delete, X.CurrentTime, 0, 0, 0]))
    window.send_event(event, event_mask=X.NoEventMask)
    d.flush()
    d.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
