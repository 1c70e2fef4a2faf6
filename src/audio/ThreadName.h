#pragma once

#include <pthread.h>

// Names the calling thread as `top -H` and /proc show it, so an operator or a benchmark can
// tell where the program's time goes. At most 15 characters.
inline void nameThisThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}
