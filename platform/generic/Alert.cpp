#include "Alert.h"

#include "SystemLog.h"

namespace platform {

Alert Alert::alertWithMessageText(std::string messageText, std::string defaultButton, std::string informativeText)
{
    Alert alert;
    alert.m_messageText = std::move(messageText);
    alert.m_buttonTitle = defaultButton.empty() ? "OK" : std::move(defaultButton);
    alert.m_informativeText = std::move(informativeText);
    return alert;
}

void Alert::runModal() const
{
    if (runAlertDialog(*this))
        return;
    systemLog(m_messageText);
    systemLog(m_informativeText);
}

}
