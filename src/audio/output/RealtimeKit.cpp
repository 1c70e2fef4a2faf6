#include "audio/output/RealtimeKit.h"

#include <dbus/dbus.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

namespace realtimekit {
namespace {

const char* const kService = "org.freedesktop.RealtimeKit1";
const char* const kPath = "/org/freedesktop/RealtimeKit1";
constexpr int kTimeoutMs = 1000;
// The service's own default, for a service too old to say.
constexpr int64_t kDefaultMaxRtTimeUs = 200000;

// Threads made real-time through the service, put back by the CPU-time handler.
constexpr int kMaxThreads = 32;
std::atomic<pid_t> granted[kMaxThreads];

// Runs on whichever thread the kernel picks when one real-time thread has run its limit
// without sleeping (a device that never blocks): all of them go back to normal scheduling,
// and the show carries on there instead of being ended. Only system calls in here.
void overran(int) {
    const sched_param param{};
    for (auto& slot : granted) {
        const pid_t tid = slot.load(std::memory_order_relaxed);
        // The flag RealtimeKit set stays: without the privilege, clearing it is refused.
        if (tid > 0) sched_setscheduler(tid, SCHED_OTHER | SCHED_RESET_ON_FORK, &param);
    }
}

bool remember(pid_t tid) {
    // Threads that have ended leave their slot (and their number, which another process may
    // be given).
    for (auto& slot : granted) {
        pid_t old = slot.load();
        if (old > 0 && ::access(("/proc/self/task/" + std::to_string(old)).c_str(), F_OK) != 0)
            slot.compare_exchange_strong(old, 0);
    }
    for (auto& slot : granted) {
        pid_t empty = 0;
        if (slot.load() == tid || slot.compare_exchange_strong(empty, tid)) return true;
    }
    return false;
}

void forget(pid_t tid) {
    for (auto& slot : granted) {
        pid_t expected = tid;
        slot.compare_exchange_strong(expected, 0);
    }
}

struct Bus {
    DBusConnection* connection = nullptr;
    DBusError error;
    Bus() {
        dbus_error_init(&error);
        connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
        if (connection) dbus_connection_set_exit_on_disconnect(connection, false);
    }
    ~Bus() {
        if (connection) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
        dbus_error_free(&error);
    }
    // Sends `message` (taken over) and waits for the reply; null on an error.
    DBusMessage* call(DBusMessage* message) {
        if (!message) return nullptr;
        DBusMessage* reply =
            dbus_connection_send_with_reply_and_block(connection, message, kTimeoutMs, &error);
        dbus_message_unref(message);
        return reply;
    }
    // An integer property of the service, or `fallback`.
    int64_t property(const char* name, int64_t fallback) {
        DBusMessage* m =
            dbus_message_new_method_call(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
        const char* interface = kService;
        if (!m || !dbus_message_append_args(m, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING,
                                            &name, DBUS_TYPE_INVALID)) {
            if (m) dbus_message_unref(m);
            return fallback;
        }
        DBusMessage* reply = call(m);
        if (!reply) {
            dbus_error_free(&error);
            dbus_error_init(&error);
            return fallback;
        }
        int64_t value = fallback;
        DBusMessageIter it, variant;
        if (dbus_message_iter_init(reply, &it) &&
            dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
            dbus_message_iter_recurse(&it, &variant);
            switch (dbus_message_iter_get_arg_type(&variant)) {
                case DBUS_TYPE_INT32: {
                    dbus_int32_t v;
                    dbus_message_iter_get_basic(&variant, &v);
                    value = v;
                    break;
                }
                case DBUS_TYPE_INT64: {
                    dbus_int64_t v;
                    dbus_message_iter_get_basic(&variant, &v);
                    value = v;
                    break;
                }
                default:
                    break;
            }
        }
        dbus_message_unref(reply);
        return value;
    }
};

// The service grants only to a process whose hard limit is within its maximum. The soft limit
// below it raises SIGXCPU first, which the handler above turns into a step down.
bool limitRealtimeCpu(int64_t maxUs) {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
    const rlim_t hard = std::min<rlim_t>(limit.rlim_max, rlim_t(maxUs));
    const rlim_t soft = std::min<rlim_t>(limit.rlim_cur, hard / 2);
    if (limit.rlim_max != hard || limit.rlim_cur != soft) {
        struct sigaction action {};
        action.sa_handler = &overran;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (sigaction(SIGXCPU, &action, nullptr) != 0) return false;
        const rlimit wanted{soft, hard};
        if (setrlimit(RLIMIT_RTTIME, &wanted) != 0) return false;
    }
    return true;
}

}  // namespace

bool makeRealtime(pid_t tid, int priority, std::string* why) {
    static std::mutex mutex;  // one caller at a time sets the limit and the handler
    std::lock_guard lock(mutex);
    auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    Bus bus;
    if (!bus.connection) return fail(bus.error.message ? bus.error.message : "no system bus");
    const int64_t maxPriority = bus.property("MaxRealtimePriority", priority);
    const int64_t maxRtTimeUs = bus.property("RTTimeUSecMax", kDefaultMaxRtTimeUs);
    if (!limitRealtimeCpu(maxRtTimeUs)) return fail("cannot limit real-time CPU time");
    if (!remember(tid)) return fail("too many real-time threads");

    DBusMessage* m = dbus_message_new_method_call(kService, kPath, kService, "MakeThreadRealtime");
    dbus_uint64_t thread = dbus_uint64_t(tid);
    dbus_uint32_t level = dbus_uint32_t(std::clamp<int64_t>(priority, 1, maxPriority));
    if (!m || !dbus_message_append_args(m, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &level,
                                        DBUS_TYPE_INVALID)) {
        if (m) dbus_message_unref(m);
        forget(tid);
        return fail("no memory");
    }
    DBusMessage* reply = bus.call(m);
    if (!reply) {
        forget(tid);
        return fail(bus.error.message ? bus.error.message : "no reply");
    }
    const bool ok = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    dbus_message_unref(reply);
    if (!ok) forget(tid);
    return ok ? true : fail("refused");
}

}  // namespace realtimekit
