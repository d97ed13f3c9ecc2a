// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// What the alert dialog tells the window manager: a fixed-size, modal dialog
// above the others, whose closing is its button, with its icon and owner.
#include "AlertDialog.h"

#include <X11/Xatom.h>
#include <bit>
#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace platform {

double displayScale(const Xlib& x, ::Display* display)
{
    const char* dpi = x.XGetDefault(display, "Xft", "dpi");
    double value = dpi ? std::strtod(dpi, nullptr) : 0;
    return value >= 48 && value <= 480 ? value / 96 : 1;
}

void AlertDialog::setProperty(const char* name, Atom type, int format, const void* data, size_t count)
{
    m_x.XChangeProperty(m_display, m_window, m_x.XInternAtom(m_display, name, False), type, format, PropModeReplace,
        static_cast<const unsigned char*>(data), static_cast<int>(count));
}

void AlertDialog::setWindowManagerHints(int x, int y, const Layout& layout)
{
    XSizeHints size {};
    size.flags = PPosition | PSize | PMinSize | PMaxSize;
    size.x = x;
    size.y = y;
    size.width = size.min_width = size.max_width = layout.width;
    size.height = size.min_height = size.max_height = layout.height;
    m_x.XSetWMNormalHints(m_display, m_window, &size);
    XWMHints hints {};
    hints.flags = InputHint | StateHint;
    hints.input = True;
    hints.initial_state = NormalState;
    m_x.XSetWMHints(m_display, m_window, &hints);
    m_deleteWindow = m_x.XInternAtom(m_display, "WM_DELETE_WINDOW", False);
    m_x.XSetWMProtocols(m_display, m_window, &m_deleteWindow, 1);
}

// The extended hints: a dialog, kept above the others and modal (nothing of
// the application goes on until it is answered), and whose process it is.
void AlertDialog::setDesktopProperties()
{
    long type = static_cast<long>(m_x.XInternAtom(m_display, "_NET_WM_WINDOW_TYPE_DIALOG", False));
    setProperty("_NET_WM_WINDOW_TYPE", XA_ATOM, 32, &type, 1);
    long state[] = { static_cast<long>(m_x.XInternAtom(m_display, "_NET_WM_STATE_ABOVE", False)),
        static_cast<long>(m_x.XInternAtom(m_display, "_NET_WM_STATE_MODAL", False)) };
    setProperty("_NET_WM_STATE", XA_ATOM, 32, state, 2);
    long pid = static_cast<long>(getpid());
    setProperty("_NET_WM_PID", XA_CARDINAL, 32, &pid, 1);
    char host[HOST_NAME_MAX + 1] {};
    if (gethostname(host, sizeof host - 1) == 0)
        setProperty("WM_CLIENT_MACHINE", XA_STRING, 8, host, std::char_traits<char>::length(host));
}

// A channel of a true-colour pixel as 8 bits.
static unsigned long channel(unsigned long pixel, unsigned long mask)
{
    if (!mask)
        return 0;
    unsigned long value = (pixel & mask) >> std::countr_zero(mask);
    unsigned long maximum = mask >> std::countr_zero(mask);
    return value * 255 / maximum;
}

// The icon as drawn in the dialog, read back as ARGB; what is left of the
// background is transparent.
void AlertDialog::setIconProperty()
{
    Visual* visual = DefaultVisual(m_display, DefaultScreen(m_display));
    auto size = static_cast<unsigned>(m_iconSize);
    if (visual->c_class != TrueColor || !size)
        return;
    Pixmap pixmap = m_x.XCreatePixmap(
        m_display, m_window, size, size, static_cast<unsigned>(DefaultDepth(m_display, DefaultScreen(m_display))));
    m_x.XSetForeground(m_display, m_gc, m_background);
    m_x.XFillRectangle(m_display, pixmap, m_gc, 0, 0, size, size);
    drawIcon(pixmap);
    XImage* image = m_x.XGetImage(m_display, pixmap, 0, 0, size, size, AllPlanes, ZPixmap);
    m_x.XFreePixmap(m_display, pixmap);
    if (!image)
        return;
    std::vector<long> icon { m_iconSize, m_iconSize };
    for (int y = 0; y < m_iconSize; ++y) {
        for (int x = 0; x < m_iconSize; ++x) {
            unsigned long pixel = XGetPixel(image, x, y);
            icon.push_back(pixel == m_background
                    ? 0
                    : static_cast<long>(0xFF000000UL | channel(pixel, visual->red_mask) << 16
                        | channel(pixel, visual->green_mask) << 8 | channel(pixel, visual->blue_mask)));
        }
    }
    XDestroyImage(image);
    setProperty("_NET_WM_ICON", XA_CARDINAL, 32, icon.data(), icon.size());
}

}
