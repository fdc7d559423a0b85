// Asks a window to close the way a window manager does: a WM_DELETE_WINDOW client message.
//   wmdelete window-id   (the display from DISPLAY)
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    Display* dpy = argc == 2 ? XOpenDisplay(nullptr) : nullptr;
    if (dpy == nullptr) {
        std::fprintf(stderr, "usage: wmdelete window-id, with DISPLAY set\n");
        return 1;
    }
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = std::strtoul(argv[1], nullptr, 0);
    e.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, e.xclient.window, False, NoEventMask, &e);
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return 0;
}
