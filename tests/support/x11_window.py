#!/usr/bin/python3
"""What a window manager would do to a program's windows on a virtual X display, for tests
of the real program: find a top-level window by its title, ask it to close as a click on
its frame's close button does (WM_DELETE_WINDOW), and tell whether it is mapped.

Standard library only (ctypes over libX11), so that no window manager has to run.

    x11_window.py state TITLE        prints "viewable", "unmapped" or "none"
    x11_window.py close TITLE        asks every viewable window with that title to close;
                                     prints how many were asked
"""
import ctypes
import ctypes.util
import sys

x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")

Window = ctypes.c_ulong
Atom = ctypes.c_ulong

x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = Window
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XInternAtom.restype = Atom
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XQueryTree.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(Window), ctypes.POINTER(Window),
                           ctypes.POINTER(ctypes.POINTER(Window)), ctypes.POINTER(ctypes.c_uint)]
x11.XGetWindowProperty.argtypes = [ctypes.c_void_p, Window, Atom, ctypes.c_long, ctypes.c_long,
                                   ctypes.c_int, Atom, ctypes.POINTER(Atom),
                                   ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
                                   ctypes.POINTER(ctypes.c_ulong),
                                   ctypes.POINTER(ctypes.c_void_p)]
x11.XFree.argtypes = [ctypes.c_void_p]
x11.XSendEvent.argtypes = [ctypes.c_void_p, Window, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]


class XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
                ("visual", ctypes.c_void_p), ("root", Window), ("c_class", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(XWindowAttributes)]

IS_VIEWABLE = 2
CLIENT_MESSAGE = 33


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", Window), ("message_type", Atom),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def title(dpy, win, atoms):
    for prop in atoms:
        actual_type = Atom()
        fmt = ctypes.c_int()
        n = ctypes.c_ulong()
        after = ctypes.c_ulong()
        data = ctypes.c_void_p()
        if x11.XGetWindowProperty(dpy, win, prop, 0, 1024, 0, 0, ctypes.byref(actual_type),
                                  ctypes.byref(fmt), ctypes.byref(n), ctypes.byref(after),
                                  ctypes.byref(data)) != 0:
            continue
        if data.value:
            text = ctypes.string_at(data.value, n.value) if fmt.value == 8 else b""
            x11.XFree(data)
            if text:
                return text.decode("utf-8", "replace")
    return None


def windows(dpy, win):
    root = Window()
    parent = Window()
    children = ctypes.POINTER(Window)()
    count = ctypes.c_uint()
    if not x11.XQueryTree(dpy, win, ctypes.byref(root), ctypes.byref(parent),
                          ctypes.byref(children), ctypes.byref(count)):
        return []
    found = [children[i] for i in range(count.value)]
    if children:
        x11.XFree(children)
    out = []
    for w in found:
        out.append(w)
        out.extend(windows(dpy, w))
    return out


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("state", "close"):
        sys.stderr.write(__doc__)
        return 2
    command, wanted = sys.argv[1], sys.argv[2]
    dpy = x11.XOpenDisplay(None)
    if not dpy:
        sys.stderr.write("x11_window: cannot open the display\n")
        return 1
    names = [x11.XInternAtom(dpy, b"_NET_WM_NAME", 0), x11.XInternAtom(dpy, b"WM_NAME", 0)]
    matching = []
    for w in windows(dpy, x11.XDefaultRootWindow(dpy)):
        if title(dpy, w, names) == wanted:
            attrs = XWindowAttributes()
            if x11.XGetWindowAttributes(dpy, w, ctypes.byref(attrs)):
                matching.append((w, attrs.map_state == IS_VIEWABLE))
    if command == "state":
        if not matching:
            print("none")
        else:
            print("viewable" if any(v for _, v in matching) else "unmapped")
    else:
        protocols = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        delete = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        asked = 0
        for w, viewable in matching:
            if not viewable:
                continue
            ev = XEvent()
            ev.xclient.type = CLIENT_MESSAGE
            ev.xclient.window = w
            ev.xclient.message_type = protocols
            ev.xclient.format = 32
            ev.xclient.data[0] = delete
            ev.xclient.data[1] = 0  # CurrentTime
            x11.XSendEvent(dpy, w, 0, 0, ctypes.byref(ev))
            asked += 1
        x11.XFlush(dpy)
        print(asked)
    x11.XCloseDisplay(dpy)
    return 0


if __name__ == "__main__":
    sys.exit(main())
