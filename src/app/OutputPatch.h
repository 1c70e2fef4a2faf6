#pragma once

#include <QString>
#include <vector>

// The outputs a show's cues are routed to, numbered from 1, and where each lands on this
// machine: a name the operator gave it and the device channel (from 0) it is patched to. The
// show keeps only numbers; the patch lives with the machine, so a show moves to another one
// by patching there, not by editing cues. An output never patched goes to the channel of its
// own number.
class OutputPatch {
public:
    static constexpr int kMaxOutputs = 64;

    // This machine's patch, from the settings.
    static OutputPatch saved();
    void save() const;

    // "Stage L", or the number when it has no name.
    QString name(int output) const;
    QString givenName(int output) const;
    // The device channel (from 0) output `output` plays on.
    int channel(int output) const;
    void set(int output, const QString& name, int channel);

    // The label of a route: "1-2", "5", or the outputs' names when both have one.
    QString routeLabel(int left, int right) const;

    bool operator==(const OutputPatch&) const = default;

private:
    struct Entry {
        QString name;
        int channel = -1;  // -1: the channel of the output's own number
        bool operator==(const Entry&) const = default;
    };
    std::vector<Entry> entries_ = std::vector<Entry>(kMaxOutputs);
};
