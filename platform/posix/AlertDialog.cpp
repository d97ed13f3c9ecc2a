// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The alert dialog's windows: made, drawn, and run until its button is pressed.
#include "AlertDialog.h"

#include <X11/Xatom.h>
#include <X11/keysym.h>
#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace platform {

AlertDialog::~AlertDialog()
{
    if (m_connectionLost)
        return;
    if (m_window)
        m_x.XDestroyWindow(m_display, m_window);
    if (m_gc)
        m_x.XFreeGC(m_display, m_gc);
    if (m_boldFont && m_boldFont != m_regularFont)
        m_x.XFreeFont(m_display, m_boldFont);
    if (m_regularFont)
        m_x.XFreeFont(m_display, m_regularFont);
}

unsigned long AlertDialog::color(unsigned short red, unsigned short green, unsigned short blue, unsigned long fallback)
{
    XColor color {};
    color.red = static_cast<unsigned short>(red * 257);
    color.green = static_cast<unsigned short>(green * 257);
    color.blue = static_cast<unsigned short>(blue * 257);
    color.flags = DoRed | DoGreen | DoBlue;
    if (!m_x.XAllocColor(m_display, DefaultColormap(m_display, DefaultScreen(m_display)), &color))
        return fallback;
    return color.pixel;
}

