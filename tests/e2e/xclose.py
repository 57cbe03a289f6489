#!/usr/bin/env python3
"""xclose.py <window id>: asks a window to close as a window manager's close
button does (WM_DELETE_WINDOW), so the program runs its own close handling.
`xdotool windowclose` destroys the window instead, and wmctrl needs a window
manager, which a bare X server lacks. Uses libX11 through ctypes."""
import ctypes
import ctypes.util
import sys


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]


def main():
    window = int(sys.argv[1], 0)
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(XEvent)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("xclose: cannot open the display")
    event = XEvent()
    msg = event.xclient
    msg.type = 33  # ClientMessage
    msg.window = window
    msg.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    msg.format = 32
    msg.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    msg.data[1] = 0  # CurrentTime
    if not x11.XSendEvent(display, window, 0, 0, ctypes.byref(event)):
        sys.exit("xclose: XSendEvent failed")
    x11.XFlush(display)
    x11.XCloseDisplay(display)


if __name__ == "__main__":
    main()
