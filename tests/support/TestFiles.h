#pragma once

#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testfiles {

// How many times slower than a plain build this build runs (sanitizers): time limits scale by it.
#ifdef CUEVOX_SLOWDOWN
constexpr int kSlowdown = CUEVOX_SLOWDOWN;
#else
constexpr int kSlowdown = 1;
#endif

// Writes a 16-bit PCM WAV whose sample i of channel c is sample(i, c) (clamped to [-1, 1]).
void writeWav16(const std::string& path, int rate, int channels, int64_t frames,
                const std::function<float(int64_t, int)>& sample);

// A 16-bit WAV whose every sample encodes its frame index: value (i % 32768) / 32768 on the
// left, the negated value on the right. Lets a test read back exactly which frame it heard.
void writeIndexWav(const std::string& path, int rate, int64_t frames, int channels = 2);
// The frame index a sample of writeIndexWav() encodes (left channel).
int64_t indexOf(float leftSample);

// A sine tone at `amplitude`.
void writeToneWav(const std::string& path, int rate, double seconds, double hz, float amplitude,
                  int channels = 2);

// Converts with the ffmpeg command line (extra arguments before the output, e.g. "-c:a alac").
// Returns false when ffmpeg fails.
bool ffmpegConvert(const std::string& in, const std::string& out, const std::string& extraArgs);

// The number of frames the ffmpeg command line decodes from a file, at the file's own rate; -1
// when it cannot decode it. What a player of the file must play, found without the player.
int64_t decodedFrames(const std::string& path);

// Runs a shell command, returns its exit status.
int run(const std::string& command);

// Reads a whole file into a string (empty when missing).
std::string readAll(const std::string& path);
void writeAll(const std::string& path, const std::string& text);

}  // namespace testfiles
