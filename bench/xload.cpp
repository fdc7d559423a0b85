// The bench's X client: round trips, pipelined image upload, image download checked pixel for
// pixel. It connects first (through a relay that asks the user, that is where the wait is),
// then runs each phase only when the driver says so, so the driver can read the relay's CPU
// time right at the edges of every timed phase.
//
//   xload [-rtt N] [-size S] [-images K] [-gets G]
//
// The upload puts K different SxS images, each into a pixmap of its own, in one pipelined
// stream; the download reads every pixmap back G times. So every byte uploaded is checked.
//
// Lines on standard output, one per event:
//   ready rtt | ready put | ready get       waiting for SIGUSR1
//   rtt <count> <median_us> <p99_us> <mean_us>
//   put <bytes> <seconds>
//   get <bytes> <seconds> <bad_pixels> <images_checked>
//   done <x_errors>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

static int xerrors;

static int onerror(Display* dpy, XErrorEvent* e)
{
    char text[256];
    XGetErrorText(dpy, e->error_code, text, sizeof text);
    std::fprintf(stderr, "xload: X error: %s (request %d)\n", text, e->request_code);
    ++xerrors;
    return 0;
}

static double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Tells the driver which phase is next and waits for its go; a driver that is gone ends us.
static void barrier(const char* phase)
{
    std::printf("ready %s\n", phase);
    std::fflush(stdout);
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGUSR1);
    const timespec limit{120, 0};
    if (sigtimedwait(&s, nullptr, &limit) != SIGUSR1) {
        std::fprintf(stderr, "xload: no go for phase %s\n", phase);
        std::exit(3);
    }
}

// A different pseudo-random pattern for every image: a byte moved, lost or swapped shows.
static void fill(std::vector<uint32_t>& px, uint64_t seed)
{
    uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 0x2545F4914F6CDD1DULL;
    for (auto& p : px) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        p = static_cast<uint32_t>(x >> 16);
    }
}

static long arg(int argc, char** argv, const char* name, long dflt)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::strtol(argv[i + 1], nullptr, 10);
    return dflt;
}

int main(int argc, char** argv)
{
    const long nrtt = std::clamp(arg(argc, argv, "-rtt", 4000), 1L, 1000000L);
    const int size = static_cast<int>(std::clamp(arg(argc, argv, "-size", 1024), 16L, 2048L));
    const int nimages = static_cast<int>(std::clamp(arg(argc, argv, "-images", 32), 1L, 64L));
    const int gets = static_cast<int>(std::clamp(arg(argc, argv, "-gets", 1), 1L, 64L));

    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGUSR1);
    sigprocmask(SIG_BLOCK, &s, nullptr);

    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) {
        std::fprintf(stderr, "xload: cannot open display\n");
        return 2;
    }
    XSetErrorHandler(onerror);
    const Window root = DefaultRootWindow(dpy);
    const auto w = static_cast<unsigned>(size);
    const size_t npix = static_cast<size_t>(size) * static_cast<size_t>(size);
    const size_t imgbytes = npix * 4;

    // Depth 32: every byte of every pixel is real data, none is padding the server drops.
    std::vector<Pixmap> pix(static_cast<size_t>(nimages));
    std::vector<std::vector<uint32_t>> data(static_cast<size_t>(nimages));
    std::vector<XImage*> img(static_cast<size_t>(nimages));
    Visual* visual = DefaultVisual(dpy, DefaultScreen(dpy));
    GC gc = nullptr;
    for (int i = 0; i < nimages; ++i) {
        const auto k = static_cast<size_t>(i);
        pix[k] = XCreatePixmap(dpy, root, w, w, 32);
        if (gc == nullptr)
            gc = XCreateGC(dpy, pix[k], 0, nullptr);
        XFillRectangle(dpy, pix[k], gc, 0, 0, w, w); // the server's pages are touched up front
        data[k].resize(npix);
        fill(data[k], static_cast<uint64_t>(i) + 1);
        img[k] = XCreateImage(dpy, visual, 32, ZPixmap, 0, reinterpret_cast<char*>(data[k].data()),
                              w, w, 32, 0);
        if (img[k] == nullptr) {
            std::fprintf(stderr, "xload: cannot make an image\n");
            return 2;
        }
    }
    XSync(dpy, False);

    barrier("rtt");
    std::vector<double> t(static_cast<size_t>(nrtt));
    for (auto& d : t) {
        const double t0 = now();
        XSync(dpy, False);
        d = (now() - t0) * 1e6;
    }
    double sum = 0;
    for (double d : t)
        sum += d;
    std::sort(t.begin(), t.end());
    const size_t n = t.size();
    const double median = n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
    const size_t i99 = std::min(n - 1, (n * 99 + 99) / 100 - 1);
    std::printf("rtt %zu %.2f %.2f %.2f\n", n, median, t[i99], sum / static_cast<double>(n));

    barrier("put");
    const double p0 = now();
    for (int i = 0; i < nimages; ++i)
        XPutImage(dpy, pix[static_cast<size_t>(i)], gc, img[static_cast<size_t>(i)], 0, 0, 0, 0, w,
                  w);
    XSync(dpy, False);
    const double putsec = now() - p0;
    std::printf("put %zu %.6f\n", imgbytes * static_cast<size_t>(nimages), putsec);

    barrier("get");
    double getsec = 0;
    long bad = 0;
    int checked = 0;
    for (int g = 0; g < gets; ++g) {
        for (int i = 0; i < nimages; ++i) {
            const double g0 = now();
            XImage* got =
                XGetImage(dpy, pix[static_cast<size_t>(i)], 0, 0, w, w, AllPlanes, ZPixmap);
            getsec += now() - g0;
            // Untimed from here: the pixel comparison.
            const auto k = static_cast<size_t>(i);
            const auto& want = data[k];
            if (got == nullptr) {
                bad += static_cast<long>(npix);
                continue;
            }
            const bool flat = got->bits_per_pixel == 32 && got->bytes_per_line == size * 4 &&
                              got->byte_order == img[0]->byte_order;
            for (int y = 0; y < size; ++y) {
                const uint32_t* row = want.data() + static_cast<size_t>(y) * w; // as it was sent
                if (flat && std::memcmp(got->data + static_cast<size_t>(y) * w * 4, row,
                                        static_cast<size_t>(w) * 4) == 0)
                    continue;
                for (int x = 0; x < size; ++x)
                    if (XGetPixel(got, x, y) != XGetPixel(img[k], x, y))
                        ++bad;
            }
            XDestroyImage(got);
            ++checked;
        }
    }
    std::printf("get %zu %.6f %ld %d\n", imgbytes * static_cast<size_t>(gets * nimages), getsec,
                bad, checked);
    std::printf("done %d\n", xerrors);
    std::fflush(stdout);
    for (auto* im : img) {
        im->data = nullptr; // the pixels belong to the vectors
        XDestroyImage(im);
    }
    XCloseDisplay(dpy);
    return bad == 0 && xerrors == 0 ? 0 : 1;
}
