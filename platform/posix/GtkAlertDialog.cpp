// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// Shows an Alert as the desktop's own message dialog: GTK 3, loaded with dlopen
// only when an alert is shown, so the launcher links no GUI library.
#include "Alert.h"
#include "Application.h"
#include "Bundle.h"
#include "DynamicLibrary.h"
#include "FileManager.h"
#include "Path.h"
#include "ProcessInfo.h"
#include "Trace.h"

#include <dlfcn.h>
#include <optional>
#include <string>
#include <string_view>
#include <sysexits.h>
#include <unistd.h>

namespace platform {

namespace {

// GTK's objects stay opaque here; every one we touch is a widget. The
// constants are GTK 3's enum values.
struct GtkWidget;
using gboolean = int;
using XIOErrorHandler = int (*)(void* display);
constexpr int gtkMessageInfo = 0;
constexpr int gtkMessageWarning = 1;
constexpr int gtkMessageError = 3;
constexpr int gtkDialogModal = 1;
constexpr int gtkButtonsNone = 0;
constexpr int gtkWindowPositionCenter = 1; // on the monitor that holds the pointer
constexpr int gtkResponseAccept = -3;
constexpr int gtkIconSizeDialog = 6;

struct Gtk {
    void (*gtk_disable_setlocale)();
    gboolean (*gtk_init_check)(int*, char***);
    GtkWidget* (*gtk_message_dialog_new)(GtkWidget*, int, int, int, const char*, ...);
    void (*gtk_message_dialog_format_secondary_text)(GtkWidget*, const char*, ...);
    GtkWidget* (*gtk_dialog_add_button)(GtkWidget*, const char*, int);
    void (*gtk_dialog_set_default_response)(GtkWidget*, int);
    void (*gtk_button_set_use_underline)(GtkWidget*, gboolean);
    void (*gtk_widget_grab_focus)(GtkWidget*);
    void (*gtk_window_set_title)(GtkWidget*, const char*);
    void (*gtk_window_set_position)(GtkWidget*, int);
    void (*gtk_window_set_keep_above)(GtkWidget*, gboolean);
    void (*gtk_window_set_skip_taskbar_hint)(GtkWidget*, gboolean);
    gboolean (*gtk_window_set_icon_from_file)(GtkWidget*, const char*, void**);
    void* (*gtk_icon_theme_get_default)();
    gboolean (*gtk_icon_theme_has_icon)(void*, const char*);
    GtkWidget* (*gtk_image_new_from_icon_name)(const char*, int);
    void (*gtk_message_dialog_set_image)(GtkWidget*, GtkWidget*);
    void (*gtk_widget_show)(GtkWidget*);
    int (*gtk_dialog_run)(GtkWidget*);
    void (*gtk_widget_destroy)(GtkWidget*);
    gboolean (*gtk_events_pending)();
    gboolean (*gtk_main_iteration)();
    void* (*gdk_display_get_default)();
    void (*gdk_display_flush)(void*);
    // From libX11, which GTK's X11 backend brings; none without it.
    XIOErrorHandler (*XSetIOErrorHandler)(XIOErrorHandler);
};

#define ZELVANT_GTK_FUNCTIONS(F)                                                                                       \
    F(gtk_disable_setlocale)                                                                                           \
    F(gtk_init_check)                                                                                                  \
    F(gtk_message_dialog_new)                                                                                          \
    F(gtk_message_dialog_format_secondary_text)                                                                        \
    F(gtk_dialog_add_button)                                                                                           \
    F(gtk_dialog_set_default_response)                                                                                 \
    F(gtk_button_set_use_underline)                                                                                    \
    F(gtk_widget_grab_focus)                                                                                           \
    F(gtk_window_set_title)                                                                                            \
    F(gtk_window_set_position)                                                                                         \
    F(gtk_window_set_keep_above)                                                                                       \
    F(gtk_window_set_skip_taskbar_hint)                                                                                \
    F(gtk_window_set_icon_from_file)                                                                                   \
    F(gtk_icon_theme_get_default)                                                                                      \
    F(gtk_icon_theme_has_icon)                                                                                         \
    F(gtk_image_new_from_icon_name)                                                                                    \
    F(gtk_message_dialog_set_image)                                                                                    \
    F(gtk_widget_show)                                                                                                 \
    F(gtk_dialog_run)                                                                                                  \
    F(gtk_widget_destroy)                                                                                              \
    F(gtk_events_pending)                                                                                              \
    F(gtk_main_iteration)                                                                                              \
    F(gdk_display_get_default)                                                                                         \
    F(gdk_display_flush)

// GTK cannot be unloaded (its types stay registered with GObject), so it
// stays for the rest of the process once opened.
class GtkLibrary {
public:
    GtkLibrary()
    {
        if (!m_library.isOpen()) {
            // Still the failed open's message: nothing has called into the loader since.
            trace("alert: no GTK 3: ", dlerror());
            return;
        }
        bool complete = true;
#define ZELVANT_RESOLVE(name) complete = m_library.resolve(#name, m_functions.name) && complete;
        ZELVANT_GTK_FUNCTIONS(ZELVANT_RESOLVE)
#undef ZELVANT_RESOLVE
        m_library.resolve("XSetIOErrorHandler", m_functions.XSetIOErrorHandler);
        if (!complete) {
            trace("alert: GTK 3 lacks a function the dialog needs");
            return;
        }
        // The launcher's own locale stays; GTK takes the texts as UTF-8 whatever it is.
        m_functions.gtk_disable_setlocale();
        m_initialized = m_functions.gtk_init_check(nullptr, nullptr);
        if (!m_initialized)
            trace("alert: GTK 3 cannot open the display");
    }

