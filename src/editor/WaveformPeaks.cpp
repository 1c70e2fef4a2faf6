#include "editor/WaveformPeaks.h"

#include <algorithm>
#include <cmath>

#include "audio/AudioDecoder.h"

namespace waveform {

namespace {
// Any rate opens the file; the second open reads it at its own rate, so no resampling smooths
// away the peaks being measured.
constexpr int kProbeRate = 48000;
constexpr int kReadFrames = 8192;
}  // namespace

std::optional<WaveformPeaks> computePeaks(const std::string& path, int slices,
                                          const std::atomic<bool>& cancelled, std::string* error) {
    if (slices <= 0) return std::nullopt;
    std::unique_ptr<AudioDecoder> decoder = AudioDecoder::open(path, kProbeRate, error);
    if (!decoder) return std::nullopt;
    const int rate = decoder->sourceRate() > 0 ? decoder->sourceRate() : kProbeRate;
    if (rate != kProbeRate) {
        decoder = AudioDecoder::open(path, rate, error);
        if (!decoder) return std::nullopt;
    }

    WaveformPeaks peaks;
    peaks.duration = decoder->duration();
    peaks.low.assign(std::size_t(slices), 0.0f);
    peaks.high.assign(std::size_t(slices), 0.0f);
    // The headers' length decides the slices; frames beyond it (a header that undercounts) land
    // in the last slice rather than being dropped.
    const double totalFrames = std::max(1.0, peaks.duration * rate);

    std::vector<float> buffer(std::size_t(kReadFrames) * 2);
    int64_t frame = 0;
    bool atEnd = false;
    while (!atEnd) {
        if (cancelled.load(std::memory_order_relaxed)) return std::nullopt;
        const int got = decoder->read(buffer.data(), kReadFrames, &atEnd);
        for (int i = 0; i < got; ++i, ++frame) {
            const int slice = std::min(slices - 1, int(double(frame) / totalFrames * slices));
            const float left = buffer[std::size_t(i) * 2];
            const float right = buffer[std::size_t(i) * 2 + 1];
            float& low = peaks.low[std::size_t(slice)];
            float& high = peaks.high[std::size_t(slice)];
            low = std::min({low, left, right});
            high = std::max({high, left, right});
        }
        if (got == 0 && !atEnd) break;
    }
    return peaks;
}

}  // namespace waveform
