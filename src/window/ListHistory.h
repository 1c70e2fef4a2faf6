#pragma once

#include <QString>
#include <QUndoStack>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "model/ListFile.h"

// The undo and redo steps of the changes to the cue list. A step holds the cues themselves, not
// copies: undoing gives back the very objects with their players, so a cue that stays in the
// list plays on through it, and a removed cue comes back as it left. Each step is recorded once
// the change is made; the window applies a step through the two targets, which show and save.
class ListHistory {
public:
    // Enough to walk back through a rehearsal's worth of slips, few enough that the removed
    // cues kept alive, players and stored files included, stay a handful.
    static constexpr int kSteps = 100;

    // Cues each with stored fields of theirs (a toJSON()).
    using CueFields = std::vector<std::pair<std::shared_ptr<CXAudio>, nlohmann::json>>;

    struct Targets {
        // The list becomes these cues, in this order.
        std::function<void(const CueList&)> order;
        // Each cue takes back its stored fields, all in one go.
        std::function<void(const CueFields&)> fields;
    };

    explicit ListHistory(Targets targets);

    QUndoStack& stack() { return stack_; }

    // Which cues the list holds, or their order, went from `before` to `after`; `what` names
    // the change for the menu ("Remove" gives "Undo Remove").
    void recordOrder(const QString& what, CueList before, CueList after);
    // One cue's stored fields changed; `before` is its toJSON() from just before. A step that
    // `continues` the gesture of the step before (a slider drag, a field typed into) merges
    // with it when it is the same cue's same setting, so the gesture undoes as one.
    void recordFields(const std::shared_ptr<CXAudio>& cue, const nlohmann::json& before,
                      bool continues = false);
    // Several cues changed by one command, one step; `before` holds each one's toJSON() from
    // just before. Cues whose fields did not change are left out of it.
    void recordFields(const CueFields& before);

    // Every cue a step can bring back or change, in the list now or not.
    std::vector<std::shared_ptr<CXAudio>> heldCues() const;

private:
    Targets targets_;
    QUndoStack stack_;
};
