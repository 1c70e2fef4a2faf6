#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

// The outline of a whole file for drawing: for each of a fixed number of equal slices of the
// file, the lowest and highest sample of either channel. Computed once per editor opening, off
// the GUI thread, and drawn at any width by merging slices.
struct WaveformPeaks {
    double duration = 0.0;
    std::vector<float> low;
    std::vector<float> high;

    int slices() const { return int(high.size()); }
};

namespace waveform {

constexpr int kDefaultSlices = 4096;

// Decodes the file at its own sample rate. Returns nothing when it cannot be decoded, or as
// soon as `cancelled` turns true (the editor closed while a long file was still decoding).
std::optional<WaveformPeaks> computePeaks(const std::string& path, int slices,
                                          const std::atomic<bool>& cancelled,
                                          std::string* error = nullptr);

}  // namespace waveform
