#include "ScreenWatch.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace bench {

struct ScreenWatch::State {
    Display* dpy = nullptr;
    Window root = 0;
    XImage* image = nullptr;
    XShmSegmentInfo shm{};
    bool attached = false;
};

ScreenWatch::ScreenWatch(const std::string& display) : s_(std::make_unique<State>()) {
    s_->dpy = XOpenDisplay(display.c_str());
    if (!s_->dpy) return;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XShmQueryExtension(s_->dpy) || !XTestQueryExtension(s_->dpy, &event, &error, &major, &minor)) return;
    s_->root = DefaultRootWindow(s_->dpy);
    XWindowAttributes a{};
    XGetWindowAttributes(s_->dpy, s_->root, &a);
    s_->image = XShmCreateImage(s_->dpy, a.visual, unsigned(a.depth), ZPixmap, nullptr, &s_->shm, unsigned(a.width),
                                unsigned(a.height));
    if (!s_->image || s_->image->bits_per_pixel != 32) return;
    s_->shm.shmid = shmget(IPC_PRIVATE, size_t(s_->image->bytes_per_line) * size_t(s_->image->height), IPC_CREAT | 0600);
    if (s_->shm.shmid < 0) return;
    void* at = shmat(s_->shm.shmid, nullptr, 0);
    // Marked for removal at once: the segment goes when both sides detach, whatever happens.
    shmctl(s_->shm.shmid, IPC_RMID, nullptr);
    if (at == reinterpret_cast<void*>(-1)) return;
    s_->shm.shmaddr = s_->image->data = static_cast<char*>(at);
    s_->shm.readOnly = False;
    s_->attached = XShmAttach(s_->dpy, &s_->shm) != 0;
    XSync(s_->dpy, False);
}

ScreenWatch::~ScreenWatch() {
    if (!s_->dpy) return;
    if (s_->attached) XShmDetach(s_->dpy, &s_->shm);
    if (s_->image) {
        if (s_->image->data) shmdt(s_->image->data);
        s_->image->data = nullptr;
        XDestroyImage(s_->image);
    }
    XCloseDisplay(s_->dpy);
}

bool ScreenWatch::Ok() const { return s_->attached; }

ScreenColor ScreenWatch::Mean() {
    ScreenColor c;
    if (!s_->attached || !XShmGetImage(s_->dpy, s_->root, s_->image, 0, 0, AllPlanes)) return c;
    double r = 0, g = 0, b = 0;
    long n = 0;
    const XImage& im = *s_->image;
    for (int y = 0; y < im.height; y += 4) {
        const auto* row = reinterpret_cast<const unsigned char*>(im.data) + long(y) * im.bytes_per_line;
        for (int x = 0; x < im.width; x += 4) {
            const unsigned char* p = row + 4 * x;  // 24-bit depth in 32 bits: blue, green, red
            b += p[0], g += p[1], r += p[2], ++n;
        }
    }
    if (n) c = {r / double(n), g / double(n), b / double(n)};
    return c;
}

void ScreenWatch::Key(const char* name, bool ctrl) {
    if (!s_->attached) return;
    const KeyCode key = XKeysymToKeycode(s_->dpy, XStringToKeysym(name));
    const KeyCode control = XKeysymToKeycode(s_->dpy, XK_Control_L);
    if (ctrl) XTestFakeKeyEvent(s_->dpy, control, True, CurrentTime);
    XTestFakeKeyEvent(s_->dpy, key, True, CurrentTime);
    XTestFakeKeyEvent(s_->dpy, key, False, CurrentTime);
    if (ctrl) XTestFakeKeyEvent(s_->dpy, control, False, CurrentTime);
    XFlush(s_->dpy);
}

}  // namespace bench
