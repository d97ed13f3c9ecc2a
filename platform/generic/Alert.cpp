// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "Alert.h"

#include "ProcessInfo.h"
#include "SystemLog.h"
#include "Trace.h"

namespace platform {

static std::string& backendVariable()
{
    static std::string name;
    return name;
}

void Alert::setBackendVariable(std::string name) { backendVariable() = std::move(name); }

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
void Alert::runModal() const
{
    systemLog(m_messageText, LogLevel::Error);
    systemLog(m_informativeText, LogLevel::Error);
    std::string backend;
    if (!backendVariable().empty())
        backend = environmentValue(backendVariable()).value_or("");
    bool shown = false;
    if (backend == "gtk" || (backend != "x11" && backend != "text"))
        shown = runGtkAlertDialog(*this);
    if (!shown && (backend == "x11" || (backend != "gtk" && backend != "text")))
        shown = runAlertDialog(*this);
    trace("alert: ", shown ? "shown" : "not shown", " (backend chosen: ", backend.empty() ? "any" : backend, ")");
}

}
