// The plug-in's X11 interface: a window of its own inside the host's (ui:parent),
// drawn with cairo on Xlib. It talks to the plug-in only through what the host
// carries: control port writes, patch messages on the control port, and the port
// events the host hands back (controls, meters, notify messages).
//
// Threads: every entry point here runs on the host's UI thread. The window has its
// own display connection, which idle() drains without blocking.
#include "lv2/UiProtocol.h"
#include "lv2/ui/Panel.h"
#include "lv2/ui/Pictures.h"
#include "lv2/ui/UiState.h"

#include "main/DataArchive.h"
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/options/options.h>
#include <lv2/patch/patch.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>
// Xlib after the LV2 headers: its macros (Bool, Status) would rename their types.
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace quorleui {

namespace {

using quorlelv2::kArchiveUri;
using quorlelv2::kCabinetFileUri;
using quorlelv2::kModelsUri;
constexpr unsigned long kDoubleClickMs = 400;

struct Urids {
    LV2_URID eventTransfer, atomPath, atomString, atomFloat, atomObject, atomUrid;
    LV2_URID patchSet, patchGet, patchProperty, patchValue, report;
    LV2_URID archive, models, cabinetFile, status, scaleFactor;
};

struct Ui {
    LV2UI_Write_Function write = nullptr;
    LV2UI_Controller controller = nullptr;
    LV2UI_Request_Value* requestValue = nullptr;
    Urids urids{};
    UiState state;
    std::unique_ptr<Pictures> pictures;
    std::unique_ptr<Panel> panel;
    Display* display = nullptr;
    Window window = 0;
    // The picture is drawn into `surface` (cairo's xRGB, 32 bits a pixel) and put on
    // the window through `image`, which points at the surface's pixels. (Cairo's own
    // Xlib surface keeps a record of every display it met for good.)
    cairo_surface_t* surface = nullptr;
    XImage* image = nullptr;
    GC gc = nullptr;
    bool picturesDirty = true, drawDirty = true;
    int focus = kNothing;
    int dragging = kNothing;
    int lastY = 0;
    int lastClickTarget = kNothing;
    Time lastClickTime = 0;
    std::string hint;
};

LV2_URID mapUri(const LV2_URID_Map* map, const char* uri) {
    return map->map(map->handle, uri);
}

// The scale from the host's ui:scaleFactor, else the whole-number scale a GTK host
// was started with (GDK_SCALE, which jalv.gtk3 does not pass on as an option), else
// the X server's Xft.dpi over 96.
double scaleOf(const Ui& ui, const LV2_Options_Option* options) {
    for (const LV2_Options_Option* o = options; o && o->key; ++o)
        if (o->key == ui.urids.scaleFactor && o->type == ui.urids.atomFloat && o->value &&
            o->size == sizeof(float)) {
            const float s = *static_cast<const float*>(o->value);
            if (std::isfinite(s))
                return std::clamp(static_cast<double>(s), 0.5, 4.0);
        }
    if (const char* gdk = std::getenv("GDK_SCALE")) {
        const int factor = std::atoi(gdk);
        if (factor >= 1 && factor <= 4)
            return factor;
    }
    if (const char* resources = XResourceManagerString(ui.display)) {
        const char* dpi = std::strstr(resources, "Xft.dpi:");
        if (dpi) {
            const double value = std::atof(dpi + 8);
            if (value > 0.0)
                return std::clamp(value / 96.0, 0.5, 4.0);
        }
    }
    return 1.0;
}

void writeControl(Ui& ui, Control c, float v) {
    v = ui.state.clamp(c, v);
    if (v == ui.state.value[c])
        return;
    ui.state.value[c] = v;
    ui.write(ui.controller, ui.state.portOf(c), sizeof(float), 0, &v);
    ui.drawDirty = true;
    if (c != kOversampling)
        ui.picturesDirty = true;
}

// One step of control `c` up (`direction` 1) or down (-1); `fine` a tenth of it.
void step(Ui& ui, int c, int direction, bool fine) {
    const Control control = static_cast<Control>(c);
    const float v = ui.state.value[c];
    switch (control) {
    case kModel:
    case kCabinet: writeControl(ui, control, v + direction); break;
    case kOversampling: writeControl(ui, control, direction > 0 ? v * 2 : v / 2); break;
    default: writeControl(ui, control, v + direction * (fine ? 0.002f : 0.02f)); break;
    }
}

// Asks the host for a file for `property`; without the host's dialog, says so.
void requestFile(Ui& ui, LV2_URID property) {
    if (ui.requestValue &&
        ui.requestValue->request(ui.requestValue->handle, property, ui.urids.atomPath, nullptr) ==
            LV2UI_REQUEST_VALUE_SUCCESS) {
        ui.hint.clear();
    } else {
        ui.hint = "This host offers no file dialog here: choose the file in its generic controls.";
    }
    ui.drawDirty = true;
}

void activate(Ui& ui, int target) {
    if (target == kArchiveButton)
        requestFile(ui, ui.urids.archive);
    else if (target == kCabinetFileButton)
        requestFile(ui, ui.urids.cabinetFile);
}

void onButton(Ui& ui, const XButtonEvent& e) {
    bool forward = true;
    const int target = ui.panel->hit(e.x, e.y, &forward);
    const bool fine = e.state & (ShiftMask | ControlMask);
    if (e.button == Button4 || e.button == Button5) {
        if (target < kControlCount)
            step(ui, target, e.button == Button4 ? 1 : -1, fine);
        return;
    }
    if (e.button != Button1)
        return;
    XSetInputFocus(ui.display, ui.window, RevertToParent, CurrentTime);
    const bool doubleClick =
        target == ui.lastClickTarget && e.time - ui.lastClickTime < kDoubleClickMs;
    ui.lastClickTarget = target;
    ui.lastClickTime = e.time;
    if (target != kNothing && target < kTargetCount && ui.focus != target) {
        ui.focus = target;
        ui.drawDirty = true;
    }
    switch (target) {
    case kDrive:
    case kPost:
    case kBass:
        if (doubleClick)
            writeControl(ui, static_cast<Control>(target),
                         UiState::defaultOf(static_cast<Control>(target)));
        ui.dragging = target;
        ui.lastY = e.y;
        break;
    case kModel:
    case kCabinet:
    case kOversampling: step(ui, target, forward ? 1 : -1, false); break;
    case kInMeter:
    case kOutMeter:
        ui.state.clipped[target - kInMeter] = false; // a click clears the clip light
        ui.drawDirty = true;
        break;
    default: activate(ui, target);
    }
}

void onMotion(Ui& ui, const XMotionEvent& e) {
    if (ui.dragging == kNothing)
        return;
    const bool fine = e.state & (ShiftMask | ControlMask);
    // 200 pixels (at scale 1) from one end to the other; a tenth as fast when fine.
    const double perPixel = (fine ? 0.1 : 1.0) / (200.0 * ui.panel->scale());
    const Control c = static_cast<Control>(ui.dragging);
    writeControl(ui, c, ui.state.value[c] + static_cast<float>((ui.lastY - e.y) * perPixel));
    ui.lastY = e.y;
}

void onKey(Ui& ui, XKeyEvent& e) {
    const KeySym key = XLookupKeysym(&e, 0);
    const bool fine = e.state & (ShiftMask | ControlMask);
    if (key == XK_Tab || key == XK_ISO_Left_Tab) {
        const int back = key == XK_ISO_Left_Tab || (e.state & ShiftMask);
        const int from = ui.focus == kNothing ? (back ? 0 : kTargetCount - 1) : ui.focus;
        ui.focus = (from + (back ? kTargetCount - 1 : 1)) % kTargetCount;
        ui.drawDirty = true;
    } else if (ui.focus < kControlCount) {
        if (key == XK_Up || key == XK_Right)
            step(ui, ui.focus, 1, fine);
        else if (key == XK_Down || key == XK_Left)
            step(ui, ui.focus, -1, fine);
        else if (key == XK_Home || key == XK_BackSpace)
            writeControl(ui, static_cast<Control>(ui.focus),
                         UiState::defaultOf(static_cast<Control>(ui.focus)));
    } else if (ui.focus < kTargetCount && (key == XK_Return || key == XK_space)) {
        activate(ui, ui.focus);
    }
}

// Puts the picture drawn last on the window.
void present(Ui& ui) {
    XPutImage(ui.display, ui.window, ui.gc, ui.image, 0, 0, 0, 0,
              static_cast<unsigned>(ui.image->width), static_cast<unsigned>(ui.image->height));
    XFlush(ui.display);
}

void draw(Ui& ui) {
    cairo_t* cr = cairo_create(ui.surface);
    ui.panel->draw(cr, {&ui.state, ui.pictures.get(), ui.focus, ui.hint});
    cairo_destroy(cr);
    cairo_surface_flush(ui.surface);
    ui.drawDirty = false;
    present(ui);
}

void updatePictures(Ui& ui) {
    PictureInputs in;
    in.archive = ui.state.archivePath;
    in.model = static_cast<int>(ui.state.value[kModel]);
    in.drive = ui.state.value[kDrive];
    in.post = ui.state.value[kPost];
    in.bass = ui.state.value[kBass];
    in.cabinet = static_cast<int>(ui.state.value[kCabinet]);
    in.cabinetFile = ui.state.cabinetPath;
    if (ui.pictures->update(in))
        ui.drawDirty = true;
    ui.picturesDirty = false;
}

// A string or path atom's text, when it is whole and ends in its terminator.
bool textOf(const Ui& ui, const LV2_Atom* value, std::string& out) {
    if (!value || (value->type != ui.urids.atomPath && value->type != ui.urids.atomString) ||
        value->size == 0)
        return false;
    const char* body = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
    if (body[value->size - 1] != '\0')
        return false;
    out.assign(body, std::strlen(body));
    return true;
}

// A patch:Set or a report from the notify port (`size` bytes at `atom`, checked
// before reading).
void onNotify(Ui& ui, uint32_t size, const void* buffer) {
    if (size < sizeof(LV2_Atom_Object))
        return;
    const auto* object = static_cast<const LV2_Atom_Object*>(buffer);
    if (object->atom.type != ui.urids.atomObject || object->atom.size > size - sizeof(LV2_Atom) ||
        (object->body.otype != ui.urids.patchSet && object->body.otype != ui.urids.report))
        return;
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    LV2_ATOM_OBJECT_FOREACH(object, p) {
        // Each property must lie inside the object before it is read.
        const auto* end =
            reinterpret_cast<const uint8_t*>(object) + sizeof(LV2_Atom) + object->atom.size;
        if (reinterpret_cast<const uint8_t*>(&p->value) + sizeof(LV2_Atom) > end ||
            reinterpret_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&p->value)) + p->value.size > end)
            return;
        if (p->key == ui.urids.patchProperty)
            property = &p->value;
        else if (p->key == ui.urids.patchValue)
            value = &p->value;
    }
    if (!property || property->type != ui.urids.atomUrid || property->size < sizeof(LV2_URID))
        return;
    const LV2_URID key = reinterpret_cast<const LV2_Atom_URID*>(property)->body;
    std::string text;
    if (!textOf(ui, value, text))
        return;
    if (key == ui.urids.models) {
        ui.state.takeModelList(text);
    } else if (key == ui.urids.archive) {
        ui.picturesDirty |= text != ui.state.archivePath;
        ui.state.archivePath = text;
    } else if (key == ui.urids.cabinetFile) {
        ui.picturesDirty |= text != ui.state.cabinetPath;
        ui.state.cabinetPath = text;
    } else if (key == ui.urids.status) {
        ui.state.status = text;
    } else {
        return;
    }
    ui.drawDirty = true;
}