    // Loaded, complete and connected to a display.
    const Gtk* functions() const { return m_initialized ? &m_functions : nullptr; }

private:
    DynamicLibrary m_library { "libgtk-3.so.0" };
    Gtk m_functions {};
    bool m_initialized { false };
};

// GTK's own handler ends the process with status 1 when the X connection is
// lost; the texts are on standard error and in the system log already, so
// only the launcher's exit status is left to keep.
int exitAfterConnectionLoss(void*)
{
    int status = Application::sharedApplication().exitStatus();
    ::_exit(status ? status : EX_UNAVAILABLE);
}

// The icon an installation of this bundle put in its prefix's icon theme
// (PREFIX/lib/NAME/APP.app beside PREFIX/share/icons); none elsewhere.
std::optional<std::string> installedIcon()
{
    const Bundle& bundle = Bundle::mainBundle();
    std::string prefix = bundle.bundlePath();
    for (int level = 0; level < 3; ++level)
        prefix = stringByDeletingLastPathComponent(prefix);
    std::string icon = stringByAppendingPathComponent(
        prefix, "share/icons/hicolor/128x128/apps/" + bundle.bundleIdentifier() + ".png");
    if (FileManager::defaultManager().fileExistsAtPath(icon))
        return icon;
    return std::nullopt;
}

struct StyleLook {
    int messageType;
    const char* iconName;
};

StyleLook styleLook(AlertStyle style)
{
    switch (style) {
    case AlertStyle::Critical:
        return { gtkMessageError, "dialog-error" };
    case AlertStyle::Informational:
        return { gtkMessageInfo, "dialog-information" };
    case AlertStyle::Warning:
        break;
    }
    return { gtkMessageWarning, "dialog-warning" };
}

// GTK 3 no longer puts the style's icon in a message dialog by itself; from
// the theme, when it has one (else GTK would show its missing-image picture).
void setStyleIcon(const Gtk& gtk, GtkWidget* dialog, const char* iconName)
{
    if (!gtk.gtk_icon_theme_has_icon(gtk.gtk_icon_theme_get_default(), iconName))
        return;
    GtkWidget* image = gtk.gtk_image_new_from_icon_name(iconName, gtkIconSizeDialog);
    gtk.gtk_widget_show(image);
    gtk.gtk_message_dialog_set_image(dialog, image);
}

GtkWidget* createDialog(const Gtk& gtk, const Alert& alert)
{
    // "%s": the texts are shown as they are, never read as a format or markup.
    StyleLook look = styleLook(alert.alertStyle());
    GtkWidget* dialog = gtk.gtk_message_dialog_new(
        nullptr, gtkDialogModal, look.messageType, gtkButtonsNone, "%s", alert.messageText().c_str());
    setStyleIcon(gtk, dialog, look.iconName);
    if (!alert.informativeText().empty())
        gtk.gtk_message_dialog_format_secondary_text(dialog, "%s", alert.informativeText().c_str());
    GtkWidget* button = gtk.gtk_dialog_add_button(dialog, alert.buttonTitle().c_str(), gtkResponseAccept);
    gtk.gtk_button_set_use_underline(button, false);
    gtk.gtk_dialog_set_default_response(dialog, gtkResponseAccept);
    // Focus on the button, not the selectable texts: Return and Space press it.
    gtk.gtk_widget_grab_focus(button);
    gtk.gtk_window_set_title(dialog, Bundle::mainBundle().bundleName().c_str());
    gtk.gtk_window_set_position(dialog, gtkWindowPositionCenter);
    gtk.gtk_window_set_keep_above(dialog, true);
    // A dialog skips the taskbar by default; this one has no window of ours to
    // be found through, so it keeps its entry.
    gtk.gtk_window_set_skip_taskbar_hint(dialog, false);
    if (auto icon = installedIcon())
        gtk.gtk_window_set_icon_from_file(dialog, icon->c_str(), nullptr);
    return dialog;
}

}

bool runGtkAlertDialog(const Alert& alert)
{
    // Without DISPLAY there is nothing GTK could connect to that we want;
    // loading it only to fail would cost the headless launch its time.
    auto displayName = environmentValue("DISPLAY");
    if (!displayName || displayName->empty())
        return false;
    static GtkLibrary library;
    const Gtk* gtk = library.functions();
    if (!gtk)
        return false;
    if (gtk->XSetIOErrorHandler)
        gtk->XSetIOErrorHandler(exitAfterConnectionLoss);

    GtkWidget* dialog = createDialog(*gtk, alert);
    // Any ending is the one button's: pressed, Escape or the window manager's close.
    gtk->gtk_dialog_run(dialog);
    gtk->gtk_widget_destroy(dialog);
    gtk->gdk_display_flush(gtk->gdk_display_get_default());
    while (gtk->gtk_events_pending())
        gtk->gtk_main_iteration();
    return true;
}

}
