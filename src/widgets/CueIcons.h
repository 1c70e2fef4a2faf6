#pragma once

#include <QColor>
#include <QString>
#include <cstdint>

class CXAudio;
class SymbolImageView;

// The four option icons of a cue, shared by the table row and the cue editor: which symbol
// each shows and whether it is lit (green) or not (gray).
namespace CueIcons {

struct Choice {
    QString symbol;
    bool on = false;
};

inline const QString kPersistExtendDescription = QStringLiteral("Persist/Extend Icon");
inline const QString kCutDescription = QStringLiteral("Cut Icon");
inline const QString kFadeDescription = QStringLiteral("Fade In and Out Icon");
inline const QString kRepeatDescription = QStringLiteral("Repeat Icon");

// Fixed colours rather than the desktop theme's, so an option reads the same on any theme.
QColor green();
QColor gray();
inline QColor tint(bool on) {
    return on ? green() : gray();
}

Choice persistExtend(bool persistThrough, bool extendPlay);
Choice fade(bool fadeIn, bool fadeOut);
Choice repeat(int64_t repeatCount);
// Exact comparison with the duration: an end the user never touched is the duration itself.
bool cutIsSet(double startTime, double endTime, double duration);

// Lit or not: the tint, and the name assistive technology reads for it ("on" or "off").
void light(SymbolImageView* view, bool on);
void show(SymbolImageView* view, const Choice& choice, const QString& description);
// The four icons of a cue in a row.
void showCue(const CXAudio& cue, SymbolImageView* persistExtendIcon, SymbolImageView* cutIcon,
             SymbolImageView* fadeIcon, SymbolImageView* repeatIcon);

}  // namespace CueIcons