// Asks the plug-in to tell all it tells (a patch:Get with no subject).
void askForEverything(Ui& ui) {
    uint8_t buffer[64];
    LV2_Atom_Forge forge;
    std::memset(&forge, 0, sizeof forge);
    lv2_atom_forge_set_buffer(&forge, buffer, sizeof buffer);
    forge.Object = ui.urids.atomObject;
    LV2_Atom_Forge_Frame frame;
    const auto* msg = reinterpret_cast<const LV2_Atom*>(
        lv2_atom_forge_object(&forge, &frame, 0, ui.urids.patchGet));
    lv2_atom_forge_pop(&forge, &frame);
    ui.write(ui.controller, ui.state.ports.control(), lv2_atom_total_size(msg),
             ui.urids.eventTransfer, msg);
}

void destroy(Ui* ui) {
    if (ui->image) {
        ui->image->data = nullptr; // the surface's pixels
        XDestroyImage(ui->image);
    }
    if (ui->surface)
        cairo_surface_destroy(ui->surface);
    if (ui->display) {
        if (ui->gc)
            XFreeGC(ui->display, ui->gc);
        if (ui->window)
            XDestroyWindow(ui->display, ui->window);
        XCloseDisplay(ui->display);
    }
    delete ui;
}

// --- the entry points, on the host's UI thread ---

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char* pluginUri, const char* bundlePath,
                         LV2UI_Write_Function write, LV2UI_Controller controller,
                         LV2UI_Widget* widget, const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    const LV2_Options_Option* options = nullptr;
    LV2UI_Resize* resize = nullptr;
    void* parent = nullptr;
    for (const LV2_Feature* const* f = features; f && *f; ++f) {
        const char* uri = (*f)->URI;
        if (!std::strcmp(uri, LV2_URID__map))
            map = static_cast<const LV2_URID_Map*>((*f)->data);
        else if (!std::strcmp(uri, LV2_OPTIONS__options))
            options = static_cast<const LV2_Options_Option*>((*f)->data);
        else if (!std::strcmp(uri, LV2_UI__resize))
            resize = static_cast<LV2UI_Resize*>((*f)->data);
        else if (!std::strcmp(uri, LV2_UI__parent))
            parent = (*f)->data;
    }
    if (!map || !write || !widget)
        return nullptr;
    auto* ui = new Ui;
    ui->write = write;
    ui->controller = controller;
    for (const LV2_Feature* const* f = features; f && *f; ++f)
        if (!std::strcmp((*f)->URI, LV2_UI__requestValue))
            ui->requestValue = static_cast<LV2UI_Request_Value*>((*f)->data);
    if (!ui->requestValue)
        ui->hint = "This host offers no file dialog: choose the data archive and cabinet file "
                   "in its generic controls.";
    Urids& u = ui->urids;
    u.eventTransfer = mapUri(map, LV2_ATOM__eventTransfer);
    u.atomPath = mapUri(map, LV2_ATOM__Path);
    u.atomString = mapUri(map, LV2_ATOM__String);
    u.atomFloat = mapUri(map, LV2_ATOM__Float);
    u.atomObject = mapUri(map, LV2_ATOM__Object);
    u.atomUrid = mapUri(map, LV2_ATOM__URID);
    u.patchSet = mapUri(map, LV2_PATCH__Set);
    u.report = mapUri(map, quorlelv2::kReportUri);
    u.patchGet = mapUri(map, LV2_PATCH__Get);
    u.patchProperty = mapUri(map, LV2_PATCH__property);
    u.patchValue = mapUri(map, LV2_PATCH__value);
    u.archive = mapUri(map, kArchiveUri);
    u.models = mapUri(map, kModelsUri);
    u.cabinetFile = mapUri(map, kCabinetFileUri);
    u.status = mapUri(map, quorlelv2::kStatusUri);
    u.scaleFactor = mapUri(map, LV2_UI__scaleFactor);
    ui->state.ports = pluginUri && !std::strcmp(pluginUri, quorlelv2::kStereoUri)
                          ? quorlelv2::kStereoPorts
                          : quorlelv2::kMonoPorts;

    ui->display = XOpenDisplay(nullptr);
    if (!ui->display) {
        destroy(ui);
        return nullptr;
    }
    std::string dir = bundlePath ? bundlePath : ".";
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    ui->pictures = std::make_unique<Pictures>(dir);
    for (const std::string& entry : ui->pictures->shipped().modelNames())
        ui->state.shippedModels.push_back(entry.size() > 4 ? entry.substr(0, entry.size() - 4)
                                                           : entry);
    ui->panel = std::make_unique<Panel>(scaleOf(*ui, options));

    const int screen = DefaultScreen(ui->display);
    const Window parentWindow = parent ? static_cast<Window>(reinterpret_cast<uintptr_t>(parent))
                                       : RootWindow(ui->display, screen);
    const int w = ui->panel->width(), h = ui->panel->height();
    ui->window = XCreateSimpleWindow(ui->display, parentWindow, 0, 0, w, h, 0, 0,
                                     BlackPixel(ui->display, screen));
    XSizeHints hints{};
    hints.flags = PMinSize | PMaxSize;
    hints.min_width = hints.max_width = w;
    hints.min_height = hints.max_height = h;
    XSetWMNormalHints(ui->display, ui->window, &hints);
    XStoreName(ui->display, ui->window, "quorle");
    XSelectInput(ui->display, ui->window,
                 ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                     KeyPressMask | FocusChangeMask | StructureNotifyMask);
    ui->surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    Visual* visual = DefaultVisual(ui->display, screen);
    if (cairo_surface_status(ui->surface) != CAIRO_STATUS_SUCCESS ||
        DefaultDepth(ui->display, screen) < 24 || visual->red_mask != 0xff0000 ||
        visual->green_mask != 0xff00 || visual->blue_mask != 0xff) {
        destroy(ui); // a display that cannot show 24-bit RGB as is
        return nullptr;
    }
    ui->image =
        XCreateImage(ui->display, visual, static_cast<unsigned>(DefaultDepth(ui->display, screen)),
                     ZPixmap, 0, reinterpret_cast<char*>(cairo_image_surface_get_data(ui->surface)),
                     static_cast<unsigned>(w), static_cast<unsigned>(h), 32,
                     cairo_image_surface_get_stride(ui->surface));
    ui->gc = XCreateGC(ui->display, ui->window, 0, nullptr);
    if (!ui->image || !ui->gc) {
        destroy(ui);
        return nullptr;
    }
    XMapRaised(ui->display, ui->window);
    // The window is made on our own connection and handed to the host, which asks
    // about it on its own: wait until the server has made it (jalv.gtk3 otherwise
    // now and then dies of a BadWindow when it asks first).
    XSync(ui->display, False);
    if (resize)
        resize->ui_resize(resize->handle, w, h);
    *widget = reinterpret_cast<LV2UI_Widget>(static_cast<uintptr_t>(ui->window));
    askForEverything(*ui);
    return ui;
}

