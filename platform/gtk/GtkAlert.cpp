// gtk/: the desktop's own dialogs, through GTK loaded with dlopen only when
// one is shown, so that no launch links a GUI library.
// Shows an Alert as GTK's message dialog.
#include "Alert.h"
#include "Application.h"
#include "Bundle.h"
#include "FileManager.h"
#include "Gtk.h"
#include "Path.h"
#include "ProcessInfo.h"

#include <optional>
#include <string>
#include <sysexits.h>
#include <unistd.h>
#include <utility>

namespace platform {

using namespace gtk;

namespace {

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

// GTK's message type and the theme's icon for each style, in AlertStyle's order.
constexpr std::pair<int, const char*> styleLooks[] = {
    { messageWarning, "dialog-warning" },
    { messageInfo, "dialog-information" },
    { messageError, "dialog-error" },
};

// GTK 3 no longer puts the style's icon in a message dialog by itself (GTK 2
// takes the same); from the theme, when it has one (else GTK would show its
// missing-image picture).
void setStyleIcon(const Functions& gtk, GtkWidget* dialog, const char* iconName)
{
    if (!gtk.gtk_icon_theme_has_icon(gtk.gtk_icon_theme_get_default(), iconName))
        return;
    GtkWidget* image = gtk.gtk_image_new_from_icon_name(iconName, iconSizeDialog);
    gtk.gtk_widget_show(image);
    gtk.gtk_message_dialog_set_image(dialog, image);
}

GtkWidget* createDialog(const Functions& gtk, const Alert& alert)
{
    // "%s": the texts are shown as they are, never read as a format or markup.
    auto [messageType, iconName] = styleLooks[static_cast<int>(alert.alertStyle())];
    GtkWidget* dialog
        = gtk.gtk_message_dialog_new(nullptr, dialogModal, messageType, buttonsNone, "%s", alert.messageText().c_str());
    setStyleIcon(gtk, dialog, iconName);
    if (!alert.informativeText().empty())
        gtk.gtk_message_dialog_format_secondary_text(dialog, "%s", alert.informativeText().c_str());
    GtkWidget* button = gtk.gtk_dialog_add_button(dialog, alert.buttonTitle().c_str(), responseAccept);
    gtk.gtk_button_set_use_underline(button, false);
    gtk.gtk_dialog_set_default_response(dialog, responseAccept);
    // Focus on the button, not the selectable texts: Return and Space press it.
    gtk.gtk_widget_grab_focus(button);
    gtk.gtk_window_set_title(dialog, Bundle::mainBundle().bundleName().c_str());
    gtk.gtk_window_set_position(dialog, windowPositionCenter);
    gtk.gtk_window_set_keep_above(dialog, true);
    // A dialog skips the taskbar by default; this one has no window of ours to
    // be found through, so it keeps its entry.
    gtk.gtk_window_set_skip_taskbar_hint(dialog, false);
    if (auto icon = installedIcon())
        gtk.gtk_window_set_icon_from_file(dialog, icon->c_str(), nullptr);
    return dialog;
}

}

bool Alert::runDialog() const
{
    // Without DISPLAY there is nothing GTK could connect to that we want;
    // loading it only to fail would cost the headless launch its time.
    auto displayName = environmentValue("DISPLAY");
    if (!displayName || displayName->empty())
        return false;
    const Functions* gtk = loadedGtk();
    if (!gtk)
        return false;
    if (gtk->XSetIOErrorHandler)
        gtk->XSetIOErrorHandler(exitAfterConnectionLoss);

    GtkWidget* dialog = createDialog(*gtk, *this);
    // Any ending is the one button's: pressed, Escape or the window manager's close.
    gtk->gtk_dialog_run(dialog);
    gtk->gtk_widget_destroy(dialog);
    gtk->gdk_display_flush(gtk->gdk_display_get_default());
    while (gtk->gtk_events_pending())
        gtk->gtk_main_iteration();
    return true;
}

}
