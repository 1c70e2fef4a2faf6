#include "storage/ShowArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include "storage/StoragePaths.h"

namespace fs = std::filesystem;

namespace showarchive {
namespace {

constexpr const char* kListEntry = "cuevox.json";
constexpr const char* kAudioPrefix = "audio/";
constexpr size_t kBlock = 1 << 16;
// Room left on the disk beyond what the archive declares: a show unpacked to the last byte
// would leave the list no room to be saved.
constexpr int64_t kSpareBytes = 16 << 20;

using ArchivePtr = std::unique_ptr<struct archive, int (*)(struct archive*)>;

bool fail(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}

// libarchive may have no text for an error.
std::string errorOf(struct archive* a) {
    const char* text = archive_error_string(a);
    return text ? text : "unknown error";
}

std::string errnoText() {
    return std::strerror(errno);
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool addEntry(struct archive* a, const std::string& name, int64_t size) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                   archive_entry_free);
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), size);
    archive_entry_set_mtime(entry.get(), std::time(nullptr), 0);
    return archive_write_header(a, entry.get()) == ARCHIVE_OK;
}

bool writeAll(struct archive* a, const char* data, size_t size) {
    while (size > 0) {
        const la_ssize_t n = archive_write_data(a, data, size);
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Copies exactly `size` bytes of the file: one that changed length meanwhile fails, rather
// than leave an entry that disagrees with its header.
bool copyInto(struct archive* a, const std::string& path, int64_t size, Progress* progress,
              std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(why, path + " cannot be read (" + errnoText() + ")");
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    int64_t left = size;
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t n = ::read(fd, buffer.get(), size_t(std::min<int64_t>(left, kBlock)));
        if (n <= 0) {
            ok = fail(why, path + (n < 0 ? " cannot be read (" + errnoText() + ")"
                                         : " became shorter while it was being exported"));
        } else if (!writeAll(a, buffer.get(), size_t(n))) {
            ok = fail(why, std::string("the archive cannot be written (") + errorOf(a) + ")");
        } else {
            left -= n;
            if (progress) progress->done += n;
        }
    }
    ::close(fd);
    return ok;
}

// Which file of the unpacked show an entry becomes: empty for the "audio/" folder entry and
// for anything refused (then `why` names it).
bool checkEntry(archive_entry* entry, std::set<std::string>& seen, std::string* target,
                int64_t* size, std::string* why) {
    const char* raw = archive_entry_pathname(entry);
    const std::string name = raw ? raw : "";
    const std::string quoted = "the entry “" + name + "”";
    target->clear();
    const auto type = archive_entry_filetype(entry);
    if (archive_entry_hardlink(entry) || archive_entry_symlink(entry) || type == AE_IFLNK)
        return fail(why, quoted + " is a link");
    if (type == AE_IFDIR) {
        if (name == "audio" || name == "audio/") return true;
        return fail(why, quoted + " is a folder other than audio/");
    }
    if (type != AE_IFREG) return fail(why, quoted + " is not a plain file");
    const bool audio = name.rfind(kAudioPrefix, 0) == 0 &&
                       storage::isStoredName(name.substr(std::strlen(kAudioPrefix)));
    if (name != kListEntry && !audio)
        return fail(why, quoted + " is neither cuevox.json nor a file in audio/");
    if (!seen.insert(name).second) return fail(why, quoted + " is in the archive twice");
    if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) < 0)
        return fail(why, quoted + " does not declare its size");
    *target = name;
    *size = archive_entry_size(entry);
    return true;
}

ArchivePtr openForReading(const std::string& path, std::string* why) {
    ArchivePtr a(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(a.get());
    if (archive_read_open_filename(a.get(), path.c_str(), kBlock) != ARCHIVE_OK) {
        fail(why, std::string("it cannot be opened as a zip archive (") + errorOf(a.get()) + ")");
        return ArchivePtr(nullptr, archive_read_free);
    }
    return a;
}

// Reads the archive's entries in turn, each checked before `each` is given the file it
// becomes (empty for the audio/ folder entry) and its declared size; false at the first refusal
// or a damaged archive. `seen` gets every entry's name.
template <typename Each>
bool eachCheckedEntry(archive* a, std::set<std::string>& seen, std::string* why, Each each) {
    archive_entry* entry = nullptr;
    int r;
    while ((r = archive_read_next_header(a, &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
        std::string target;
        int64_t size = 0;
        if (!checkEntry(entry, seen, &target, &size, why) || !each(target, size)) return false;
    }
    if (r != ARCHIVE_EOF)
        return fail(why, std::string("the archive is damaged (") + errorOf(a) + ")");
    return true;
}

// Every entry checked before anything is written; their declared sizes added up.
bool survey(const std::string& archivePath, int64_t* total, std::string* why) {
    ArchivePtr a = openForReading(archivePath, why);
    if (!a) return false;
    std::set<std::string> seen;
    *total = 0;
    if (!eachCheckedEntry(a.get(), seen, why, [&](const std::string&, int64_t size) {
            *total += size;
            return true;
        }))
        return false;
    if (!seen.count(kListEntry)) return fail(why, "it holds no cuevox.json at its top");
    return true;
}

int64_t freeBytes(fs::path folder) {
    std::error_code ec;
    while (!folder.empty() && !fs::exists(folder, ec)) folder = folder.parent_path();
    struct statvfs st {};
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &st) != 0) return -1;
    return int64_t(st.f_bavail) * int64_t(st.f_frsize);
}

bool extractFile(struct archive* a, const std::string& path, int64_t declared, Progress* progress,
                 std::string* why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return fail(why, path + " cannot be written (" + errnoText() + ")");
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    int64_t written = 0;
    bool ok = true;
    for (;;) {
        const la_ssize_t n = archive_read_data(a, buffer.get(), kBlock);
        if (n == 0) break;
        if (n < 0) {
            ok = fail(why, std::string("the archive is damaged (") + errorOf(a) + ")");
            break;
        }
        written += n;
        if (written > declared) {
            ok = fail(why, path + " holds more than the archive declares");
            break;
        }
        if (::write(fd, buffer.get(), size_t(n)) != n) {
            ok = fail(why, path + " cannot be written (" + errnoText() + ")");
            break;
        }
        if (progress) progress->done += n;
    }
    if (ok && written != declared) ok = fail(why, path + " is shorter than the archive declares");
    if (ok && ::fsync(fd) != 0) ok = fail(why, path + " cannot be written (" + errnoText() + ")");
    ::close(fd);
    return ok;
}

bool extract(const std::string& archivePath, const std::string& folder, Progress* progress,
             std::string* why) {
    ArchivePtr a = openForReading(archivePath, why);
    if (!a) return false;
    std::error_code ec;
    fs::create_directory(folder + "/audio", ec);
    if (ec) return fail(why, folder + "/audio cannot be made (" + ec.message() + ")");
    std::set<std::string> seen;
    // Checked again: the archive may have been replaced since the survey.
    if (!eachCheckedEntry(a.get(), seen, why, [&](const std::string& target, int64_t size) {
            return target.empty() ||
                   extractFile(a.get(), folder + "/" + target, size, progress, why);
        }))
        return false;
    syncFolder(folder + "/audio");
    syncFolder(folder);
    return true;
}

}  // namespace

