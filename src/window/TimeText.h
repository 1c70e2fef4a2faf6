#pragma once

#include <QString>

// A time to the tenth, rounded: "0:07.3", "12:00.0", "1:02:05.4" from the hour on; a minus
// before a negative one. Not finite reads as "0:00.0".
QString tenthsText(double seconds);
