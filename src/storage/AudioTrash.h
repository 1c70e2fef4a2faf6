#pragma once

#include <QStringList>
#include <functional>
#include <string>

namespace storage {

// Moves every file of the audio folder that `keep` does not claim to the desktop's trash, where
// the operator can still get it back. Nothing is deleted outright, and the folder itself always
// stays. Hidden files (an import's copy being checked) are left alone. `keep` is asked only
// once the folder has been listed, so a file that appears meanwhile is never taken. Returns a
// line for each file that could not be moved; such a file stays where it is.
QStringList trashUnusedAudio(const std::function<bool(const std::string& name)>& keep);

}  // namespace storage
