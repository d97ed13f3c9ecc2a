#pragma once

#include "ThreadAffinity.h"

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Notification {
public:
    using UserInfo = std::map<std::string, std::any, std::less<>>;

    Notification(std::string name, std::shared_ptr<void> object, UserInfo userInfo = {})
        : m_name(std::move(name))
        , m_object(std::move(object))
        , m_userInfo(std::move(userInfo))
    {
    }

    const std::string& name() const { return m_name; }
    // The sender, kept alive while the notification is delivered.
    const void* object() const { return m_object.get(); }
    // The user info item under key when it holds a T; none otherwise.
    template<typename T> const T* userInfoItem(std::string_view key) const
    {
        auto found = m_userInfo.find(key);
        return found == m_userInfo.end() ? nullptr : std::any_cast<T>(&found->second);
    }

private:
    std::string m_name;
    std::shared_ptr<void> m_object;
    UserInfo m_userInfo;
};

// Delivers notifications synchronously, on the posting thread, to every
// observer registered for that name and object. Used from the main thread only
// (the thread that first asked for it).
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // An empty name matches every name, a null object every sender.
    void addObserver(const void* observer, Handler, std::string name, const void* object);
    // Removes the observer's registrations that match; may be called from a
    // handler, and a removed handler is not called again, not even by a post
    // that is already under way.
    void removeObserver(const void* observer, std::string_view name = {}, const void* object = nullptr);
    void postNotification(const Notification&);

    size_t observationCount() const { return m_observations.size(); }

private:
    ThreadAffinity m_thread;
    struct Observation {
        const void* observer;
        std::string name;
        const void* object;
        Handler handler;
        bool active { true };
    };
    std::vector<std::shared_ptr<Observation>> m_observations;
};

}
