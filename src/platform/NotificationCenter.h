#pragma once

#include <functional>
#include <string>
#include <vector>

// Named commands from the menu and the settings view to whoever owns the list. The name is the
// whole contract: a post carries no object and no payload.
class NotificationCenter {
public:
    using Handler = std::function<void()>;

    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // Observers are never removed: the main window's controller lives as long as the program.
    void addObserver(const std::string& name, Handler handler);

    // Runs every observer of the name, in registration order, before returning. An observer may
    // register further observers while it runs; those hear only later posts.
    void post(const std::string& name);

    std::size_t observerCount() const { return observers_.size(); }
    // The names in registration order, one entry per observer.
    std::vector<std::string> observedNames() const;

private:
    struct Observer {
        std::string name;
        Handler handler;
    };
    std::vector<Observer> observers_;
};
