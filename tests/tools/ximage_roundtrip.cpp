// The one image round-trip client of tests, reliability runs and the bench: seeded images put
// into pixmaps of depth 32 (every byte of every pixel is data, none is padding a server may
// drop) and read back, compared pixel for pixel; optionally XSync round trips first.
//
//   ximage_roundtrip [-display NAME] [-size WxH] [-images K] [-rounds R] [-seed N] [-rtt N]
//                    [-wait]
//
// Every round puts K different images (one pipelined stream) and then reads each back. With
// -wait it says "ready rtt|put|get" before each phase and waits for SIGUSR1, so that a bench
// can read a relay's CPU time right at the edges of every timed phase.
// Standard output, one line per phase:
//   rtt <count> <median_us> <p99_us> <mean_us>
//   put <bytes> <seconds>
//   get <bytes> <seconds> <wrong_pixels> <images>
//   rounds <R> put <bytes> got <bytes> wrong <pixels> errors <x_errors>     (last line)
// Exit status 0 when every pixel came back as sent without an X error, 1 when not, 2 when the
// display cannot be opened or the arguments are wrong.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

static int xerrors;

static int onerror(Display* dpy, XErrorEvent* e)
{
    char text[256];
    XGetErrorText(dpy, e->error_code, text, sizeof text);
    std::fprintf(stderr, "ximage_roundtrip: X error: %s (request %d)\n", text, e->request_code);
    ++xerrors;
    return 0;
}

static double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A phase starts only on the bench's go; a bench that is gone ends us.
static void barrier(bool wait, const char* phase)
{
    if (!wait)
        return;
    std::printf("ready %s\n", phase);
    std::fflush(stdout);
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGUSR1);
    const timespec limit{120, 0};
    if (sigtimedwait(&s, nullptr, &limit) != SIGUSR1) {
        std::fprintf(stderr, "ximage_roundtrip: no go for phase %s\n", phase);
        std::exit(2);
    }
}

// A different pseudo-random pattern for every seed, image and round: a byte moved, lost or
// swapped shows.
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

static void usage()
{
    std::fprintf(stderr, "usage: ximage_roundtrip [-display NAME] [-size WxH] [-images K] "
                         "[-rounds R] [-seed N] [-rtt N] [-wait]\n");
    std::exit(2);
}