void AlertDialog::name(Window window, const char* role, const std::string& text)
{
    // WM_NAME and _NET_WM_NAME carry the text and WM_CLASS the role, so the
    // dialog can be read with the usual X tools.
    m_x.XStoreName(m_display, window, text.c_str());
    m_x.XChangeProperty(m_display, window, m_x.XInternAtom(m_display, "_NET_WM_NAME", False),
        m_x.XInternAtom(m_display, "UTF8_STRING", False), 8, PropModeReplace,
        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    std::string instance = role;
    XClassHint hint { instance.data(), m_windowClass.data() };
    m_x.XSetClassHint(m_display, window, &hint);
}

Window AlertDialog::makeChild(
    int x, int y, int width, int height, const char* role, const std::string& text, long events)
{
    Window child = m_x.XCreateSimpleWindow(m_display, m_window, x, y, static_cast<unsigned>(width),
        static_cast<unsigned>(height), 0, m_background, m_background);
    name(child, role, text);
    m_x.XSelectInput(m_display, child, events);
    return child;
}

bool AlertDialog::loadFonts()
{
    for (const char* font : { "-*-helvetica-medium-r-normal--14-*-*-*-*-*-iso10646-1",
             "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso10646-1", "fixed" }) {
        if ((m_regularFont = m_x.XLoadQueryFont(m_display, font)))
            break;
    }
    if (!m_regularFont)
        return false;
    for (const char* font : { "-*-helvetica-bold-r-normal--14-*-*-*-*-*-iso10646-1",
             "-misc-fixed-bold-r-normal--13-*-*-*-*-*-iso10646-1" }) {
        if ((m_boldFont = m_x.XLoadQueryFont(m_display, font)))
            return true;
    }
    m_boldFont = m_regularFont;
    return true;
}

void AlertDialog::allocateColors()
{
    unsigned long black = BlackPixel(m_display, DefaultScreen(m_display));
    unsigned long white = WhitePixel(m_display, DefaultScreen(m_display));
    m_background = color(0xEC, 0xEC, 0xEC, white);
    m_text = black;
    m_accent = color(0x2F, 0x6F, 0xD0, black);
    m_accentPressed = color(0x1D, 0x4E, 0x9C, black);
    m_caution = color(0xF6, 0xC3, 0x1C, white);
}

AlertDialog::Layout AlertDialog::layOut()
{
    Layout layout;
    layout.textX = margin + iconSize + margin;
    layout.textWidth = dialogWidth - layout.textX - margin;
    m_messageLines = wrapText(m_x, m_boldFont, m_alert.messageText(), layout.textWidth);
    m_informativeLines = wrapText(m_x, m_regularFont, m_alert.informativeText(), layout.textWidth);
    m_buttonTitle = decodeLine(m_alert.buttonTitle());
    m_buttonWidth = std::clamp(width(m_regularFont, m_buttonTitle) + 32, 96, layout.textWidth);

    layout.messageHeight = lineHeight(m_boldFont) * static_cast<int>(m_messageLines.size());
    bool noInformativeText = m_informativeLines.size() == 1 && m_informativeLines.front().empty();
    layout.informativeHeight
        = noInformativeText ? 1 : lineHeight(m_regularFont) * static_cast<int>(m_informativeLines.size());
    int textBottom = margin + layout.messageHeight + 10 + layout.informativeHeight;
    layout.buttonY = std::max(textBottom, margin + iconSize) + margin;
    layout.height = layout.buttonY + buttonHeight + margin;
    return layout;
}

bool AlertDialog::createWindow(const Layout& layout)
{
    int screen = DefaultScreen(m_display);
    int x = std::max(0, (DisplayWidth(m_display, screen) - dialogWidth) / 2);
    int y = std::max(0, (DisplayHeight(m_display, screen) - layout.height) / 3);
    m_window
        = m_x.XCreateSimpleWindow(m_display, RootWindow(m_display, screen), x, y, static_cast<unsigned>(dialogWidth),
            static_cast<unsigned>(layout.height), 1, BlackPixel(m_display, screen), m_background);
    if (!m_window)
        return false;
    name(m_window, "alert", m_alert.messageText());
    m_x.XSelectInput(m_display, m_window, ExposureMask | KeyPressMask | StructureNotifyMask);
    setWindowManagerHints(x, y, layout.height);
    return true;
}

// A fixed-size dialog that wants the keyboard and closes like its button.
void AlertDialog::setWindowManagerHints(int x, int y, int height)
{
    XSizeHints size {};
    size.flags = PPosition | PSize | PMinSize | PMaxSize;
    size.x = x;
    size.y = y;
    size.width = size.min_width = size.max_width = dialogWidth;
    size.height = size.min_height = size.max_height = height;
    m_x.XSetWMNormalHints(m_display, m_window, &size);
    XWMHints hints {};
    hints.flags = InputHint | StateHint;
    hints.input = True;
    hints.initial_state = NormalState;
    m_x.XSetWMHints(m_display, m_window, &hints);
    m_deleteWindow = m_x.XInternAtom(m_display, "WM_DELETE_WINDOW", False);
    m_x.XSetWMProtocols(m_display, m_window, &m_deleteWindow, 1);
    long dialogType = static_cast<long>(m_x.XInternAtom(m_display, "_NET_WM_WINDOW_TYPE_DIALOG", False));
    m_x.XChangeProperty(m_display, m_window, m_x.XInternAtom(m_display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
        PropModeReplace, reinterpret_cast<const unsigned char*>(&dialogType), 1);
    long pid = static_cast<long>(getpid());
    m_x.XChangeProperty(m_display, m_window, m_x.XInternAtom(m_display, "_NET_WM_PID", False), XA_CARDINAL, 32,
        PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
}

void AlertDialog::createChildren(const Layout& layout)
{
    const char* style = m_alert.alertStyle() == AlertStyle::Critical ? "critical"
        : m_alert.alertStyle() == AlertStyle::Informational          ? "informational"
                                                                     : "warning";
    m_icon = makeChild(margin, margin, iconSize, iconSize, "icon", style, ExposureMask);
    m_message = makeChild(
        layout.textX, margin, layout.textWidth, layout.messageHeight, "message", m_alert.messageText(), ExposureMask);
    m_informative = makeChild(layout.textX, margin + layout.messageHeight + 10, layout.textWidth,
        layout.informativeHeight, "informative", m_alert.informativeText(), ExposureMask);
    m_button = makeChild(dialogWidth - margin - m_buttonWidth, layout.buttonY, m_buttonWidth, buttonHeight, "button",
        m_alert.buttonTitle(), ExposureMask | ButtonPressMask | ButtonReleaseMask | EnterWindowMask | LeaveWindowMask);
}

bool AlertDialog::create()
{
    if (!loadFonts())
        return false;
    allocateColors();
    Layout layout = layOut();
    if (!createWindow(layout))
        return false;
    createChildren(layout);
    m_gc = m_x.XCreateGC(m_display, m_window, 0, nullptr);
    m_x.XMapSubwindows(m_display, m_window);
    m_x.XMapWindow(m_display, m_window);
    m_x.XFlush(m_display);
    return true;
}

void AlertDialog::drawIcon()
{
    m_x.XSetLineAttributes(m_display, m_gc, 2, LineSolid, CapRound, JoinRound);
    if (m_alert.alertStyle() == AlertStyle::Critical) {
        // A caution sign: a yellow triangle with an exclamation mark.
        XPoint triangle[4] = { { 32, 4 }, { 61, 58 }, { 3, 58 }, { 32, 4 } };
        m_x.XSetForeground(m_display, m_gc, m_caution);
        m_x.XFillPolygon(m_display, m_icon, m_gc, triangle, 3, Convex, CoordModeOrigin);
        m_x.XSetForeground(m_display, m_gc, m_text);
        m_x.XDrawLines(m_display, m_icon, m_gc, triangle, 4, CoordModeOrigin);
        m_x.XFillRectangle(m_display, m_icon, m_gc, 29, 20, 6, 22);
        m_x.XFillArc(m_display, m_icon, m_gc, 28, 46, 8, 8, 0, 360 * 64);
        return;
    }
    // Otherwise a round sign with an "i".
    m_x.XSetForeground(m_display, m_gc, m_accent);
    m_x.XFillArc(m_display, m_icon, m_gc, 4, 4, 56, 56, 0, 360 * 64);
    m_x.XSetForeground(m_display, m_gc, WhitePixel(m_display, DefaultScreen(m_display)));
    m_x.XFillArc(m_display, m_icon, m_gc, 28, 14, 8, 8, 0, 360 * 64);
    m_x.XFillRectangle(m_display, m_icon, m_gc, 29, 26, 6, 24);
}

void AlertDialog::drawLines(Window window, XFontStruct* font, const std::vector<Line>& lines)
{
    m_x.XSetForeground(m_display, m_gc, m_text);
    m_x.XSetFont(m_display, m_gc, font->fid);
    int baseline = font->ascent + 1;
    for (const auto& line : lines) {
        m_x.XDrawString16(m_display, window, m_gc, 0, baseline, line.data(), static_cast<int>(line.size()));
        baseline += lineHeight(font);
    }
}

void AlertDialog::drawButton()
{
    // The one button is the default button: filled with the accent colour.
    bool sunken = m_buttonPressed && m_pointerInButton;
    m_x.XSetForeground(m_display, m_gc, sunken ? m_accentPressed : m_accent);
    m_x.XFillRectangle(m_display, m_button, m_gc, 0, 0, static_cast<unsigned>(m_buttonWidth), buttonHeight);
    m_x.XSetForeground(m_display, m_gc, m_text);
    m_x.XSetLineAttributes(m_display, m_gc, 1, LineSolid, CapButt, JoinMiter);
    m_x.XDrawRectangle(m_display, m_button, m_gc, 0, 0, static_cast<unsigned>(m_buttonWidth - 1), buttonHeight - 1);
    m_x.XSetForeground(m_display, m_gc, WhitePixel(m_display, DefaultScreen(m_display)));
    m_x.XSetFont(m_display, m_gc, m_regularFont->fid);
    int titleX = (m_buttonWidth - width(m_regularFont, m_buttonTitle)) / 2;
    int titleY = (buttonHeight + m_regularFont->ascent - m_regularFont->descent) / 2;
    m_x.XDrawString16(m_display, m_button, m_gc, std::max(titleX, 2), titleY, m_buttonTitle.data(),
        static_cast<int>(m_buttonTitle.size()));
}

void AlertDialog::expose(Window window)
{
    if (window == m_icon)
        drawIcon();
    else if (window == m_message)
        drawLines(m_message, m_boldFont, m_messageLines);
    else if (window == m_informative)
        drawLines(m_informative, m_regularFont, m_informativeLines);
    else if (window == m_button)
        drawButton();
}

// A click counts where the button is released inside it.
bool AlertDialog::handleButton(const XEvent& event)
{
    if (event.xbutton.window != m_button || event.xbutton.button != Button1)
        return false;
    if (event.type == ButtonPress) {
        m_buttonPressed = m_pointerInButton = true;
        drawButton();
        return false;
    }
    if (!m_buttonPressed)
        return false;
    m_buttonPressed = false;
    if (event.xbutton.x >= 0 && event.xbutton.y >= 0 && event.xbutton.x < m_buttonWidth
        && event.xbutton.y < buttonHeight)
        return true;
    drawButton();
    return false;
}

bool AlertDialog::handle(XEvent& event)
{
    switch (event.type) {
    case MapNotify:
        if (event.xmap.window == m_window)
            m_x.XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
        return false;
    case Expose:
        if (!event.xexpose.count)
            expose(event.xexpose.window);
        return false;
    case KeyPress: {
        KeySym key = m_x.XLookupKeysym(&event.xkey, 0);
        return key == XK_Return || key == XK_KP_Enter || key == XK_space;
    }
    case ButtonPress:
    case ButtonRelease:
        return handleButton(event);
    case EnterNotify:
    case LeaveNotify:
        if (event.xcrossing.window == m_button) {
            m_pointerInButton = event.type == EnterNotify;
            drawButton();
        }
        return false;
    case ClientMessage:
        // Closing the dialog from the window manager counts as its one button.
        return event.xclient.format == 32 && static_cast<Atom>(event.xclient.data.l[0]) == m_deleteWindow;
    default:
        return false;
    }
}

// XNextEvent would block inside Xlib, which cannot come back from a lost
// connection: wait for the socket here and take only queued events.
bool AlertDialog::waitForEvent()
{
    while (!m_x.XPending(m_display)) {
        if (m_connectionLost)
            return false;
        pollfd connection { ConnectionNumber(m_display), POLLIN, 0 };
        if (::poll(&connection, 1, -1) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

bool AlertDialog::run()
{
    while (waitForEvent()) {
        XEvent event;
        m_x.XNextEvent(m_display, &event);
        if (handle(event))
            return true;
    }
    return false;
}

}
