#include "platform/NotificationCenter.h"

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const std::string& name, Handler handler) {
    observers_.push_back({name, std::move(handler)});
}

void NotificationCenter::post(const std::string& name) {
    // Index-based with the size taken up front: a handler that adds observers reallocates the
    // vector, and the new ones must not hear the post that created them.
    const std::size_t count = observers_.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (observers_[i].name != name) continue;
        Handler handler = observers_[i].handler;
        handler();
    }
}

std::vector<std::string> NotificationCenter::observedNames() const {
    std::vector<std::string> names;
    names.reserve(observers_.size());
    for (const auto& o : observers_) names.push_back(o.name);
    return names;
}
