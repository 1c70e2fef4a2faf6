#include "window/ListHistory.h"

#include <QUndoCommand>
#include <utility>

#include "model/CXAudio.h"

namespace {

using json = nlohmann::json;

// The name of a change of stored fields, for the menu: the setting it touched, as the editor
// groups them, or "Edit Cue" for several.
QString settingName(const json& before, const json& after) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"audioTitle", "Rename"},
        {"volumeLevel", "Volume"},
        {"panAudio", "Pan"},
        {"startTime", "Cut"},
        {"endTime", "Cut"},
        {"fadeIn", "Fade In"},
        {"fadeInLength", "Fade In"},
        {"fadeOut", "Fade Out"},
        {"fadeOutLength", "Fade Out"},
        {"repeatCount", "Repeat"},
        {"persistThrough", "Persist"},
        {"persistDelay", "Persist"},
        {"extendPlay", "Extend"},
        {"extendDelay", "Extend"},
        {"moveSelection", "Select Next"},
        {"outputs", "Route"},
        {"outputLevels", "Output Level"},
        {"cueNumber", "Number"},
        {"notes", "Notes"},
        {"color", "Colour"},
    };
    QString name;
    for (const auto& [key, label] : kNames) {
        if (before.value(key, json()) == after.value(key, json())) continue;
        const QString found = QString::fromLatin1(label);
        if (!name.isEmpty() && name != found) return QStringLiteral("Edit Cue");
        name = found;
    }
    return name.isEmpty() ? QStringLiteral("Edit Cue") : name;
}

// A step is pushed after its change is made; the push's own redo has nothing left to do.
class Step : public QUndoCommand {
public:
    using QUndoCommand::QUndoCommand;
    virtual void addCues(std::vector<std::shared_ptr<CXAudio>>& cues) const = 0;

protected:
    bool pushed() { return !std::exchange(first_, false); }

private:
    bool first_ = true;
};

class OrderStep : public Step {
public:
    OrderStep(const QString& what, CueList before, CueList after,
              const ListHistory::Targets& targets)
        : before_(std::move(before)), after_(std::move(after)), targets_(targets) {
        setText(what);
    }
    void undo() override { targets_.order(before_); }
    void redo() override {
        if (pushed()) targets_.order(after_);
    }
    void addCues(std::vector<std::shared_ptr<CXAudio>>& cues) const override {
        cues.insert(cues.end(), before_.begin(), before_.end());
        cues.insert(cues.end(), after_.begin(), after_.end());
    }

private:
    const CueList before_, after_;
    const ListHistory::Targets& targets_;
};

class FieldsStep : public Step {
public:
    static constexpr int kId = 1;
    using CueFields = ListHistory::CueFields;

    FieldsStep(CueFields before, CueFields after, bool continues,
               const ListHistory::Targets& targets)
        : before_(std::move(before)),
          after_(std::move(after)),
          continues_(continues),
          targets_(targets) {
        setText(settingName(before_.front().second, after_.front().second));
    }
    int id() const override { return kId; }
    bool mergeWith(const QUndoCommand* other) override {
        const auto* next = static_cast<const FieldsStep*>(other);
        if (!next->continues_ || before_.size() != 1 || next->before_.size() != 1 ||
            next->before_.front().first != before_.front().first || next->text() != text())
            return false;
        after_ = next->after_;
        // A drag that ends where it started changed nothing.
        setObsolete(after_ == before_);
        return true;
    }
    void undo() override { targets_.fields(before_); }
    void redo() override {
        if (pushed()) targets_.fields(after_);
    }
    void addCues(std::vector<std::shared_ptr<CXAudio>>& cues) const override {
        for (const auto& [cue, fields] : before_) cues.push_back(cue);
    }

private:
    const CueFields before_;
    CueFields after_;
    const bool continues_;
    const ListHistory::Targets& targets_;
};

}  // namespace

ListHistory::ListHistory(Targets targets) : targets_(std::move(targets)) {
    stack_.setUndoLimit(kSteps);
}

void ListHistory::recordOrder(const QString& what, CueList before, CueList after) {
    if (before == after) return;
    stack_.push(new OrderStep(what, std::move(before), std::move(after), targets_));
}

void ListHistory::recordFields(const std::shared_ptr<CXAudio>& cue, const nlohmann::json& before,
                               bool continues) {
    json after = cue->toJSON();
    if (after == before) return;
    stack_.push(new FieldsStep({{cue, before}}, {{cue, std::move(after)}}, continues, targets_));
}

void ListHistory::recordFields(const CueFields& before) {
    CueFields changed, after;
    for (const auto& [cue, fields] : before) {
        json now = cue->toJSON();
        if (now == fields) continue;
        changed.emplace_back(cue, fields);
        after.emplace_back(cue, std::move(now));
    }
    if (changed.empty()) return;
    stack_.push(new FieldsStep(std::move(changed), std::move(after), false, targets_));
}

std::vector<std::shared_ptr<CXAudio>> ListHistory::heldCues() const {
    std::vector<std::shared_ptr<CXAudio>> cues;
    for (int i = 0; i < stack_.count(); ++i)
        static_cast<const Step*>(stack_.command(i))->addCues(cues);
    return cues;
}
