// gtk/: the alert; GTK loaded with dlopen only when a dialog is shown, so that
// no launch links a GUI library.
#include "Alert.h"

#include "SystemLog.h"
#include "Trace.h"

namespace platform {

Alert Alert::alertWithMessageText(std::string messageText, std::string defaultButton, std::string informativeText)
{
    Alert alert;
    alert.m_messageText = std::move(messageText);
    alert.m_buttonTitle = defaultButton.empty() ? "OK" : std::move(defaultButton);
    alert.m_informativeText = std::move(informativeText);
    return alert;
}

// The texts are logged whether or not a dialog shows them, so that a record
// remains once it has been dismissed, and before a dialog that loses its
// display can take the process with it.
void Alert::runModal(AlertBackend backend) const
{
    systemLog(m_messageText, LogLevel::Error);
    systemLog(m_informativeText, LogLevel::Error);
    bool shown = backend == AlertBackend::Gtk && runDialog();
    trace("alert: ", shown ? "shown" : "not shown", backend == AlertBackend::Text ? " (text only)" : "");
}

}
