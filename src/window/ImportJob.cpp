#include "window/ImportJob.h"

#include <QFile>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "audio/AudioEngine.h"
#include "audio/Voice.h"
#include "storage/Importer.h"

QString decoderReason(std::string reason, const std::string& path) {
    if (reason.rfind(path + ": ", 0) == 0) reason.erase(0, path.size() + 2);
    return reason.empty() ? QStringLiteral("unknown reason") : QString::fromStdString(reason);
}

std::string ImportJob::destination() const {
    return folder + "/" + QFile::encodeName(stored).toStdString();
}

bool ImportJob::run(std::atomic<int64_t>* copied) {
    const std::string target = destination();
    std::string error;
    if (copy) {
        const std::string staged = importer::stagingPath(folder, stored);
        bool done = false;
        double checked = 0.0;
        if (!importer::copyFile(source, staged, copied, &error)) {
            why = QStringLiteral("it could not be copied into the audio folder (%1)")
                      .arg(QString::fromStdString(error));
        } else if (!engine->openVoice(staged, 0, &checked, &error)) {
            std::cout << "Failed to create audio player" << std::endl;
            why = QStringLiteral("it is not audio that Cuevox can play (%1)")
                      .arg(decoderReason(error, staged));
        } else {
            std::error_code ec;
            replaced = std::filesystem::exists(target, ec);
            done = importer::replaceStoredFile(staged, target);
            if (!done)
                why = QStringLiteral("the stored file %1 could not be replaced")
                          .arg(QString::fromStdString(target));
        }
        if (!done) {
            std::error_code ec;
            std::filesystem::remove(staged, ec);
            return false;
        }
    }
    voice = engine->openVoice(target, voiceId, &duration, &error);
    if (!voice) {
        std::cout << "Failed to create audio player" << std::endl;
        why = QStringLiteral("it is not audio that Cuevox can play (%1)")
                  .arg(decoderReason(error, target));
        return false;
    }
    return true;
}
