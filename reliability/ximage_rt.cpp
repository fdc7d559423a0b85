// Real X traffic with a byte-exact check: puts seeded images into a pixmap and reads them back.
// usage: ximage_rt display width height rounds seed
// Prints one line "rounds R put P got G wrong W" (bytes of pixel data) and exits 0 when every
// pixel came back as it was put, 1 when any differs, 2 when the display cannot be used.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: ximage_rt display width height rounds seed\n");
        return 2;
    }
    const int w = std::atoi(argv[2]);
    const int h = std::atoi(argv[3]);
    const int rounds = std::atoi(argv[4]);
    const uint64_t seed = std::strtoull(argv[5], nullptr, 10);
    Display* dpy = XOpenDisplay(argv[1]);
    if (dpy == nullptr || w <= 0 || h <= 0) {
        std::fprintf(stderr, "cannot open display %s\n", argv[1]);
        return 2;
    }
    const int scr = DefaultScreen(dpy);
    const unsigned depth = static_cast<unsigned>(DefaultDepth(dpy, scr));
    if (depth != 24) {
        std::fprintf(stderr, "depth %u, want 24\n", depth);
        return 2;
    }
    const Pixmap pm = XCreatePixmap(dpy, RootWindow(dpy, scr), static_cast<unsigned>(w),
                                    static_cast<unsigned>(h), depth);
    const GC gc = XCreateGC(dpy, pm, 0, nullptr);
    const size_t npix = static_cast<size_t>(w) * static_cast<size_t>(h);
    auto* data = static_cast<uint32_t*>(std::malloc(npix * 4));
    XImage* img =
        XCreateImage(dpy, DefaultVisual(dpy, scr), depth, ZPixmap, 0, reinterpret_cast<char*>(data),
                     static_cast<unsigned>(w), static_cast<unsigned>(h), 32, 0);
    if (data == nullptr || img == nullptr || img->bits_per_pixel != 32) {
        std::fprintf(stderr, "cannot make a 32-bit image\n");
        return 2;
    }
    unsigned long long put = 0, got = 0, wrong = 0;
    for (int r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < npix; ++i)
            data[i] = static_cast<uint32_t>(
                          mix(seed * 1000003ULL + static_cast<uint64_t>(r) * npix + i)) &
                      0xffffffU;
        XPutImage(dpy, pm, gc, img, 0, 0, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
        put += npix * 4;
        XImage* back = XGetImage(dpy, pm, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h),
                                 AllPlanes, ZPixmap);
        if (back == nullptr) {
            std::fprintf(stderr, "XGetImage failed in round %d\n", r);
            return 1;
        }
        got += npix * 4;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if ((XGetPixel(back, x, y) & 0xffffffUL) != data[static_cast<size_t>(y) * w + x])
                    wrong += 4;
        XDestroyImage(back);
    }
    std::printf("rounds %d put %llu got %llu wrong %llu\n", rounds, put, got, wrong);
    XFreeGC(dpy, gc);
    XFreePixmap(dpy, pm);
    XCloseDisplay(dpy);
    return wrong == 0 ? 0 : 1;
}
