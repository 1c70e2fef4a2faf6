#include "audio/Voice.h"

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
