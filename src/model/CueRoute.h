#pragma once

#include <array>
#include <nlohmann/json.hpp>

// Where a cue is heard: the show's outputs (numbered from 1) its left and right go to after
// its pan, and a level in dB for each. The default, outputs 1 and 2 at full level, is how every
// cue played before a show had more outputs, so a list file names a route only when it is
// another one, and lists written before stay as they were.
namespace cueroute {

using Outputs = std::array<int, 2>;
using Levels = std::array<double, 2>;

constexpr int kMaxOutput = 64;
constexpr double kMinLevelDb = -60.0;
constexpr double kMaxLevelDb = 0.0;
constexpr Outputs kDefaultOutputs{1, 2};
constexpr Levels kDefaultLevels{0.0, 0.0};

// The element's "outputs": two whole numbers 1…kMaxOutput, else the default pair.
Outputs readOutputs(const nlohmann::json& element);
// The element's "outputLevels": two numbers, each held within the range; else the default.
Levels readLevels(const nlohmann::json& element);
// Adds the keys to a cue's object, each only when it is not the default.
void write(nlohmann::json& object, const Outputs& outputs, const Levels& levels);

// The gain of a level in dB.
float linear(double db);

}  // namespace cueroute
