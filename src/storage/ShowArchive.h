#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// A show as one zip archive: its list file at the top as "cuevox.json", and the stored audio
// the list uses as "audio/<name>". Both directions run on a worker thread and touch nothing
// but the paths they are given.
namespace showarchive {

// What the window's progress bar reads while a worker runs.
struct Progress {
    std::atomic<int64_t> done{0};
    std::atomic<int64_t> total{0};
};

// Writes `listText` and the named files of `audioFolder` into a zip at `archivePath`. The
// audio is stored as it is (it does not compress). Written beside the target and renamed over
// it at the end: a failed export leaves no half archive, and an older one stays as it was.
bool write(const std::string& archivePath, const std::string& listText,
           const std::string& audioFolder, const std::vector<std::string>& audioNames,
           Progress* progress, std::string* why);

// Unpacks a show archive into `folder`, which must be empty or not exist yet. Nothing is
// written unless every entry is a regular file named "cuevox.json" or "audio/<plain name>"
// (an "audio/" folder entry aside), the list is there, each size is declared and the disk
// has room for them all; a file growing past its declared size stops the unpacking. On any
// failure the folder is left as it was, or removed when this call made it.
bool unpack(const std::string& archivePath, const std::string& folder, Progress* progress,
            std::string* why);

}  // namespace showarchive
