#include "model/CueRoute.h"

#include <algorithm>
#include <cmath>

namespace cueroute {

namespace {

using json = nlohmann::json;

// The key's value when it is an array of two numbers.
const json* pairOf(const json& element, const char* key) {
    if (!element.is_object()) return nullptr;
    const auto it = element.find(key);
    if (it == element.end() || !it->is_array() || it->size() != 2) return nullptr;
    for (const json& v : *it)
        if (!v.is_number()) return nullptr;
    return &*it;
}

}  // namespace

Outputs readOutputs(const json& element) {
    const json* pair = pairOf(element, "outputs");
    if (!pair) return kDefaultOutputs;
    Outputs outputs{};
    for (std::size_t side = 0; side < 2; ++side) {
        // Read as a double: a hand-edited 3.0 is output 3, 3.5 is no output at all.
        const double n = (*pair)[side].get<double>();
        if (!(n >= 1 && n <= kMaxOutput) || n != std::trunc(n)) return kDefaultOutputs;
        outputs[side] = int(n);
    }
    return outputs;
}

Levels readLevels(const json& element) {
    const json* pair = pairOf(element, "outputLevels");
    if (!pair) return kDefaultLevels;
    Levels levels{};
    for (std::size_t side = 0; side < 2; ++side)
        levels[side] = std::clamp((*pair)[side].get<double>(), kMinLevelDb, kMaxLevelDb);
    return levels;
}

void write(json& object, const Outputs& outputs, const Levels& levels) {
    if (outputs != kDefaultOutputs) object["outputs"] = {outputs[0], outputs[1]};
    if (levels != kDefaultLevels) object["outputLevels"] = {levels[0], levels[1]};
}

float linear(double db) {
    return float(std::pow(10.0, std::clamp(db, kMinLevelDb, kMaxLevelDb) / 20.0));
}

}  // namespace cueroute
