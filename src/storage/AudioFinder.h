#pragma once

#include <optional>
#include <string>
#include <vector>

class AudioEngine;

// Looks for the files of missing cues in a folder the operator points to (a copy of the show,
// a backup drive) and brings the ones it finds into the audio folder. Worker thread.
namespace audiofinder {

// Deep enough for a show's folders, shallow enough that pointing at a whole disk ends.
constexpr int kMaxDepth = 8;
// A file of the right name whose decoded length is further than this from the length the
// list gives is another file, not the one the cue was made on.
constexpr double kLengthTolerance = 0.1;

struct Wanted {
    std::string name;              // the stored name the cue needs
    std::optional<double> length;  // the file's length as the list gives it
};

// The names it found (a file of that name under `folder`, decodable, of the wanted length)
// and copied into `audioFolder`; `problems` gets a line for each file that matched but could
// not be copied.
std::vector<std::string> find(const std::string& folder, const std::vector<Wanted>& wanted,
                              const std::string& audioFolder, AudioEngine& engine,
                              std::vector<std::string>* problems);

}  // namespace audiofinder
