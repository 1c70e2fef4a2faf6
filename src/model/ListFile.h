#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

class CXAudio;

using CueList = std::vector<std::shared_ptr<CXAudio>>;

namespace listfile {

// "[]" for no cues; otherwise "[" + each cue's object pretty-printed + "]", the objects joined
// by a single "," and no line break at the end.
std::string text(const CueList& cues);

// Parses list file content. Only an array or an object counts as a list: a bare top-level value,
// empty content and anything that is not JSON give nothing.
std::optional<nlohmann::json> parse(const std::string& content);

}  // namespace listfile
