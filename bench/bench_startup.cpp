// Start-up time of the program on an X server: from just before exec to the
// map of its top-level window (seen as MapNotify on the root window, no
// polling), and to the first drawing in it (the window's pixels polled until
// they hold text and a background, not one plain fill).
//
//   bench_startup RUNS CAPTION PROGRAM [ARGS...]
//
// DISPLAY names the server; no window manager may run on it. Prints one
// "run N mapped_ms X drawn_ms Y" line per run.

#include "ProcStats.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr double WaitMs = 10'000;

// A window that goes away while it is looked at is no reason to stop.
int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

// Waits for the next event until `deadline`; false once it has passed.
bool nextEvent(Display* display, XEvent& event, double deadline) {
    while (XPending(display) == 0) {
        const double left = deadline - bench::nowMs();
        if (left <= 0)
            return false;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left) + 1);
    }
    XNextEvent(display, &event);
    return true;
}

std::string property(Display* display, Window window, const char* name) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string result;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 1024, False,
                           AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
        data && format == 8)
        result.assign(reinterpret_cast<const char*>(data), count);
    if (data)
        XFree(data);
    return result;
}

// The title as the program set it, whatever its encoding property.
std::string windowName(Display* display, Window window) {
    std::string name = property(display, window, "_NET_WM_NAME");
    return name.empty() ? property(display, window, "WM_NAME") : name;
}

// Drawn once the window shows at least three colours: a frame, a background
// and text. Before it is drawn it holds a plain fill or nothing.
bool drawn(Display* display, Window window) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable)
        return false;
    XImage* image =
        XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image)
        return false;
    std::set<unsigned long> colours;
    for (int y = 0; y < image->height && colours.size() < 3; y += 2)
        for (int x = 0; x < image->width && colours.size() < 3; x += 2)
            colours.insert(XGetPixel(image, x, y));
    XDestroyImage(image);
    return colours.size() >= 3;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s RUNS CAPTION PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const std::string caption = argv[2];
    char** program = argv + 3;
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open display %s\n", XDisplayName(nullptr));
        return 1;
    }
    XSetErrorHandler(ignoreErrors);
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, True);

    int failures = 0;
    for (int run = 1; run <= runs && run <= 100; ++run) {
        const double start = bench::nowMs();
        const pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child == 0) {
            execv(program[0], program);
            _exit(127);
        }

        Window window = 0;
        double mappedMs = -1, drawnMs = -1;
        const double deadline = start + WaitMs;
        XEvent event;
        while (!window && nextEvent(display, event, deadline)) {
            if (event.type == MapNotify && !event.xmap.override_redirect &&
                windowName(display, event.xmap.window) == caption) {
                mappedMs = bench::nowMs() - start;
                window = event.xmap.window;
            }
        }
        while (window && bench::nowMs() < deadline) {
            if (drawn(display, window)) {
                drawnMs = bench::nowMs() - start;
                break;
            }
            usleep(2000);
        }

        kill(child, SIGTERM);
        int status = 0;
        waitpid(child, &status, 0);
        // Let the server forget the window before the next run starts.
        XSync(display, False);
        while (XPending(display))
            XNextEvent(display, &event);
        if (mappedMs < 0 || drawnMs < 0)
            ++failures;
        std::printf("run %d mapped_ms %.1f drawn_ms %.1f\n", run, mappedMs, drawnMs);
        std::fflush(stdout);
        usleep(200'000);
    }
    XCloseDisplay(display);
    return failures == 0 ? 0 : 1;
}
