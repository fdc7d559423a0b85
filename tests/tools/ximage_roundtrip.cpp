// Sends a large seeded random image to the X server and reads it back: exit 0 only when every
// pixel comes back exactly as it was sent, 1 when any differs or the server reports an error,
// 2 when the display cannot be opened.
//   ximage_roundtrip [-display name] [width height seed [rounds]]
// Each round puts the image and reads it back again.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static int xerrors;

static int onerror(Display*, XErrorEvent* e)
{
    std::fprintf(stderr, "X error %d on request %d\n", e->error_code, e->request_code);
    ++xerrors;
    return 0;
}

// xorshift64: the same seed gives the same image on every run.
static uint64_t nextrandom(uint64_t& s)
{
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

int main(int argc, char** argv)
{
    const char* name = nullptr;
    int w = 1000, h = 1000, rounds = 1;
    uint64_t seed = 20261209;
    int a = 1;
    if (a + 1 < argc && std::strcmp(argv[a], "-display") == 0) {
        name = argv[a + 1];
        a += 2;
    }
    if (a + 2 < argc) {
        w = std::atoi(argv[a]);
        h = std::atoi(argv[a + 1]);
        seed = std::strtoull(argv[a + 2], nullptr, 10) | 1; // xorshift must not start at 0
        if (a + 3 < argc)
            rounds = std::atoi(argv[a + 3]);
    }
    if (w <= 0 || h <= 0) {
        std::fprintf(stderr, "bad size %dx%d\n", w, h);
        return 1;
    }

    Display* dpy = XOpenDisplay(name);
    if (dpy == nullptr) {
        std::fprintf(stderr, "cannot open display\n");
        return 2;
    }
    XSetErrorHandler(onerror);
    const int scr = DefaultScreen(dpy);
    const int depth = DefaultDepth(dpy, scr);
    const unsigned long mask = depth >= 32 ? 0xffffffffUL : (1UL << depth) - 1;
    const auto uw = static_cast<unsigned>(w);
    const auto uh = static_cast<unsigned>(h);

    XImage* out = XCreateImage(dpy, DefaultVisual(dpy, scr), static_cast<unsigned>(depth), ZPixmap,
                               0, nullptr, uw, uh, 32, 0);
    if (out == nullptr) {
        std::fprintf(stderr, "cannot create image\n");
        return 1;
    }
    out->data = static_cast<char*>(
        std::calloc(static_cast<size_t>(out->bytes_per_line) * static_cast<size_t>(h), 1));
    uint64_t s = seed;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            XPutPixel(out, x, y, static_cast<unsigned long>(nextrandom(s)) & mask);

    const Pixmap pm =
        XCreatePixmap(dpy, RootWindow(dpy, scr), uw, uh, static_cast<unsigned>(depth));
    GC gc = XCreateGC(dpy, pm, 0, nullptr);
    long bad = 0;
    XImage* back = nullptr;
    for (int r = 0; r < rounds && bad == 0; ++r) {
        if (back != nullptr)
            XDestroyImage(back);
        XPutImage(dpy, pm, gc, out, 0, 0, 0, 0, uw, uh);
        back = XGetImage(dpy, pm, 0, 0, uw, uh, AllPlanes, ZPixmap);
        if (back == nullptr || xerrors != 0) {
            std::fprintf(stderr, "no image came back\n");
            return 1;
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const unsigned long sent = XGetPixel(out, x, y);
                const unsigned long got = XGetPixel(back, x, y) & mask;
                if (sent != got && bad++ == 0)
                    std::fprintf(stderr, "first difference at %d,%d: sent %06lx, got %06lx\n", x, y,
                                 sent, got);
            }
    }
    XFreePixmap(dpy, pm);
    XFreeGC(dpy, gc);
    XSync(dpy, False);
    if (bad != 0 || xerrors != 0) {
        std::fprintf(stderr, "%ld of %ld pixels differ, %d X errors\n", bad,
                     static_cast<long>(w) * h, xerrors);
        return 1;
    }
    std::printf("ok %dx%d depth %d, %d bytes per line\n", w, h, depth, back->bytes_per_line);
    XCloseDisplay(dpy);
    return 0;
}
