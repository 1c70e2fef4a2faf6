#pragma once

#include <string>

// A signal that tells its own position: three steady tones whose phases, read together over half
// a second of playback, give the file time at the first sample heard. Lossy codecs keep the
// phase of low steady tones well, so the reading survives them; it repeats every 128 s.
namespace timecode {

constexpr double kPeriod = 128.0;

// The signal at `seconds` into the file, peaks below 0.6.
float sampleAt(double seconds);

// A mono 16-bit WAV of the signal.
void writeWav(const std::string& path, int rate, double seconds);

// The file time, in [0, kPeriod), of samples[0] of `frames` samples played at `rate` (every
// `stride`-th value, for one channel of interleaved audio). Needs about 0.5 s of samples.
double read(const float* samples, int frames, int stride, int rate);

// The difference a - b of two readings, taken the short way round the period.
double difference(double a, double b);

}  // namespace timecode