void cleanup(LV2UI_Handle handle) {
    destroy(static_cast<Ui*>(handle));
}

void portEvent(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format,
               const void* buffer) {
    Ui& ui = *static_cast<Ui*>(handle);
    if (!buffer)
        return;
    if (format == ui.urids.eventTransfer) {
        if (port == ui.state.ports.notify())
            onNotify(ui, size, buffer);
        return;
    }
    if (format != 0 || size != sizeof(float))
        return;
    const float v = *static_cast<const float*>(buffer);
    const quorlelv2::PortMap& p = ui.state.ports;
    if (port >= p.inPeak() && port <= p.outRms()) {
        const size_t i = port - p.inPeak();
        const float db = std::isnan(v) ? quorlelv2::kMeterFloorDb
                                       : std::clamp(v, quorlelv2::kMeterFloorDb, 100.0f);
        if (db != ui.state.meter[i]) {
            ui.state.meter[i] = db;
            ui.drawDirty = true;
        }
        if ((i == 0 || i == 2) && db >= 0.0f && !ui.state.clipped[i / 2]) {
            ui.state.clipped[i / 2] = true;
            ui.drawDirty = true;
        }
        return;
    }
    const int c = ui.state.controlOf(port);
    if (c < 0)
        return;
    const float held = ui.state.clamp(static_cast<Control>(c), v);
    if (held != ui.state.value[c]) {
        ui.state.value[c] = held;
        ui.drawDirty = true;
        ui.picturesDirty |= c != kOversampling;
    }
}

