#include "audio/Voice.h"

#include <sys/stat.h>

Voice::Voice(uint32_t id, std::string path, int sampleRate)
    : id(id),
      path(std::move(path)),
      sampleRate(sampleRate),
      // Left uninitialised on purpose: pages become resident only once a chunk is decoded
      // into them, so a stopped player costs its anchor chunks, not all its slots.
      storage(new float[size_t(kSlotCount) * kChunkFrames * 2]) {
    for (int s = 0; s < kSlotCount; ++s)
        cache[s].data = storage.get() + size_t(s) * kChunkFrames * 2;
}

int Voice::findSlot(int64_t chunk) const {
    for (int s = 0; s < kSlotCount; ++s)
        if (cache[s].tag.load(std::memory_order_acquire) == chunk) return s;
    return -1;
}

bool Voice::hasChunk(int64_t chunk) const {
    if (failed.load(std::memory_order_acquire)) return true;  // nothing more will come
    const int64_t last = lastChunk.load(std::memory_order_acquire);
    if (last >= 0 && chunk > last) return true;
    return findSlot(chunk) >= 0;
}

void Voice::noteFailure(const std::string& why) {
    if (failed.exchange(true, std::memory_order_acq_rel)) return;
    failure = why;
    failureUnreported.store(true, std::memory_order_release);
}

FileStamp FileStamp::of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size),
            int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}
