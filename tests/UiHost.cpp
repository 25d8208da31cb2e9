#include "tests/UiHost.h"

#include <cairo.h>
#include <dlfcn.h>
#include <fontconfig/fontconfig.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace uitest {

namespace {

// One Xvfb for the test program, ended when it exits.
struct Server {
    pid_t pid = -1;
    Display* display = nullptr;
    std::string why;
    Server() {
        int fds[2];
        if (pipe(fds) != 0) {
            why = "no pipe";
            return;
        }
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1000x24",
                   "-nolisten", "tcp", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (number.empty()) {
            why = "Xvfb could not be started (is the xvfb package installed?)";
            return;
        }
        const std::string name = ":" + number;
        setenv("DISPLAY", name.c_str(), 1);
        display = XOpenDisplay(name.c_str());
        if (!display)
            why = "the display Xvfb started cannot be opened";
    }
    ~Server() {
        // Cairo's and fontconfig's process-wide font caches, which every interface
        // opened shares, go with the program, so that the leak check sees only what
        // an interface left behind.
        cairo_debug_reset_static_data();
        FcFini();
        if (display)
            XCloseDisplay(display);
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

Server& server() {
    static Server s;
    return s;
}

void write(LV2UI_Controller controller, uint32_t port, uint32_t size, uint32_t format,
           const void* buffer) {
    auto* host = static_cast<UiHost*>(controller);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    host->writes.push_back({port, format, std::vector<uint8_t>(bytes, bytes + size)});
}

int resized(LV2UI_Feature_Handle handle, int w, int h) {
    auto* host = static_cast<UiHost*>(handle);
    host->width = w;
    host->height = h;
    XResizeWindow(host->display, host->parent, static_cast<unsigned>(w), static_cast<unsigned>(h));
    return 0;
}

LV2UI_Request_Value_Status requested(LV2UI_Feature_Handle handle, LV2_URID key, LV2_URID type,
                                     const LV2_Feature* const*) {
    static_cast<UiHost*>(handle)->requests.emplace_back(key, type);
    return LV2UI_REQUEST_VALUE_SUCCESS;
}

} // namespace

Display* testDisplay(std::string* why) {
    if (why)
        *why = server().why;
    return server().display;
}

float Write::value() const {
    float v = NAN;
    if (format == 0 && bytes.size() == sizeof v)
        std::memcpy(&v, bytes.data(), sizeof v);
    return v;
}

UiHost::UiHost(float scale, bool offerRequestValue, const char* plugin) : scaleFactor(scale) {
    display = testDisplay();
    if (!display)
        return;
    parent = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 100, 100, 0, 0, 0);
    XMapWindow(display, parent);
    XSync(display, False);
    const std::string path = std::string(QUORLE_BUNDLE_DIR) + "/quorle_ui.so";
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return;
    auto entry =
        reinterpret_cast<const LV2UI_Descriptor* (*)(uint32_t)>(dlsym(library, "lv2ui_descriptor"));
    descriptor = entry ? entry(0) : nullptr;
    if (!descriptor)
        return;
    idler =
        static_cast<const LV2UI_Idle_Interface*>(descriptor->extension_data(LV2_UI__idleInterface));
    options[0] = {LV2_OPTIONS_INSTANCE,         0,
                  uris.id(LV2_UI__scaleFactor), sizeof(float),
                  uris.id(LV2_ATOM__Float),     &scaleFactor};
    options[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    resize = {this, resized};
    requestValue = {this, requested};
    const LV2_Feature mapFeature{LV2_URID__map, &uris.map};
    const LV2_Feature parentFeature{LV2_UI__parent,
                                    reinterpret_cast<void*>(static_cast<uintptr_t>(parent))};
    const LV2_Feature resizeFeature{LV2_UI__resize, &resize};
    const LV2_Feature optionsFeature{LV2_OPTIONS__options, options};
    const LV2_Feature requestFeature{LV2_UI__requestValue, &requestValue};
    const LV2_Feature* features[] = {&mapFeature,
                                     &parentFeature,
                                     &resizeFeature,
                                     &optionsFeature,
                                     offerRequestValue ? &requestFeature : nullptr,
                                     nullptr};
    LV2UI_Widget widget = nullptr;
    handle = descriptor->instantiate(descriptor, plugin, QUORLE_BUNDLE_DIR "/", write, this,
                                     &widget, features);
    window = static_cast<Window>(reinterpret_cast<uintptr_t>(widget));
    XSync(display, False);
}

UiHost::~UiHost() {
    if (handle)
        descriptor->cleanup(handle);
    if (library)
        dlclose(library);
    if (parent) {
        XDestroyWindow(display, parent);
        XSync(display, False);
    }
}

void UiHost::idle(int ms) {
    for (int t = 0; t < ms; t += 10) {
        XSync(display, False);
        if (idler)
            idler->idle(handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void UiHost::portEvent(uint32_t port, float value) {
    descriptor->port_event(handle, port, sizeof value, 0, &value);
}

void UiHost::portEvent(uint32_t port, const void* atom, uint32_t size) {
    descriptor->port_event(handle, port, size, uris.id(LV2_ATOM__eventTransfer), atom);
}

float UiHost::lastWrite(uint32_t port) const {
    for (auto w = writes.rbegin(); w != writes.rend(); ++w)
        if (w->port == port && w->format == 0)
            return w->value();
    return NAN;
}

void UiHost::moveTo(int x, int y) {
    XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
    XSync(display, False);
    idle(20);
}

void UiHost::press(int x, int y, unsigned button) {
    moveTo(x, y);
    XTestFakeButtonEvent(display, button, True, CurrentTime);
    XSync(display, False);
    idle(20);
}

void UiHost::release(unsigned button) {
    XTestFakeButtonEvent(display, button, False, CurrentTime);
    XSync(display, False);
    idle(20);
}

void UiHost::click(int x, int y, unsigned button) {
    press(x, y, button);
    release(button);
}

void UiHost::key(KeySym sym) {
    const KeyCode code = XKeysymToKeycode(display, sym);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
    idle(20);
}

unsigned long UiHost::pixel(int x, int y) {
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    const unsigned long p = image ? XGetPixel(image, 0, 0) & 0xffffff : 0;
    if (image)
        XDestroyImage(image);
    return p;
}

void UiHost::screenshot(const std::string& path) {
    XWindowAttributes a;
    XGetWindowAttributes(display, window, &a);
    XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(a.width),
                              static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
    ASSERT_NE(image, nullptr);
    cairo_surface_t* png = cairo_image_surface_create(CAIRO_FORMAT_RGB24, a.width, a.height);
    auto* data = cairo_image_surface_get_data(png);
    const int stride = cairo_image_surface_get_stride(png);
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            reinterpret_cast<uint32_t*>(data + y * stride)[x] =
                static_cast<uint32_t>(XGetPixel(image, x, y) & 0xffffff);
    cairo_surface_mark_dirty(png);
    cairo_surface_write_to_png(png, path.c_str());
    cairo_surface_destroy(png);
    XDestroyImage(image);
}

} // namespace uitest
