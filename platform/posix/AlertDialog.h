// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The Xlib dialog that shows an Alert, and the text layout it draws with.
#pragma once

#include "Alert.h"
#include "Xlib.h"

#include <string>
#include <vector>

namespace platform {

using Line = std::vector<XChar2b>;

// Text as Xlib's 16-bit characters: an ill-formed sequence, or a character
// beyond the Basic Multilingual Plane, shows as U+FFFD.
Line decodeLine(const std::string& text);
// Lines no wider than width: broken at spaces, at newlines, and inside a
// word only where the word alone is too wide.
std::vector<Line> wrapText(const Xlib&, XFontStruct*, const std::string& text, int width);

struct AlertDialogOptions {
    const Xlib& x;
    ::Display* display;
    const Alert& alert;
    // WM_CLASS class name of every window: the application's.
    std::string windowClass;
    // Set from Xlib's error handler when the connection is gone.
    const bool& connectionLost;
};

class AlertDialog {
public:
    explicit AlertDialog(AlertDialogOptions options)
        : m_x(options.x)
        , m_display(options.display)
        , m_alert(options.alert)
        , m_windowClass(std::move(options.windowClass))
        , m_connectionLost(options.connectionLost)
    {
    }
    ~AlertDialog();
    AlertDialog(const AlertDialog&) = delete;
    AlertDialog& operator=(const AlertDialog&) = delete;

    bool create();
    // Blocks until the button is pressed; false when the connection was lost first.
    bool run();

private:
    static constexpr int margin = 20;
    static constexpr int iconSize = 64;
    static constexpr int dialogWidth = 460;
    static constexpr int buttonHeight = 28;

    struct Layout {
        int textX { 0 };
        int textWidth { 0 };
        int messageHeight { 0 };
        int informativeHeight { 0 };
        int buttonY { 0 };
        int height { 0 };
    };

    bool loadFonts();
    void allocateColors();
    unsigned long color(unsigned short red, unsigned short green, unsigned short blue, unsigned long fallback);
    Layout layOut();
    bool createWindow(const Layout&);
    void setWindowManagerHints(int x, int y, int height);
    void createChildren(const Layout&);
    Window makeChild(int x, int y, int width, int height, const char* role, const std::string& name, long events);
    void name(Window, const char* role, const std::string& text);
    int width(XFontStruct* font, const Line& line) const
    {
        return m_x.XTextWidth16(font, line.data(), static_cast<int>(line.size()));
    }
    static int lineHeight(XFontStruct* font) { return font->ascent + font->descent + 2; }

    bool waitForEvent();
    // True when the event presses the button.
    bool handle(XEvent&);
    void expose(Window);
    bool handleButton(const XEvent&);
    void drawIcon();
    void drawLines(Window, XFontStruct*, const std::vector<Line>&);
    void drawButton();

    const Xlib& m_x;
    ::Display* m_display;
    const Alert& m_alert;
    std::string m_windowClass;
    const bool& m_connectionLost;
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

}
