#pragma once

#include <string>

namespace platform {

enum class AlertStyle {
    Warning = 0,
    Informational = 1,
    Critical = 2,
};

// Gtk: the desktop's message dialog when a display takes it; Text: never a dialog.
enum class AlertBackend { Gtk, Text };

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

    // The texts go to standard error and the system log in any case.
    void runModal(AlertBackend = AlertBackend::Gtk) const;

private:
    // GTK 3's message dialog, else GTK 2's (gtk/); false when neither could be shown.
    bool runDialog() const;

    std::string m_messageText;
    std::string m_informativeText;
    std::string m_buttonTitle;
    AlertStyle m_style { AlertStyle::Warning };
};

}
