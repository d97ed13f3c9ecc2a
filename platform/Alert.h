#pragma once

#include <string>

namespace platform {

enum class AlertStyle {
    Warning = 0,
    Informational = 1,
    Critical = 2,
};

// A modal message with one button. With a display it is a real dialog that
// blocks until the button is pressed; without one both texts go to standard
// error and the system log, and it returns at once.
class Alert {
public:
    static Alert alertWithMessageText(std::string messageText, std::string defaultButton, std::string informativeText);

    void setAlertStyle(AlertStyle style) { m_style = style; }
    AlertStyle alertStyle() const { return m_style; }
    const std::string& messageText() const { return m_messageText; }
    const std::string& informativeText() const { return m_informativeText; }
    const std::string& buttonTitle() const { return m_buttonTitle; }

    // Shows it with the first backend that can: GTK 3, then the Xlib dialog;
    // the texts go to standard error and the system log in any case.
    void runModal() const;

    // The environment variable that, set to "gtk", "x11" or "text", names the
    // one backend to try (text: no dialog); none by default.
    static void setBackendVariable(std::string name);

private:
    std::string m_messageText;
    std::string m_informativeText;
    std::string m_buttonTitle;
    AlertStyle m_style { AlertStyle::Warning };
};

// Shows the dialog on DISPLAY and returns once its button is pressed; false
// when it could not be shown (no display, no libX11) or the display went away
// first. Xlib is loaded only here.
bool runAlertDialog(const Alert&);
// The same as GTK 3's message dialog, loaded only here; false when GTK
// cannot be loaded or reach the display.
bool runGtkAlertDialog(const Alert&);

}
