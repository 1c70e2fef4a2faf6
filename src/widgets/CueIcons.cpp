#include "widgets/CueIcons.h"

#include "model/CXAudio.h"
#include "widgets/SymbolImageView.h"

namespace CueIcons {

QColor green() {
    return QColor(0x2e, 0xa0, 0x43);
}
QColor gray() {
    return QColor(0x9a, 0x9a, 0x9e);
}

Choice persistExtend(bool persistThrough, bool extendPlay) {
    if (persistThrough && extendPlay) return {QStringLiteral("arrow.down.circle.fill"), true};
    if (persistThrough) return {QStringLiteral("arrow.down"), true};
    if (extendPlay) return {QStringLiteral("arrow.down.circle"), true};
    return {QStringLiteral("arrow.down"), false};
}

Choice fade(bool fadeIn, bool fadeOut) {
    if (fadeIn && fadeOut) return {QStringLiteral("sun.max"), true};
    if (fadeIn) return {QStringLiteral("sunrise"), true};
    if (fadeOut) return {QStringLiteral("sunset"), true};
    return {QStringLiteral("sunrise"), false};
}

Choice repeat(int64_t repeatCount) {
    if (repeatCount == 0) return {QStringLiteral("repeat"), false};
    if (repeatCount == -1) return {QStringLiteral("repeat.1"), true};
    return {QStringLiteral("repeat"), true};
}

bool cutIsSet(double startTime, double endTime, double duration) {
    return startTime > 0.0 || endTime != duration;
}

void light(SymbolImageView* view, bool on) {
    if (!view) return;
    view->setContentTintColor(tint(on));
    // Colour alone tells a screen reader nothing.
    view->setAccessibleName(on ? QStringLiteral("on") : QStringLiteral("off"));
}

void show(SymbolImageView* view, const Choice& choice, const QString& description) {
    if (!view) return;
    view->setSymbol(choice.symbol, description);
    light(view, choice.on);
}

void showCue(const CXAudio& cue, SymbolImageView* persistExtendIcon, SymbolImageView* cutIcon,
             SymbolImageView* fadeIcon, SymbolImageView* repeatIcon) {
    show(persistExtendIcon, persistExtend(cue.persistThrough, cue.extendPlay),
         kPersistExtendDescription);
    const double duration = cue.player ? cue.player->duration() : 0.0;
    show(cutIcon, {QStringLiteral("scissors"), cutIsSet(cue.startTime, cue.endTime, duration)},
         kCutDescription);
    show(fadeIcon, fade(cue.fadeIn, cue.fadeOut), kFadeDescription);
    show(repeatIcon, repeat(cue.repeatCount), kRepeatDescription);
}

}  // namespace CueIcons
