// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The alert dialog's windows: made, drawn, and run until its button is pressed.
#include "AlertDialog.h"

#include <X11/keysym.h>
#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace platform {

// Also after a lost connection: this only runs when Xlib came back from that
// (it has an exit handler), and then its calls no longer touch the socket.
AlertDialog::~AlertDialog()
{
    // The text first: Xft's drawables refer to the windows.
    m_text.reset();
    if (m_window)
        m_x.XDestroyWindow(m_display, m_window);
    if (m_gc)
        m_x.XFreeGC(m_display, m_gc);
}

unsigned long AlertDialog::color(unsigned char red, unsigned char green, unsigned char blue, unsigned long fallback)
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
    XClassHint hint { instance.data(), m_applicationName.data() };
    m_x.XSetClassHint(m_display, window, &hint);
}

Window AlertDialog::makeChild(
    int x, int y, int width, int height, const char* role, const std::string& text, long events)
{
    Window child = m_x.XCreateSimpleWindow(m_display, m_window, x, y, static_cast<unsigned>(std::max(width, 1)),
        static_cast<unsigned>(std::max(height, 1)), 0, m_background, m_background);
    name(child, role, text);
    m_x.XSelectInput(m_display, child, events);
    return child;
}

bool AlertDialog::loadText()
{
    m_scale = displayScale(m_x, m_display);
    if (m_xft)
        m_text = makeXftText(*m_xft, m_display, m_scale);
    if (!m_text)
        m_text = makeCoreText(m_x, m_display);
    return m_text != nullptr;
}

void AlertDialog::allocateColors()
{
    unsigned long black = BlackPixel(m_display, DefaultScreen(m_display));
    unsigned long white = WhitePixel(m_display, DefaultScreen(m_display));
    m_background = color(0xEC, 0xEC, 0xEC, white);
    m_textColor = { black, 0, 0, 0 };
    m_buttonTextColor = { white, 0xFF, 0xFF, 0xFF };
    m_accent = color(0x2F, 0x6F, 0xD0, black);
    m_accentPressed = color(0x1D, 0x4E, 0x9C, black);
    m_caution = color(0xF6, 0xC3, 0x1C, white);
}

AlertDialog::Layout AlertDialog::layOut()
{
    Layout layout;
    layout.margin = scaled(20);
    layout.iconSize = m_iconSize = scaled(64);
    layout.width = scaled(460);
    layout.textX = layout.margin + layout.iconSize + layout.margin;
    layout.textWidth = layout.width - layout.textX - layout.margin;
    auto width = [this](TextFace face) {
        return [this, face](std::u32string_view text) { return m_text->width(face, text); };
    };
    m_messageLines = wrapText(decodeText(m_alert.messageText()), layout.textWidth, width(TextFace::Heading));
    m_informativeLines = wrapText(decodeText(m_alert.informativeText()), layout.textWidth, width(TextFace::Regular));
    m_buttonTitle = decodeText(m_alert.buttonTitle());
    m_buttonWidth
        = std::clamp(m_text->width(TextFace::Regular, m_buttonTitle) + scaled(32), scaled(96), layout.textWidth);
    m_buttonHeight = std::max(scaled(28), m_text->lineHeight(TextFace::Regular) + scaled(10));

    layout.messageHeight = m_text->lineHeight(TextFace::Heading) * static_cast<int>(m_messageLines.size());
    layout.informativeY = layout.margin + layout.messageHeight + scaled(10);
    bool noInformativeText = m_informativeLines.size() == 1 && m_informativeLines.front().empty();
    layout.informativeHeight
        = noInformativeText ? 1 : m_text->lineHeight(TextFace::Regular) * static_cast<int>(m_informativeLines.size());
    int textBottom = layout.informativeY + layout.informativeHeight;
    layout.buttonY = std::max(textBottom, layout.margin + layout.iconSize) + layout.margin;
    layout.height = layout.buttonY + m_buttonHeight + layout.margin;
    return layout;
}

bool AlertDialog::createWindow(const Layout& layout)
{
    ScreenArea monitor = monitorWithPointer(m_x, m_display);
    int x = monitor.x + std::max(0, (monitor.width - layout.width) / 2);
    int y = monitor.y + std::max(0, (monitor.height - layout.height) / 2);
    int screen = DefaultScreen(m_display);
    m_window
        = m_x.XCreateSimpleWindow(m_display, RootWindow(m_display, screen), x, y, static_cast<unsigned>(layout.width),
            static_cast<unsigned>(layout.height), 1, BlackPixel(m_display, screen), m_background);
    if (!m_window)
        return false;
    name(m_window, "alert", m_applicationName);
    m_x.XSelectInput(m_display, m_window, ExposureMask | KeyPressMask | StructureNotifyMask);
    setWindowManagerHints(x, y, layout);
    setDesktopProperties();
    return true;
}

