// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "NotificationCenter.h"

#include <algorithm>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const void* observer, Handler handler, std::string name, const void* object)
{
    m_thread.assertIsCurrent();
    m_observations.push_back(
        std::make_shared<Observation>(Observation { observer, std::move(name), object, std::move(handler) }));
}

void NotificationCenter::removeObserver(const void* observer, std::string_view name, const void* object)
{
    m_thread.assertIsCurrent();
    std::erase_if(m_observations, [&](const std::shared_ptr<Observation>& observation) {
        bool matches = observation->observer == observer && (name.empty() || observation->name == name)
            && (!object || observation->object == object);
        if (matches)
            observation->active = false;
        return matches;
    });
}

void NotificationCenter::postNotification(const Notification& notification)
{
    m_thread.assertIsCurrent();
    std::vector<std::shared_ptr<Observation>> receivers;
    for (const auto& observation : m_observations) {
        if ((observation->name.empty() || observation->name == notification.name())
            && (!observation->object || observation->object == notification.object()))
            receivers.push_back(observation);
    }
    for (const auto& observation : receivers) {
        if (observation->active)
            observation->handler(notification);
    }
}

}
