#pragma once

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

// File permissions as an operator meets them. Root reads and writes whatever it likes, so when
// the suite runs as root, a test that needs the system to refuse it something hands its folder
// to "nobody" and takes that identity (every thread of the process follows) until this goes
// out of scope. As any other user it changes nothing.
class Unprivileged {
public:
    explicit Unprivileged(const std::string& folder) {
        if (::geteuid() != 0) {
            active_ = true;
            return;
        }
        const passwd* user = ::getpwnam("nobody");
        if (!user) return;
        std::error_code ec;
        ::lchown(folder.c_str(), user->pw_uid, user->pw_gid);
        for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            ::lchown(it->path().c_str(), user->pw_uid, user->pw_gid);
        if (::setegid(user->pw_gid) != 0) return;
        if (::seteuid(user->pw_uid) != 0) {
            (void)::setegid(0);
            return;
        }
        dropped_ = active_ = true;
    }
    ~Unprivileged() {
        if (!dropped_) return;
        (void)::seteuid(0);
        (void)::setegid(0);
    }
    Unprivileged(const Unprivileged&) = delete;
    Unprivileged& operator=(const Unprivileged&) = delete;

    // Whether permissions now hold for this process.
    bool active() const { return active_; }

private:
    bool active_ = false;
    bool dropped_ = false;
};