int idle(LV2UI_Handle handle) {
    Ui& ui = *static_cast<Ui*>(handle);
    bool exposed = false;
    while (XPending(ui.display) > 0) {
        XEvent e;
        XNextEvent(ui.display, &e);
        switch (e.type) {
        case Expose:
            if (e.xexpose.count == 0)
                exposed = true;
            break;
        case ButtonPress: onButton(ui, e.xbutton); break;
        case ButtonRelease:
            if (e.xbutton.button == Button1)
                ui.dragging = kNothing;
            break;
        case MotionNotify: onMotion(ui, e.xmotion); break;
        case KeyPress: onKey(ui, e.xkey); break;
        default: break;
        }
    }
    if (ui.picturesDirty)
        updatePictures(ui);
    if (ui.drawDirty)
        draw(ui);
    else if (exposed)
        present(ui);
    return 0;
}

const void* extensionData(const char* uri) {
    static const LV2UI_Idle_Interface idleInterface = {idle};
    if (!std::strcmp(uri, LV2_UI__idleInterface))
        return &idleInterface;
    return nullptr;
}

const LV2UI_Descriptor kDescriptor = {quorlelv2::kUiUri, instantiate, cleanup, portEvent,
                                      extensionData};

} // namespace

} // namespace quorleui

extern "C" __attribute__((visibility("default"))) const LV2UI_Descriptor*
lv2ui_descriptor(uint32_t index) {
    return index == 0 ? &quorleui::kDescriptor : nullptr;
}
