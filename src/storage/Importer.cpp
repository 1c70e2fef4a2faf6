#include "storage/Importer.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTextBoundaryFinder>
#include <filesystem>
#include <system_error>
#include <vector>

namespace importer {

namespace {

// Large enough that a fast disk is not slowed by call overhead, small enough that the progress
// display moves several times a second on a slow one.
constexpr qint64 kChunkBytes = 1 << 20;

bool isFiltered(QStringView character) {
    return character == u"\n" || character == u"\t" || character == u"\r";
}

}  // namespace

const QStringList& extensions() {
    static const QStringList list = {"aac", "adts", "ac3", "aif",  "aiff", "aifc",
                                     "caf", "mp3",  "mp4", "m4a",  "snd",  "au",
                                     "sd2", "wav",  "ogg", "flac", "alac"};
    return list;
}

QString nameFilter() {
    QStringList patterns;
    for (const QString& extension : extensions()) patterns << "*." + extension;
    for (const QString& extension : extensions()) patterns << "*." + extension.toUpper();
    return QStringLiteral("Audio files (%1)").arg(patterns.join(' '));
}

QString storedName(const QString& sourcePath) {
    const QString name = QFileInfo(sourcePath).fileName();
    QString kept;
    kept.reserve(name.size());
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, name);
    qsizetype start = 0;
    for (qsizetype end = boundaries.toNextBoundary(); end != -1;
         end = boundaries.toNextBoundary()) {
        const QStringView character = QStringView(name).mid(start, end - start);
        if (!isFiltered(character)) kept += character;
        start = end;
    }
    // Only plain spaces go: a space carrying a combining mark is a character of its own.
    qsizetype first = 0, last = kept.size();
    while (first < last && kept[first] == u' ' && (first + 1 == last || !kept[first + 1].isMark()))
        ++first;
    while (last > first && kept[last - 1] == u' ') --last;
    return kept.mid(first, last - first);
}

QString numberedName(const QString& storedName, int number) {
    const qsizetype dot = storedName.lastIndexOf('.');
    const bool hasExtension = dot > 0;
    const QString base = hasExtension ? storedName.left(dot) : storedName;
    const QString extension = hasExtension ? storedName.mid(dot) : QString();
    return QStringLiteral("%1 (%2)%3").arg(base).arg(number).arg(extension);
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    const bool same = std::filesystem::equivalent(a, b, ec);
    return !ec && same;
}

bool copyFile(const std::string& source, const std::string& destination,
              std::atomic<int64_t>* copied, std::string* error) {
    QFile in(QString::fromStdString(source));
    QSaveFile out(QString::fromStdString(destination));
    auto fail = [&](const QFileDevice& device) {
        if (error) *error = device.errorString().toStdString();
        return false;
    };
    if (!in.open(QIODevice::ReadOnly)) return fail(in);
    // Unbuffered, so a short write (a full disk) shows at the write that fell short instead of
    // disappearing in a final flush before the commit.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return fail(out);
    std::vector<char> buffer(static_cast<std::size_t>(kChunkBytes));
    int64_t total = 0;
    for (;;) {
        const qint64 got = in.read(buffer.data(), kChunkBytes);
        if (got < 0) {
            fail(in);
            out.cancelWriting();
            return false;
        }
        if (got == 0) break;
        if (out.write(buffer.data(), got) != got) {
            fail(out);
            out.cancelWriting();
            return false;
        }
        total += got;
        if (copied) copied->store(total, std::memory_order_relaxed);
    }
    return out.commit() || fail(out);
}

std::string stagingPath(const std::string& folder, const QString& storedName) {
    const qsizetype dot = storedName.lastIndexOf('.');
    QString extension = dot > 0 ? storedName.mid(dot) : QString();
    // A stored name may already be as long as a file name can be: keep only a plausible suffix.
    if (extension.size() > 16) extension.clear();
    for (;;) {
        const QString name = QStringLiteral(".import-%1%2")
                                 .arg(QRandomGenerator::global()->generate(), 8, 16, QChar('0'))
                                 .arg(extension);
        const std::string path = folder + "/" + QFile::encodeName(name).toStdString();
        std::error_code ec;
        if (!std::filesystem::exists(path, ec) && !ec) return path;
    }
}

bool replaceStoredFile(const std::string& staged, const std::string& destination) {
    std::error_code ec;
    std::filesystem::rename(staged, destination, ec);
    return !ec;
}

int64_t fileSize(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : int64_t(size);
}

}  // namespace importer