int main(int argc, char** argv)
{
    const char* name = nullptr;
    int w = 1000, h = 1000, nimages = 1;
    long rounds = 1, nrtt = 0;
    uint64_t seed = 1;
    bool wait = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "-wait") == 0) {
            wait = true;
            continue;
        }
        if (i + 1 >= argc)
            usage();
        const char* v = argv[++i];
        if (std::strcmp(a, "-display") == 0)
            name = v;
        else if (std::strcmp(a, "-size") == 0) {
            if (std::sscanf(v, "%dx%d", &w, &h) != 2)
                usage();
        } else if (std::strcmp(a, "-images") == 0)
            nimages = std::atoi(v);
        else if (std::strcmp(a, "-rounds") == 0)
            rounds = std::atol(v);
        else if (std::strcmp(a, "-seed") == 0)
            seed = std::strtoull(v, nullptr, 10);
        else if (std::strcmp(a, "-rtt") == 0)
            nrtt = std::atol(v);
        else
            usage();
    }
    if (w < 1 || h < 1 || w > 4096 || h > 4096 || nimages < 1 || nimages > 64 || rounds < 1 ||
        nrtt < 0 || nrtt > 1000000)
        usage();

    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGUSR1);
    sigprocmask(SIG_BLOCK, &s, nullptr);

    Display* dpy = XOpenDisplay(name);
    if (dpy == nullptr) {
        std::fprintf(stderr, "ximage_roundtrip: cannot open display\n");
        return 2;
    }
    XSetErrorHandler(onerror);
    const Window root = DefaultRootWindow(dpy);
    const auto uw = static_cast<unsigned>(w), uh = static_cast<unsigned>(h);
    const size_t npix = static_cast<size_t>(w) * static_cast<size_t>(h);
    const auto k = static_cast<size_t>(nimages);
    std::vector<Pixmap> pix(k);
    std::vector<std::vector<uint32_t>> data(k, std::vector<uint32_t>(npix));
    std::vector<XImage*> img(k);
    Visual* visual = DefaultVisual(dpy, DefaultScreen(dpy));
    GC gc = nullptr;
    for (size_t i = 0; i < k; ++i) {
        pix[i] = XCreatePixmap(dpy, root, uw, uh, 32);
        if (gc == nullptr)
            gc = XCreateGC(dpy, pix[i], 0, nullptr);
        XFillRectangle(dpy, pix[i], gc, 0, 0, uw, uh); // the server's pages are touched up front
        img[i] = XCreateImage(dpy, visual, 32, ZPixmap, 0, reinterpret_cast<char*>(data[i].data()),
                              uw, uh, 32, 0);
        if (img[i] == nullptr || img[i]->bytes_per_line != w * 4) {
            std::fprintf(stderr, "ximage_roundtrip: cannot make a 32-bit image\n");
            return 2;
        }
    }
    XSync(dpy, False);

    if (nrtt > 0) {
        barrier(wait, "rtt");
        std::vector<double> t(static_cast<size_t>(nrtt));
        double sum = 0;
        for (auto& d : t) {
            const double t0 = now();
            XSync(dpy, False);
            d = (now() - t0) * 1e6;
            sum += d;
        }
        std::sort(t.begin(), t.end());
        const size_t n = t.size();
        const double median = n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
        const size_t i99 = std::min(n - 1, (n * 99 + 99) / 100 - 1);
        std::printf("rtt %zu %.2f %.2f %.2f\n", n, median, t[i99], sum / static_cast<double>(n));
        std::fflush(stdout);
    }

    const size_t roundbytes = npix * 4 * k;
    unsigned long long put = 0, got = 0, wrong = 0;
    for (long r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < k; ++i)
            fill(data[i], seed * 1000003ULL + static_cast<uint64_t>(r) * k + i + 1);
        barrier(wait, "put");
        const double p0 = now();
        for (size_t i = 0; i < k; ++i)
            XPutImage(dpy, pix[i], gc, img[i], 0, 0, 0, 0, uw, uh);
        XSync(dpy, False);
        std::printf("put %zu %.6f\n", roundbytes, now() - p0);
        std::fflush(stdout);
        put += roundbytes;

        barrier(wait, "get");
        double getsec = 0;
        long bad = 0;
        for (size_t i = 0; i < k; ++i) {
            const double g0 = now();
            XImage* back = XGetImage(dpy, pix[i], 0, 0, uw, uh, AllPlanes, ZPixmap);
            getsec += now() - g0;
            if (back == nullptr) {
                bad += static_cast<long>(npix);
                continue;
            }
            // Untimed: the comparison, row by row, pixel by pixel only where a row differs.
            const bool flat = back->bits_per_pixel == 32 && back->bytes_per_line == w * 4 &&
                              back->byte_order == img[i]->byte_order;
            for (int y = 0; y < h; ++y) {
                const size_t row = static_cast<size_t>(y) * uw;
                if (flat && std::memcmp(back->data + row * 4, data[i].data() + row, uw * 4) == 0)
                    continue;
                for (int x = 0; x < w; ++x)
                    if (XGetPixel(back, x, y) != XGetPixel(img[i], x, y))
                        ++bad;
            }
            XDestroyImage(back);
        }
        std::printf("get %zu %.6f %ld %zu\n", roundbytes, getsec, bad, k);
        std::fflush(stdout);
        got += roundbytes;
        wrong += static_cast<unsigned long long>(bad);
    }
    std::printf("rounds %ld put %llu got %llu wrong %llu errors %d\n", rounds, put, got, wrong,
                xerrors);
    std::fflush(stdout);
    for (auto* im : img) {
        im->data = nullptr; // the pixels belong to the vectors
        XDestroyImage(im);
    }
    XCloseDisplay(dpy);
    return wrong == 0 && xerrors == 0 ? 0 : 1;
}
