#include "model/ListFile.h"

#include "model/CXAudio.h"

namespace listfile {

std::string text(const CueList& cues) {
    if (cues.empty()) return "[]";
    std::string out = "[";
    for (size_t i = 0; i < cues.size(); ++i) {
        if (i > 0) out += ",";
        // A name that is not valid UTF-8 must not make the whole save throw.
        out += cues[i]->toJSON().dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    out += "]";
    return out;
}

std::optional<nlohmann::json> parse(const std::string& content) {
    nlohmann::json value = nlohmann::json::parse(content, nullptr, false);
    if (value.is_discarded() || !(value.is_array() || value.is_object())) return std::nullopt;
    return value;
}

}  // namespace listfile
