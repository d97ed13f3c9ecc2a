// gtk/: the desktop's own dialogs, through GTK loaded with dlopen only when
// one is shown, so that no launch links a GUI library.
#include "Gtk.h"

#include "DynamicLibrary.h"
#include "Trace.h"

#include <optional>

namespace platform::gtk {

namespace {

// GTK cannot be unloaded (its types stay registered with GObject), and two
// versions cannot share a process: GTK 2 is opened only when GTK 3 is not
// there, and whichever opened stays for the rest of the process.
class Library {
public:
    Library()
    {
        const DynamicLibrary& library = m_gtk3.isOpen() ? m_gtk3 : openGtk2();
        if (!library.isOpen())
            return;
        bool complete = true;
#define ZELVANT_GTK_RESOLVE(result, name, parameters) complete = library.resolve(#name, m_functions.name) && complete;
        ZELVANT_GTK_FUNCTIONS(ZELVANT_GTK_RESOLVE)
#undef ZELVANT_GTK_RESOLVE
        library.resolve("XSetIOErrorHandler", m_functions.XSetIOErrorHandler);
        if (!complete) {
            trace("alert: ", m_name, " lacks a function the dialog needs");
            return;
        }
        // The launcher's own locale stays; GTK takes the texts as UTF-8 whatever it is.
        m_functions.gtk_disable_setlocale();
        m_initialized = m_functions.gtk_init_check(nullptr, nullptr);
        if (!m_initialized)
            trace("alert: ", m_name, " cannot open the display");
    }

    const Functions* functions() const { return m_initialized ? &m_functions : nullptr; }

private:
    const DynamicLibrary& openGtk2()
    {
        trace("alert: no GTK 3: ", m_gtk3.error());
        m_name = "GTK 2";
        const DynamicLibrary& library = m_gtk2.emplace("libgtk-x11-2.0.so.0");
        if (!library.isOpen())
            trace("alert: no GTK 2: ", library.error());
        return library;
    }

    DynamicLibrary m_gtk3 { "libgtk-3.so.0" };
    std::optional<DynamicLibrary> m_gtk2;
    const char* m_name { "GTK 3" };
    Functions m_functions {};
    bool m_initialized { false };
};

}

const Functions* loadedGtk()
{
    static Library library;
    return library.functions();
}

}
