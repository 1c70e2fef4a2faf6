#include "app/OutputPatch.h"

#include <QSettings>

namespace {
const char* const kGroup = "outputPatch";

bool valid(int output) {
    return output >= 1 && output <= OutputPatch::kMaxOutputs;
}
}  // namespace

OutputPatch OutputPatch::saved() {
    OutputPatch patch;
    QSettings settings;
    const int n = settings.beginReadArray(kGroup);
    for (int i = 0; i < std::min(n, kMaxOutputs); ++i) {
        settings.setArrayIndex(i);
        Entry& e = patch.entries_[size_t(i)];
        e.name = settings.value("name").toString().trimmed();
        bool ok = false;
        const int channel = settings.value("channel", -1).toInt(&ok);
        e.channel = ok && channel >= 0 && channel < kMaxOutputs ? channel : -1;
    }
    settings.endArray();
    return patch;
}

void OutputPatch::save() const {
    QSettings settings;
    // Only as far as the last output set, so that a machine never patched keeps no array.
    int last = 0;
    for (int i = 0; i < kMaxOutputs; ++i)
        if (!entries_[size_t(i)].name.isEmpty() || entries_[size_t(i)].channel >= 0) last = i + 1;
    settings.remove(kGroup);
    settings.beginWriteArray(kGroup, last);
    for (int i = 0; i < last; ++i) {
        settings.setArrayIndex(i);
        settings.setValue("name", entries_[size_t(i)].name);
        settings.setValue("channel", entries_[size_t(i)].channel);
    }
    settings.endArray();
}

QString OutputPatch::givenName(int output) const {
    return valid(output) ? entries_[size_t(output - 1)].name : QString();
}

QString OutputPatch::name(int output) const {
    const QString given = givenName(output);
    return given.isEmpty() ? QString::number(output) : given;
}

int OutputPatch::channel(int output) const {
    if (!valid(output)) return output - 1;
    const int patched = entries_[size_t(output - 1)].channel;
    return patched >= 0 ? patched : output - 1;
}

void OutputPatch::set(int output, const QString& name, int channel) {
    if (!valid(output)) return;
    entries_[size_t(output - 1)] = {name.trimmed(),
                                    channel >= 0 && channel < kMaxOutputs ? channel : -1};
}

QString OutputPatch::routeLabel(int left, int right) const {
    if (!givenName(left).isEmpty() && !givenName(right).isEmpty())
        return left == right ? givenName(left) : givenName(left) + " / " + givenName(right);
    if (left == right) return QString::number(left);
    return QString::number(left) + "-" + QString::number(right);
}