void AlertDialog::createChildren(const Layout& layout)
{
    const char* style = m_alert.alertStyle() == AlertStyle::Critical ? "critical"
        : m_alert.alertStyle() == AlertStyle::Informational          ? "informational"
                                                                     : "warning";
    m_icon = makeChild(layout.margin, layout.margin, layout.iconSize, layout.iconSize, "icon", style, ExposureMask);
    m_message = makeChild(layout.textX, layout.margin, layout.textWidth, layout.messageHeight, "message",
        m_alert.messageText(), ExposureMask);
    m_informative = makeChild(layout.textX, layout.informativeY, layout.textWidth, layout.informativeHeight,
        "informative", m_alert.informativeText(), ExposureMask);
    m_button = makeChild(layout.width - layout.margin - m_buttonWidth, layout.buttonY, m_buttonWidth, m_buttonHeight,
        "button", m_alert.buttonTitle(),
        ExposureMask | ButtonPressMask | ButtonReleaseMask | EnterWindowMask | LeaveWindowMask);
}

bool AlertDialog::create()
{
    if (!loadText())
        return false;
    allocateColors();
    Layout layout = layOut();
    m_gc = m_x.XCreateGC(m_display, DefaultRootWindow(m_display), 0, nullptr);
    if (!createWindow(layout))
        return false;
    createChildren(layout);
    setIconProperty();
    m_x.XMapSubwindows(m_display, m_window);
    m_x.XMapWindow(m_display, m_window);
    m_x.XFlush(m_display);
    return true;
}

// Drawn for a 64-pixel square, scaled.
void AlertDialog::drawIcon(Drawable drawable)
{
    auto point = [this](int x, int y) {
        return XPoint { static_cast<short>(scaled(x)), static_cast<short>(scaled(y)) };
    };
    auto length = [this](int pixels) { return static_cast<unsigned>(scaled(pixels)); };
    m_x.XSetLineAttributes(m_display, m_gc, length(2), LineSolid, CapRound, JoinRound);
    if (m_alert.alertStyle() == AlertStyle::Critical) {
        // A caution sign: a yellow triangle with an exclamation mark.
        XPoint triangle[4] = { point(32, 4), point(61, 58), point(3, 58), point(32, 4) };
        m_x.XSetForeground(m_display, m_gc, m_caution);
        m_x.XFillPolygon(m_display, drawable, m_gc, triangle, 3, Convex, CoordModeOrigin);
        m_x.XSetForeground(m_display, m_gc, m_textColor.pixel);
        m_x.XDrawLines(m_display, drawable, m_gc, triangle, 4, CoordModeOrigin);
        m_x.XFillRectangle(m_display, drawable, m_gc, scaled(29), scaled(20), length(6), length(22));
        m_x.XFillArc(m_display, drawable, m_gc, scaled(28), scaled(46), length(8), length(8), 0, 360 * 64);
        return;
    }
    // Otherwise a round sign with an "i".
    m_x.XSetForeground(m_display, m_gc, m_accent);
    m_x.XFillArc(m_display, drawable, m_gc, scaled(4), scaled(4), length(56), length(56), 0, 360 * 64);
    m_x.XSetForeground(m_display, m_gc, m_buttonTextColor.pixel);
    m_x.XFillArc(m_display, drawable, m_gc, scaled(28), scaled(14), length(8), length(8), 0, 360 * 64);
    m_x.XFillRectangle(m_display, drawable, m_gc, scaled(29), scaled(26), length(6), length(24));
}

void AlertDialog::drawLines(Window window, TextFace face, const std::vector<std::u32string>& lines)
{
    int baseline = m_text->ascent(face) + 1;
    for (const auto& line : lines) {
        m_text->draw(window, face, 0, baseline, line, m_textColor);
        baseline += m_text->lineHeight(face);
    }
}

void AlertDialog::drawButton()
{
    // The one button is the default button: filled with the accent colour.
    bool sunken = m_buttonPressed && m_pointerInButton;
    auto width = static_cast<unsigned>(m_buttonWidth);
    auto height = static_cast<unsigned>(m_buttonHeight);
    m_x.XSetForeground(m_display, m_gc, sunken ? m_accentPressed : m_accent);
    m_x.XFillRectangle(m_display, m_button, m_gc, 0, 0, width, height);
    m_x.XSetForeground(m_display, m_gc, m_textColor.pixel);
    m_x.XSetLineAttributes(m_display, m_gc, 1, LineSolid, CapButt, JoinMiter);
    m_x.XDrawRectangle(m_display, m_button, m_gc, 0, 0, width - 1, height - 1);
    int titleX = (m_buttonWidth - m_text->width(TextFace::Regular, m_buttonTitle)) / 2;
    int titleY = (m_buttonHeight + m_text->ascent(TextFace::Regular) - m_text->descent(TextFace::Regular)) / 2;
    m_text->draw(m_button, TextFace::Regular, std::max(titleX, 2), titleY, m_buttonTitle, m_buttonTextColor);
}

void AlertDialog::expose(Window window)
{
    if (window == m_icon)
        drawIcon(m_icon);
    else if (window == m_message)
        drawLines(m_message, TextFace::Heading, m_messageLines);
    else if (window == m_informative)
        drawLines(m_informative, TextFace::Regular, m_informativeLines);
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
        && event.xbutton.y < m_buttonHeight)
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
        return key == XK_Return || key == XK_KP_Enter || key == XK_space || key == XK_Escape;
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
