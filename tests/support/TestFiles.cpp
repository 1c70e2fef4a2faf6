#include "support/TestFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testfiles {

namespace {
void put16(std::ofstream& f, uint16_t v) {
    f.put(char(v & 0xff)).put(char(v >> 8));
}
void put32(std::ofstream& f, uint32_t v) {
    put16(f, uint16_t(v & 0xffff));
    put16(f, uint16_t(v >> 16));
}
}  // namespace

void writeWav16(const std::string& path, int rate, int channels, int64_t frames,
                const std::function<float(int64_t, int)>& sample) {
    std::ofstream f(path, std::ios::binary);
    const uint32_t dataBytes = uint32_t(frames * channels * 2);
    f.write("RIFF", 4);
    put32(f, 36 + dataBytes);
    f.write("WAVEfmt ", 8);
    put32(f, 16);
    put16(f, 1);
    put16(f, uint16_t(channels));
    put32(f, uint32_t(rate));
    put32(f, uint32_t(rate * channels * 2));
    put16(f, uint16_t(channels * 2));
    put16(f, 16);
    f.write("data", 4);
    put32(f, dataBytes);
    std::vector<char> buf;
    buf.reserve(size_t(frames * channels * 2));
    for (int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const float s = std::clamp(sample(i, c), -1.0f, 1.0f);
            const auto v = int16_t(std::lround(std::clamp(s * 32768.0f, -32768.0f, 32767.0f)));
            buf.push_back(char(uint16_t(v) & 0xff));
            buf.push_back(char(uint16_t(v) >> 8));
        }
    }
    f.write(buf.data(), std::streamsize(buf.size()));
}

void writeIndexWav(const std::string& path, int rate, int64_t frames, int channels) {
    writeWav16(path, rate, channels, frames, [](int64_t i, int c) {
        const float v = float(i % 32768) / 32768.0f;
        return c == 0 ? v : -v;
    });
}

int64_t indexOf(float leftSample) {
    return std::lround(double(leftSample) * 32768.0);
}

void writeToneWav(const std::string& path, int rate, double seconds, double hz, float amplitude,
                  int channels) {
    const auto frames = int64_t(std::llround(seconds * rate));
    writeWav16(path, rate, channels, frames, [=](int64_t i, int) {
        return amplitude * float(std::sin(2.0 * M_PI * hz * double(i) / rate));
    });
}

int run(const std::string& command) {
    return std::system(command.c_str());
}

bool ffmpegConvert(const std::string& in, const std::string& out, const std::string& extraArgs) {
    const std::string cmd =
        "ffmpeg -nostdin -loglevel error -y -i '" + in + "' " + extraArgs + " '" + out + "'";
    return run(cmd) == 0;
}

int64_t decodedFrames(const std::string& path) {
    const std::string cmd =
        "ffmpeg -nostdin -loglevel error -i '" + path + "' -ac 1 -c:a pcm_s16le -f s16le -";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return -1;
    int64_t bytes = 0;
    char buffer[1 << 16];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) bytes += int64_t(got);
    return pclose(pipe) == 0 ? bytes / 2 : -1;
}

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void writeAll(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

}  // namespace testfiles
