// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The Xlib dialog that shows an Alert.
#pragma once

#include "Alert.h"
#include "AlertText.h"
#include "Xlib.h"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct ScreenArea {
    int x;
    int y;
    int width;
    int height;
};
// The monitor that holds the pointer, as Xinerama or else RandR tells it;
// the whole screen when neither does.
ScreenArea monitorWithPointer(const Xlib&, ::Display*);
// The resource Xft.dpi over 96 (1 without it): the size the dialog is drawn at.
double displayScale(const Xlib&, ::Display*);

struct AlertDialogOptions {
    const Xlib& x;
    // Null without Xft: then the text is drawn in core fonts.
    const Xft* xft;
    ::Display* display;
    const Alert& alert;
    // The title, and the WM_CLASS class name of every window.
    std::string applicationName;
    // Set from Xlib's error handler when the connection is gone.
    const bool& connectionLost;
};

class AlertDialog {
public:
    explicit AlertDialog(AlertDialogOptions options)
        : m_x(options.x)
        , m_xft(options.xft)
        , m_display(options.display)
        , m_alert(options.alert)
        , m_applicationName(std::move(options.applicationName))
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
    struct Layout {
        int margin { 0 };
        int iconSize { 0 };
        int width { 0 };
        int textX { 0 };
        int textWidth { 0 };
        int messageHeight { 0 };
        int informativeY { 0 };
        int informativeHeight { 0 };
        int buttonY { 0 };
        int height { 0 };
    };

    int scaled(int length) const { return static_cast<int>(std::lround(length * m_scale)); }
    bool loadText();
    void allocateColors();
    unsigned long color(unsigned char red, unsigned char green, unsigned char blue, unsigned long fallback);
    Layout layOut();
    bool createWindow(const Layout&);
    void createChildren(const Layout&);
    Window makeChild(int x, int y, int width, int height, const char* role, const std::string& name, long events);
    void name(Window, const char* role, const std::string& text);

    // Window manager properties: AlertDialogWindow.cpp.
    void setWindowManagerHints(int x, int y, const Layout&);
    void setDesktopProperties();
    void setIconProperty();
    void setProperty(const char* name, Atom type, int format, const void* data, size_t count);

    bool waitForEvent();
    // True when the event presses the button.
    bool handle(XEvent&);
    void expose(Window);
    bool handleButton(const XEvent&);
    void drawIcon(Drawable);
    void drawLines(Window, TextFace, const std::vector<std::u32string>&);
    void drawButton();

    const Xlib& m_x;
    const Xft* m_xft;
    ::Display* m_display;
    const Alert& m_alert;
    std::string m_applicationName;
    const bool& m_connectionLost;
    double m_scale { 1 };
    std::unique_ptr<DialogText> m_text;
    GC m_gc { nullptr };
    Window m_window { 0 };
    Window m_icon { 0 };
    Window m_message { 0 };
    Window m_informative { 0 };
    Window m_button { 0 };
    std::vector<std::u32string> m_messageLines;
    std::vector<std::u32string> m_informativeLines;
    std::u32string m_buttonTitle;
    int m_iconSize { 0 };
    int m_buttonWidth { 0 };
    int m_buttonHeight { 0 };
    Atom m_deleteWindow { 0 };
    unsigned long m_background { 0 };
    TextColor m_textColor {};
    TextColor m_buttonTextColor {};
    unsigned long m_accent { 0 };
    unsigned long m_accentPressed { 0 };
    unsigned long m_caution { 0 };
    bool m_buttonPressed { false };
    bool m_pointerInButton { false };
};

}
