// gtk/: the desktop's own dialogs, through GTK loaded with dlopen only when
// one is shown, so that no launch links a GUI library.
// The GTK entry points the alert calls, which GTK 2 and 3 share.
#pragma once

namespace platform::gtk {

// GTK's objects stay opaque here; every one we touch is a widget. The
// constants have the same values in GTK 2 and 3.
struct GtkWidget;
using gboolean = int;
using XIOErrorHandler = int (*)(void* display);
constexpr int messageInfo = 0;
constexpr int messageWarning = 1;
constexpr int messageError = 3;
constexpr int dialogModal = 1;
constexpr int buttonsNone = 0;
constexpr int windowPositionCenter = 1; // on the monitor that holds the pointer
constexpr int responseAccept = -3;
constexpr int iconSizeDialog = 6;

// F(result, name, parameters), for each function.
#define ZELVANT_GTK_FUNCTIONS(F)                                                                                       \
    F(void, gtk_disable_setlocale, ())                                                                                 \
    F(gboolean, gtk_init_check, (int*, char***))                                                                       \
    F(GtkWidget*, gtk_message_dialog_new, (GtkWidget*, int, int, int, const char*, ...))                               \
    F(void, gtk_message_dialog_format_secondary_text, (GtkWidget*, const char*, ...))                                  \
    F(GtkWidget*, gtk_dialog_add_button, (GtkWidget*, const char*, int))                                               \
    F(void, gtk_dialog_set_default_response, (GtkWidget*, int))                                                        \
    F(void, gtk_button_set_use_underline, (GtkWidget*, gboolean))                                                      \
    F(void, gtk_widget_grab_focus, (GtkWidget*))                                                                       \
    F(void, gtk_window_set_title, (GtkWidget*, const char*))                                                           \
    F(void, gtk_window_set_position, (GtkWidget*, int))                                                                \
    F(void, gtk_window_set_keep_above, (GtkWidget*, gboolean))                                                         \
    F(void, gtk_window_set_skip_taskbar_hint, (GtkWidget*, gboolean))                                                  \
    F(gboolean, gtk_window_set_icon_from_file, (GtkWidget*, const char*, void**))                                      \
    F(void*, gtk_icon_theme_get_default, ())                                                                           \
    F(gboolean, gtk_icon_theme_has_icon, (void*, const char*))                                                         \
    F(GtkWidget*, gtk_image_new_from_icon_name, (const char*, int))                                                    \
    F(void, gtk_message_dialog_set_image, (GtkWidget*, GtkWidget*))                                                    \
    F(void, gtk_widget_show, (GtkWidget*))                                                                             \
    F(int, gtk_dialog_run, (GtkWidget*))                                                                               \
    F(void, gtk_widget_destroy, (GtkWidget*))                                                                          \
    F(gboolean, gtk_events_pending, ())                                                                                \
    F(gboolean, gtk_main_iteration, ())                                                                                \
    F(void*, gdk_display_get_default, ())                                                                              \
    F(void, gdk_display_flush, (void*))

struct Functions {
// The arguments are a type, a name and a parameter list: nothing to parenthesise.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define ZELVANT_GTK_DECLARE(result, name, parameters) result(*name) parameters { nullptr };
    ZELVANT_GTK_FUNCTIONS(ZELVANT_GTK_DECLARE)
#undef ZELVANT_GTK_DECLARE
    // From libX11, which GTK's X11 backend brings; none without it.
    XIOErrorHandler (*XSetIOErrorHandler)(XIOErrorHandler) { nullptr };
};

// GTK 3, else GTK 2 where GTK 3 does not load, complete and connected to the
// display, from the first call on; null when that failed.
const Functions* loadedGtk();

}
