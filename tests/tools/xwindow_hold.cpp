// Maps one named top-level window, says "ready" on standard output once the server has it,
// and keeps its connection open for the given number of seconds (or until it is killed).
//   xwindow_hold [-display name] title seconds
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    const char* name = nullptr;
    int a = 1;
    if (a + 1 < argc && std::strcmp(argv[a], "-display") == 0) {
        name = argv[a + 1];
        a += 2;
    }
    if (a + 1 >= argc) {
        std::fprintf(stderr, "usage: xwindow_hold [-display name] title seconds\n");
        return 1;
    }
    const char* title = argv[a];
    const int seconds = std::atoi(argv[a + 1]);

    Display* dpy = XOpenDisplay(name);
    if (dpy == nullptr) {
        std::fprintf(stderr, "cannot open display\n");
        return 2;
    }
    const int scr = DefaultScreen(dpy);
    const Window w = XCreateSimpleWindow(dpy, RootWindow(dpy, scr), 200, 200, 120, 80, 1,
                                         BlackPixel(dpy, scr), WhitePixel(dpy, scr));
    XStoreName(dpy, w, title);
    XMapWindow(dpy, w);
    XSync(dpy, False);
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < seconds; ++i)
        ::sleep(1);
    XCloseDisplay(dpy);
    return 0;
}
