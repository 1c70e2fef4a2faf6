#include "window/TimeText.h"

#include <cmath>

QString tenthsText(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e12) seconds = 0.0;
    const long long tenths = std::llround(std::fabs(seconds) * 10.0);
    const char* sign = seconds < 0.0 && tenths > 0 ? "-" : "";
    const long long whole = tenths / 10, hours = whole / 3600;
    const int minutes = int(whole / 60 % 60), secs = int(whole % 60), tenth = int(tenths % 10);
    if (hours > 0)
        return QString::asprintf("%s%lld:%02d:%02d.%d", sign, hours, minutes, secs, tenth);
    return QString::asprintf("%s%d:%02d.%d", sign, minutes, secs, tenth);
}
