#include "window/Appearance.h"

#include <QApplication>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace {
const char* const kDarkKey = "appearance/dark";
const char* const kTextKey = "appearance/textPercent";
const char* const kTimeLeftKey = "appearance/rowsShowTimeLeft";

int nearestTextSize(int percent) {
    int best = Appearance::kTextSizes[0];
    for (int size : Appearance::kTextSizes)
        if (std::abs(size - percent) < std::abs(best - percent)) best = size;
    return best;
}

// A widget's own sizes from the layout are kept on it, so a second scaling starts from them.
QSize baseSize(QWidget* widget, const char* name, QSize now) {
    const QVariant kept = widget->property(name);
    if (kept.isValid()) return kept.toSize();
    widget->setProperty(name, now);
    return now;
}

int scaleLength(int length, double scale) {
    // Zero and "no limit" stay what they are.
    if (length <= 0 || length >= QWIDGETSIZE_MAX) return length;
    return int(std::lround(length * scale));
}
}  // namespace

Appearance& Appearance::instance() {
    static Appearance* appearance = new Appearance;
    return *appearance;
}

void Appearance::applySaved() {
    QSettings settings;
    dark_ = settings.value(kDarkKey, false).toBool();
    textPercent_ = nearestTextSize(settings.value(kTextKey, 100).toInt());
    timeLeft_ = settings.value(kTimeLeftKey, false).toBool();
    apply();
}

void Appearance::setDark(bool on) {
    QSettings().setValue(kDarkKey, on);
    dark_ = on;
    apply();
}

void Appearance::setTextPercent(int percent) {
    textPercent_ = nearestTextSize(percent);
    QSettings().setValue(kTextKey, textPercent_);
    apply();
}

void Appearance::setRowsShowTimeLeft(bool on) {
    QSettings().setValue(kTimeLeftKey, on);
    timeLeft_ = on;
    emit changed();
}

void Appearance::apply() {
    if (!learned_) {
        learned_ = true;
        systemFont_ = QApplication::font();
        systemPalette_ = QApplication::palette();
        systemStyle_ = QApplication::style()->name();
    }
    const QString style = dark_ ? QStringLiteral("Fusion") : systemStyle_;
    if (QApplication::style()->name().compare(style, Qt::CaseInsensitive) != 0)
        QApplication::setStyle(QStyleFactory::create(style));
    QApplication::setPalette(dark_ ? darkPalette() : systemPalette_);
    QFont font = systemFont_;
    if (font.pointSizeF() > 0)
        font.setPointSizeF(systemFont_.pointSizeF() * textScale());
    else
        font.setPixelSize(scaled(systemFont_.pixelSize()));
    if (QApplication::font() != font) QApplication::setFont(font);
    emit changed();
}

int Appearance::scaled(int length) const {
    return scaleLength(length, textScale());
}

void Appearance::scaleSizes(QWidget* root) const {
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* widget : widgets) {
        // Symbols are drawn at their own size; only what holds text grows.
        if (widget->inherits("SymbolImageView")) continue;
        const QSize least = baseSize(widget, "cuevoxLeastSize", widget->minimumSize());
        const QSize most = baseSize(widget, "cuevoxMostSize", widget->maximumSize());
        widget->setMinimumSize(scaleLength(least.width(), textScale()),
                               scaleLength(least.height(), textScale()));
        widget->setMaximumSize(scaleLength(most.width(), textScale()),
                               scaleLength(most.height(), textScale()));
    }
}

QColor Appearance::selectionTint() const {
    return dark_ ? QColor(0x2b, 0x4a, 0x73) : QColor(0xcf, 0xe0, 0xf7);
}

QPalette Appearance::darkPalette() {
    // Dim enough for a blacked-out booth, with text and the controls' edges still clear.
    const QColor window(0x35, 0x35, 0x38), base(0x22, 0x22, 0x25), text(0xe6, 0xe6, 0xe6);
    const QColor disabled(0x7a, 0x7a, 0x7f);
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x2b, 0x2b, 0x2f));
    p.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3e));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, disabled);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x42, 0x42, 0x46));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, QColor(0xff, 0x6b, 0x5e));
    p.setColor(QPalette::Light, QColor(0x5a, 0x5a, 0x60));
    p.setColor(QPalette::Midlight, QColor(0x4a, 0x4a, 0x50));
    p.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x33));
    p.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1a));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, QColor(0x2f, 0x6f, 0xd0));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x6c, 0xb4, 0xee));
    p.setColor(QPalette::LinkVisited, QColor(0xa0, 0x8c, 0xe8));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    p.setColor(QPalette::Disabled, QPalette::Base, window);
    p.setColor(QPalette::Disabled, QPalette::Button, QColor(0x3a, 0x3a, 0x3d));
    return p;
}