bool write(const std::string& archivePath, const std::string& listText,
           const std::string& audioFolder, const std::vector<std::string>& audioNames,
           Progress* progress, std::string* why) {
    std::vector<int64_t> sizes;
    int64_t total = int64_t(listText.size());
    for (const std::string& name : audioNames) {
        std::error_code ec;
        const auto size = fs::file_size(audioFolder + "/" + name, ec);
        if (ec)
            return fail(why, audioFolder + "/" + name + " cannot be read (" + ec.message() + ")");
        sizes.push_back(int64_t(size));
        total += int64_t(size);
    }
    if (progress) progress->total = total;

    const fs::path target(archivePath);
    std::string staged =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(staged.data());
    if (fd < 0) return fail(why, archivePath + " cannot be written (" + errnoText() + ")");
    // A show is handed on: readable by others, as a copied file would be.
    ::fchmod(fd, 0644);
    ArchivePtr a(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(a.get());
    bool ok = archive_write_open_fd(a.get(), fd) == ARCHIVE_OK;
    // The list deflates well; audio does not, and stored it unpacks at the speed of the disk.
    ok = ok && archive_write_zip_set_compression_deflate(a.get()) == ARCHIVE_OK;
    ok = ok && addEntry(a.get(), kListEntry, int64_t(listText.size())) &&
         writeAll(a.get(), listText.data(), listText.size());
    if (!ok) fail(why, std::string("the archive cannot be written (") + errorOf(a.get()) + ")");
    if (progress) progress->done += int64_t(listText.size());
    ok = ok && archive_write_zip_set_compression_store(a.get()) == ARCHIVE_OK;
    for (size_t i = 0; ok && i < audioNames.size(); ++i) {
        ok = addEntry(a.get(), kAudioPrefix + audioNames[i], sizes[i]);
        if (!ok) fail(why, std::string("the archive cannot be written (") + errorOf(a.get()) + ")");
        ok = ok && copyInto(a.get(), audioFolder + "/" + audioNames[i], sizes[i], progress, why);
    }
    if (ok && archive_write_close(a.get()) != ARCHIVE_OK)
        ok = fail(why, std::string("the archive cannot be written (") + errorOf(a.get()) + ")");
    a.reset();
    if (ok && ::fsync(fd) != 0)
        ok = fail(why, archivePath + " cannot be written (" + errnoText() + ")");
    ::close(fd);
    if (ok && ::rename(staged.c_str(), archivePath.c_str()) != 0)
        ok = fail(why, archivePath + " cannot be written (" + errnoText() + ")");
    if (!ok) {
        ::unlink(staged.c_str());
        return false;
    }
    syncFolder(target.parent_path().empty() ? "." : target.parent_path().string());
    return true;
}

bool unpack(const std::string& archivePath, const std::string& folder, Progress* progress,
            std::string* why) {
    std::error_code ec;
    const bool existed = fs::exists(folder, ec);
    if (existed && !(fs::is_directory(folder, ec) && fs::is_empty(folder, ec)))
        return fail(why, folder + " is not an empty folder");
    int64_t total = 0;
    if (!survey(archivePath, &total, why)) return false;
    if (progress) progress->total = total;
    const int64_t room = freeBytes(folder);
    if (room >= 0 && total + kSpareBytes > room)
        return fail(why, "the show needs " + std::to_string(total >> 20) + " MB and the disk has " +
                             std::to_string(room >> 20) + " MB free");

    // The outermost folder this call makes, removed whole if the unpacking fails.
    fs::path made;
    for (fs::path p = fs::absolute(folder, ec); !p.empty() && !fs::exists(p, ec);
         p = p.parent_path()) {
        made = p;
        if (p == p.parent_path()) break;
    }
    fs::create_directories(folder, ec);
    if (ec) return fail(why, folder + " cannot be made (" + ec.message() + ")");
    if (extract(archivePath, folder, progress, why)) return true;
    if (!made.empty()) {
        fs::remove_all(made, ec);
    } else {
        // It was empty before: whatever is in it now came from here.
        for (const auto& child : fs::directory_iterator(folder, ec))
            fs::remove_all(child.path(), ec);
    }
    return false;
}

}  // namespace showarchive
