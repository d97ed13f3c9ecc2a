#include "Alert.h"

#include "ProcessInfo.h"
#include "SystemLog.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <algorithm>
#include <cerrno>
#include <dlfcn.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

// The dialog is drawn with Xlib, loaded with dlopen only when an alert is
// shown: the launcher has no link-time GUI dependency, and a machine without
// libX11 falls back to the headless alert.

namespace platform {

namespace {

#define ZELVANT_XLIB_FUNCTIONS(F)                                                                                      \
    F(XOpenDisplay)                                                                                                    \
    F(XCloseDisplay)                                                                                                   \
    F(XSetErrorHandler)                                                                                                \
    F(XSetIOErrorHandler)                                                                                              \
    F(XInternAtom)                                                                                                     \
    F(XCreateSimpleWindow)                                                                                             \
    F(XDestroyWindow)                                                                                                  \
    F(XStoreName)                                                                                                      \
    F(XChangeProperty)                                                                                                 \
    F(XSetClassHint)                                                                                                   \
    F(XSetWMHints)                                                                                                     \
    F(XSetWMNormalHints)                                                                                               \
    F(XSetWMProtocols)                                                                                                 \
    F(XSelectInput)                                                                                                    \
    F(XMapWindow)                                                                                                      \
    F(XMapSubwindows)                                                                                                  \
    F(XSetInputFocus)                                                                                                  \
    F(XNextEvent)                                                                                                      \
    F(XPending)                                                                                                        \
    F(XLookupKeysym)                                                                                                   \
    F(XLoadQueryFont)                                                                                                  \
    F(XFreeFont)                                                                                                       \
    F(XTextWidth16)                                                                                                    \
    F(XAllocColor)                                                                                                     \
    F(XCreateGC)                                                                                                       \
    F(XFreeGC)                                                                                                         \
    F(XSetForeground)                                                                                                  \
    F(XSetFont)                                                                                                        \
    F(XSetLineAttributes)                                                                                              \
    F(XFillRectangle)                                                                                                  \
    F(XDrawRectangle)                                                                                                  \
    F(XFillPolygon)                                                                                                    \
    F(XDrawLines)                                                                                                      \
    F(XFillArc)                                                                                                        \
    F(XDrawString16)                                                                                                   \
    F(XFlush)

// The entry points of a loaded libX11.
struct Xlib {
// The argument is a bare function name: there is nothing to parenthesise.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define ZELVANT_DECLARE(name) decltype(&::name) name { nullptr };
    ZELVANT_XLIB_FUNCTIONS(ZELVANT_DECLARE)
#undef ZELVANT_DECLARE
    // Since libX11 1.7: lets a lost connection return to us instead of exiting.
    decltype(&::XSetIOErrorExitHandler) XSetIOErrorExitHandler { nullptr };
};

template<typename Function> bool resolve(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function;
}

class LoadedLibrary {
public:
    explicit LoadedLibrary(const char* name)
        : m_handle(dlopen(name, RTLD_NOW | RTLD_LOCAL))
    {
    }
    ~LoadedLibrary()
    {
        if (m_handle)
            dlclose(m_handle);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    void* handle() const { return m_handle; }

private:
    void* m_handle;
};

// Xlib reports errors through process-wide handlers, so their state is too.
bool s_connectionLost = false;
bool s_connectionLossReturns = false;
const Alert* s_shownAlert = nullptr;

int ignoreProtocolError(::Display*, XErrorEvent*) { return 0; }

int noteConnectionLost(::Display*)
{
    s_connectionLost = true;
    // Without an exit handler Xlib ends the process when this returns: the
    // texts must not be lost with it.
    if (!s_connectionLossReturns && s_shownAlert) {
        systemLog(s_shownAlert->messageText());
        systemLog(s_shownAlert->informativeText());
    }
    return 0;
}

void keepRunningAfterConnectionLoss(::Display*, void*) { s_connectionLost = true; }

size_t sequenceLength(unsigned char leadByte)
{
    if (leadByte < 0x80)
        return 1;
    if ((leadByte >> 5) == 0x6)
        return 2;
    if ((leadByte >> 4) == 0xE)
        return 3;
    if ((leadByte >> 3) == 0x1E)
        return 4;
    return 0;
}

// Text as Xlib's 16-bit characters; what is not valid UTF-8 or lies beyond
// the Basic Multilingual Plane shows as U+FFFD.
std::vector<XChar2b> decodeUTF8(const std::string& text)
{
    std::vector<XChar2b> characters;
    for (size_t index = 0; index < text.size();) {
        auto byte = static_cast<unsigned char>(text[index]);
        unsigned codePoint = 0xFFFD;
        size_t length = sequenceLength(byte);
        if (length == 1) {
            codePoint = byte;
        } else if (length && index + length <= text.size()) {
            unsigned value = byte & (0x7F >> length);
            bool valid = true;
            for (size_t next = 1; next < length && valid; ++next) {
                auto continuation = static_cast<unsigned char>(text[index + next]);
                valid = (continuation & 0xC0) == 0x80;
                value = (value << 6) | (continuation & 0x3F);
            }
            if (valid)
                codePoint = value <= 0xFFFF ? value : 0xFFFD;
            else
                length = 1;
        } else {
            length = 1;
        }
        index += length;
        characters.push_back(
            { static_cast<unsigned char>(codePoint >> 8), static_cast<unsigned char>(codePoint & 0xFF) });
    }
    return characters;
}

using Line = std::vector<XChar2b>;

class AlertDialog {
public:
    AlertDialog(const Xlib& xlib, ::Display* display, const Alert& alert)
        : m_x(xlib)
        , m_display(display)
        , m_alert(alert)
    {
    }
    ~AlertDialog();

