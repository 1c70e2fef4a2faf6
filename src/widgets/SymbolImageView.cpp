#include "widgets/SymbolImageView.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include "window/CueAccessibility.h"

// The resource lives in a static library, whose registration object the linker would drop
// because nothing refers to it; registering by hand keeps the icons in every executable.
static void registerIconResource() {
    static const bool done = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    (void)done;
}

namespace {

QString symbolPath(const QString& name) {
    return QStringLiteral(":/icons/%1.svg").arg(name);
}

// Rendering an SVG on every repaint of a scrolling table is wasteful; rows share a handful of
// (symbol, tint, size) combinations.
QPixmap tintedSymbol(const QString& name, const QColor& tint, QSize size, qreal dpr) {
    static QHash<QString, QPixmap> cache;
    const QString key = QStringLiteral("%1|%2|%3x%4@%5")
                            .arg(name, tint.name(QColor::HexArgb))
                            .arg(size.width())
                            .arg(size.height())
                            .arg(dpr);
    auto found = cache.constFind(key);
    if (found != cache.constEnd()) return *found;

    QSvgRenderer renderer(symbolPath(name));
    QPixmap pixmap(size * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    if (renderer.isValid()) {
        QPainter p(&pixmap);
        renderer.render(&p, QRectF(QPointF(0, 0), QSizeF(size)));
        // Keep the symbol's coverage, replace its colour: the SVGs are drawn in black.
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), tint);
    }
    cache.insert(key, pixmap);
    return pixmap;
}

}  // namespace

SymbolImageView::SymbolImageView(QWidget* parent) : QLabel(parent) {
    registerIconResource();
    cueaccessibility::install();
    setAlignment(Qt::AlignCenter);
}

bool SymbolImageView::hasSymbol(const QString& name) {
    registerIconResource();
    return !name.isEmpty() && QFile::exists(symbolPath(name));
}

void SymbolImageView::setSymbol(const QString& name, const QString& accessibilityDescription) {
    symbol_ = hasSymbol(name) ? name : QString();
    setAccessibleDescription(accessibilityDescription);
    update();
}

void SymbolImageView::setContentTintColor(const QColor& tint) {
    tint_ = tint;
    update();
}

QSize SymbolImageView::sizeHint() const {
    return {18, 18};
}

void SymbolImageView::paintEvent(QPaintEvent*) {
    if (symbol_.isEmpty()) return;
    const int side = std::min(width(), height());
    if (side <= 0) return;
    const QSize size(side, side);
    const QPixmap pixmap = tintedSymbol(symbol_, tint_, size, devicePixelRatioF());
    QPainter p(this);
    p.drawPixmap((width() - side) / 2, (height() - side) / 2, pixmap);
}
