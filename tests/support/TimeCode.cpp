#include "support/TimeCode.h"

#include <array>
#include <cmath>
#include <utility>

#include "support/TestFiles.h"

namespace timecode {

namespace {

// 3 f0 - 2 f2 = -1/128 Hz and f1 - f0 = 1 Hz: the phase combinations turn as slowly as a
// period of 128 s and of 1 s, and f0 itself resolves the last 5 ms. The tones are far enough
// apart for a joint fit to tell them from each other in half a second.
constexpr std::array<double, 3> kTones = {200.0, 201.0, 300.0 + 1.0 / 256.0};
constexpr double kAmplitude = 0.19;
constexpr double kTwoPi = 2.0 * M_PI;

// The value of x nearest `near` among residue + k * period.
double nearest(double near, double residue, double period) {
    return residue + period * std::round((near - residue) / period);
}

double fraction(double x) {
    return x - std::floor(x);
}

// Solves the 6 x 6 system in place by Gaussian elimination with partial pivoting.
std::array<double, 6> solve(std::array<std::array<double, 7>, 6> m) {
    for (int col = 0; col < 6; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 6; ++r)
            if (std::abs(m[r][col]) > std::abs(m[pivot][col])) pivot = r;
        std::swap(m[col], m[pivot]);
        for (int r = 0; r < 6; ++r) {
            if (r == col) continue;
            const double f = m[r][col] / m[col][col];
            for (int c = col; c < 7; ++c) m[r][c] -= f * m[col][c];
        }
    }
    std::array<double, 6> x{};
    for (int i = 0; i < 6; ++i) x[i] = m[i][6] / m[i][i];
    return x;
}

}  // namespace

float sampleAt(double seconds) {
    double v = 0.0;
    for (const double f : kTones) v += kAmplitude * std::sin(kTwoPi * f * seconds);
    return float(v);
}

void writeWav(const std::string& path, int rate, double seconds) {
    const auto frames = int64_t(std::llround(seconds * rate));
    testfiles::writeWav16(path, rate, 1, frames,
                          [rate](int64_t i, int) { return sampleAt(double(i) / rate); });
}

double read(const float* samples, int frames, int stride, int rate) {
    // Least squares for a sin + b cos of each tone, from the normal equations.
    std::array<std::array<double, 7>, 6> normal{};
    std::array<double, 6> basis{};
    for (int n = 0; n < frames; ++n) {
        const double t = double(n) / rate;
        for (int k = 0; k < 3; ++k) {
            basis[2 * k] = std::sin(kTwoPi * kTones[k] * t);
            basis[2 * k + 1] = std::cos(kTwoPi * kTones[k] * t);
        }
        const double y = samples[size_t(n) * size_t(stride)];
        for (int i = 0; i < 6; ++i) {
            for (int j = 0; j < 6; ++j) normal[i][j] += basis[i] * basis[j];
            normal[i][6] += basis[i] * y;
        }
    }
    const auto ab = solve(normal);
    // A sin(w t + phase) = A cos(phase) sin(w t) + A sin(phase) cos(w t); phase = w * T.
    std::array<double, 3> turns{};
    for (int k = 0; k < 3; ++k) turns[k] = std::atan2(ab[2 * k + 1], ab[2 * k]) / kTwoPi;

    const double coarse = kPeriod * fraction(-(3.0 * turns[0] - 2.0 * turns[2]));
    const double seconds = nearest(coarse, fraction(turns[1] - turns[0]), 1.0);
    const double fine = nearest(seconds, fraction(turns[0]) / kTones[0], 1.0 / kTones[0]);
    return fine - kPeriod * std::floor(fine / kPeriod);
}

double difference(double a, double b) {
    const double d = a - b;
    return d - kPeriod * std::round(d / kPeriod);
}

}  // namespace timecode