    bool create();
    // Blocks until the button is pressed; false when the connection was lost first.
    bool run();

private:
    static constexpr int margin = 20;
    static constexpr int iconSize = 64;
    static constexpr int dialogWidth = 460;
    static constexpr int buttonHeight = 28;

    unsigned long color(unsigned short red, unsigned short green, unsigned short blue, unsigned long fallback);
    Window makeChild(int x, int y, int width, int height, const char* role, const std::string& name, long events);
    void name(Window, const char* role, const std::string& text);
    std::vector<Line> wrap(XFontStruct*, const std::string& text, int width) const;
    int width(XFontStruct* font, const Line& line) const
    {
        return m_x.XTextWidth16(font, line.data(), static_cast<int>(line.size()));
    }
    static int lineHeight(XFontStruct* font) { return font->ascent + font->descent + 2; }

    void drawIcon();
    void drawLines(Window, XFontStruct*, const std::vector<Line>&);
    void drawButton();

    const Xlib& m_x;
    ::Display* m_display;
    const Alert& m_alert;
    XFontStruct* m_regularFont { nullptr };
    XFontStruct* m_boldFont { nullptr };
    GC m_gc { nullptr };
    Window m_window { 0 };
    Window m_icon { 0 };
    Window m_message { 0 };
    Window m_informative { 0 };
    Window m_button { 0 };
    std::vector<Line> m_messageLines;
    std::vector<Line> m_informativeLines;
    Line m_buttonTitle;
    int m_buttonWidth { 0 };
    Atom m_deleteWindow { 0 };
    unsigned long m_background { 0 };
    unsigned long m_text { 0 };
    unsigned long m_accent { 0 };
    unsigned long m_accentPressed { 0 };
    unsigned long m_caution { 0 };
    bool m_buttonPressed { false };
    bool m_pointerInButton { false };
};

AlertDialog::~AlertDialog()
{
    if (s_connectionLost)
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
    std::string className = "ZelvantAlert";
    XClassHint hint { instance.data(), className.data() };
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

std::vector<Line> AlertDialog::wrap(XFontStruct* font, const std::string& text, int maximumWidth) const
{
    std::vector<Line> lines;
    Line current;
    Line word;
    auto flushWord = [&] {
        Line candidate = current;
        if (!candidate.empty() && !word.empty())
            candidate.push_back({ 0, ' ' });
        candidate.insert(candidate.end(), word.begin(), word.end());
        if (width(font, candidate) <= maximumWidth || current.empty()) {
            current = std::move(candidate);
        } else {
            lines.push_back(std::move(current));
            current = word;
        }
        // A word wider than the line is cut where it overflows.
        while (current.size() > 1 && width(font, current) > maximumWidth) {
            size_t fits = current.size() - 1;
            while (fits > 1
                && width(font, Line(current.begin(), current.begin() + static_cast<long>(fits))) > maximumWidth)
                --fits;
            lines.emplace_back(current.begin(), current.begin() + static_cast<long>(fits));
            current.erase(current.begin(), current.begin() + static_cast<long>(fits));
        }
        word.clear();
    };
    for (const XChar2b& character : decodeUTF8(text)) {
        if (!character.byte1 && character.byte2 == '\n') {
            flushWord();
            lines.push_back(std::move(current));
            current.clear();
        } else if (!character.byte1 && character.byte2 == ' ') {
            flushWord();
        } else {
            word.push_back(character);
        }
    }
    flushWord();
    if (!current.empty() || lines.empty())
        lines.push_back(std::move(current));
    return lines;
}

bool AlertDialog::create()
{
    int screen = DefaultScreen(m_display);
    m_regularFont = m_x.XLoadQueryFont(m_display, "-*-helvetica-medium-r-normal--14-*-*-*-*-*-iso10646-1");
    if (!m_regularFont)
        m_regularFont = m_x.XLoadQueryFont(m_display, "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso10646-1");
    if (!m_regularFont)
        m_regularFont = m_x.XLoadQueryFont(m_display, "fixed");
    if (!m_regularFont)
        return false;
    m_boldFont = m_x.XLoadQueryFont(m_display, "-*-helvetica-bold-r-normal--14-*-*-*-*-*-iso10646-1");
    if (!m_boldFont)
        m_boldFont = m_x.XLoadQueryFont(m_display, "-misc-fixed-bold-r-normal--13-*-*-*-*-*-iso10646-1");
    if (!m_boldFont)
        m_boldFont = m_regularFont;

    unsigned long black = BlackPixel(m_display, screen);
    unsigned long white = WhitePixel(m_display, screen);
    m_background = color(0xEC, 0xEC, 0xEC, white);
    m_text = black;
    m_accent = color(0x2F, 0x6F, 0xD0, black);
    m_accentPressed = color(0x1D, 0x4E, 0x9C, black);
    m_caution = color(0xF6, 0xC3, 0x1C, white);

    int textX = margin + iconSize + margin;
    int textWidth = dialogWidth - textX - margin;
    m_messageLines = wrap(m_boldFont, m_alert.messageText(), textWidth);
    m_informativeLines = wrap(m_regularFont, m_alert.informativeText(), textWidth);
    m_buttonTitle = decodeUTF8(m_alert.buttonTitle());
    m_buttonWidth = std::clamp(width(m_regularFont, m_buttonTitle) + 32, 96, textWidth);

    int messageHeight = lineHeight(m_boldFont) * static_cast<int>(m_messageLines.size());
    bool noInformativeText = m_informativeLines.size() == 1 && m_informativeLines.front().empty();
    int informativeHeight
        = noInformativeText ? 1 : lineHeight(m_regularFont) * static_cast<int>(m_informativeLines.size());
    int textBottom = margin + messageHeight + 10 + informativeHeight;
    int buttonY = std::max(textBottom, margin + iconSize) + margin;
    int height = buttonY + buttonHeight + margin;

    int x = std::max(0, (DisplayWidth(m_display, screen) - dialogWidth) / 2);
    int y = std::max(0, (DisplayHeight(m_display, screen) - height) / 3);
    m_window = m_x.XCreateSimpleWindow(m_display, RootWindow(m_display, screen), x, y,
        static_cast<unsigned>(dialogWidth), static_cast<unsigned>(height), 1, black, m_background);
    if (!m_window)
        return false;
    name(m_window, "alert", m_alert.messageText());
    m_x.XSelectInput(m_display, m_window, ExposureMask | KeyPressMask | StructureNotifyMask);

    // A fixed-size dialog that wants the keyboard.
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

    const char* style = m_alert.alertStyle() == AlertStyle::Critical ? "critical"
        : m_alert.alertStyle() == AlertStyle::Informational          ? "informational"
                                                                     : "warning";
    m_icon = makeChild(margin, margin, iconSize, iconSize, "icon", style, ExposureMask);
    m_message = makeChild(textX, margin, textWidth, messageHeight, "message", m_alert.messageText(), ExposureMask);
    m_informative = makeChild(textX, margin + messageHeight + 10, textWidth, informativeHeight, "informative",
        m_alert.informativeText(), ExposureMask);
    m_button = makeChild(dialogWidth - margin - m_buttonWidth, buttonY, m_buttonWidth, buttonHeight, "button",
        m_alert.buttonTitle(), ExposureMask | ButtonPressMask | ButtonReleaseMask | EnterWindowMask | LeaveWindowMask);

    m_gc = m_x.XCreateGC(m_display, m_window, 0, nullptr);
    m_x.XMapSubwindows(m_display, m_window);
    m_x.XMapWindow(m_display, m_window);
    m_x.XFlush(m_display);
    return true;
}

void AlertDialog::drawIcon()
{
    bool critical = m_alert.alertStyle() == AlertStyle::Critical;
    m_x.XSetLineAttributes(m_display, m_gc, 2, LineSolid, CapRound, JoinRound);
    if (critical) {
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

bool AlertDialog::run()
{
    // XNextEvent would block inside Xlib, which cannot come back from a lost
    // connection: wait for the socket here and take only queued events.
    while (true) {
        if (!m_x.XPending(m_display)) {
            if (s_connectionLost)
                return false;
            pollfd connection { ConnectionNumber(m_display), POLLIN, 0 };
            if (::poll(&connection, 1, -1) < 0 && errno != EINTR)
                return false;
            continue;
        }
        XEvent event;
        m_x.XNextEvent(m_display, &event);
        switch (event.type) {
        case MapNotify:
            if (event.xmap.window == m_window)
                m_x.XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
            break;
        case Expose:
            if (event.xexpose.count)
                break;
            if (event.xexpose.window == m_icon)
                drawIcon();
            else if (event.xexpose.window == m_message)
                drawLines(m_message, m_boldFont, m_messageLines);
            else if (event.xexpose.window == m_informative)
                drawLines(m_informative, m_regularFont, m_informativeLines);
            else if (event.xexpose.window == m_button)
                drawButton();
            break;
        case KeyPress: {
            KeySym key = m_x.XLookupKeysym(&event.xkey, 0);
            if (key == XK_Return || key == XK_KP_Enter || key == XK_space)
                return true;
            break;
        }
        case ButtonPress:
            if (event.xbutton.window == m_button && event.xbutton.button == Button1) {
                m_buttonPressed = m_pointerInButton = true;
                drawButton();
            }
            break;
        case ButtonRelease:
            if (event.xbutton.window == m_button && event.xbutton.button == Button1 && m_buttonPressed) {
                m_buttonPressed = false;
                if (event.xbutton.x >= 0 && event.xbutton.y >= 0 && event.xbutton.x < m_buttonWidth
                    && event.xbutton.y < buttonHeight)
                    return true;
                drawButton();
            }
            break;
        case EnterNotify:
        case LeaveNotify:
            if (event.xcrossing.window == m_button) {
                m_pointerInButton = event.type == EnterNotify;
                drawButton();
            }
            break;
        case ClientMessage:
            // Closing the dialog from the window manager counts as its one button.
            if (event.xclient.format == 32 && static_cast<Atom>(event.xclient.data.l[0]) == m_deleteWindow)
                return true;
            break;
        default:
            break;
        }
    }
}

}

bool runAlertDialog(const Alert& alert)
{
    // No separate probe of the display: a probe's connection ending can make
    // a server with no other client reset just as the real one arrives.
    auto displayName = environmentValue("DISPLAY");
    if (!displayName || displayName->empty())
        return false;
    LoadedLibrary library { "libX11.so.6" };
    if (!library.handle())
        return false;
    Xlib x;
    bool complete = true;
#define ZELVANT_RESOLVE(name) complete = resolve(library.handle(), #name, x.name) && complete;
    ZELVANT_XLIB_FUNCTIONS(ZELVANT_RESOLVE)
#undef ZELVANT_RESOLVE
    if (!complete)
        return false;
    resolve(library.handle(), "XSetIOErrorExitHandler", x.XSetIOErrorExitHandler);

    ::Display* display = x.XOpenDisplay(displayName->c_str());
    if (!display)
        return false;
    s_connectionLost = false;
    s_connectionLossReturns = x.XSetIOErrorExitHandler;
    s_shownAlert = &alert;
    auto previousErrorHandler = x.XSetErrorHandler(ignoreProtocolError);
    auto previousIOErrorHandler = x.XSetIOErrorHandler(noteConnectionLost);
    if (x.XSetIOErrorExitHandler)
        x.XSetIOErrorExitHandler(display, keepRunningAfterConnectionLoss, nullptr);

    bool shown = false;
    {
        AlertDialog dialog { x, display, alert };
        // Dismissed, the dialog has done its job; lost before that, the texts
        // still reach the user the headless way.
        shown = dialog.create() && dialog.run();
    }
    // After a lost connection only an Xlib with the exit handler can still free it.
    if (!s_connectionLost || s_connectionLossReturns)
        x.XCloseDisplay(display);
    x.XSetErrorHandler(previousErrorHandler);
    x.XSetIOErrorHandler(previousIOErrorHandler);
    s_shownAlert = nullptr;
    return shown;
}

}
