#include "storage/AudioFinder.h"

#include <cmath>
#include <filesystem>
#include <map>
#include <system_error>

#include "audio/AudioEngine.h"
#include "storage/Importer.h"

namespace fs = std::filesystem;

namespace audiofinder {

std::vector<std::string> find(const std::string& folder, const std::vector<Wanted>& wanted,
                              const std::string& audioFolder, AudioEngine& engine,
                              std::vector<std::string>* problems) {
    std::map<std::string, std::vector<std::string>> candidates;
    for (const Wanted& w : wanted) candidates[w.name];
    std::error_code ec;
    // Links to folders are not followed: a loop of them would never end.
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it.depth() >= kMaxDepth) it.disable_recursion_pending();
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        const auto match = candidates.find(it->path().filename().string());
        if (match != candidates.end()) match->second.push_back(it->path().string());
    }

    std::vector<std::string> found;
    for (const Wanted& w : wanted) {
        for (const std::string& path : candidates[w.name]) {
            double length = 0.0;
            std::string error;
            if (!engine.openVoice(path, 0, &length, &error)) continue;
            if (w.length && std::fabs(length - *w.length) > kLengthTolerance) continue;
            const std::string target = audioFolder + "/" + w.name;
            fs::create_directories(audioFolder, ec);
            if (!fs::exists(target, ec) && !importer::copyFile(path, target, nullptr, &error)) {
                if (problems) problems->push_back(path + " could not be copied (" + error + ")");
                continue;
            }
            found.push_back(w.name);
            break;
        }
    }
    return found;
}

}  // namespace audiofinder
