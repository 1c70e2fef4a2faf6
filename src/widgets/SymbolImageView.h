#pragma once

#include <QColor>
#include <QLabel>
#include <QString>

// An image view showing one of our named symbol icons (resources/icons/<name>.svg), painted in
// a single tint colour. The symbol's name and the tint stay readable, so the icon rules can be
// checked without comparing pixels.
class SymbolImageView : public QLabel {
    Q_OBJECT
    // Lets a layout form name the symbol an image view starts with.
    Q_PROPERTY(QString symbolName READ symbolName WRITE setSymbolName)
public:
    explicit SymbolImageView(QWidget* parent = nullptr);

    // The image of the symbol with that name; the description goes to assistive technology.
    // An unknown name shows nothing.
    void setSymbol(const QString& name, const QString& accessibilityDescription);
    void setSymbolName(const QString& name) { setSymbol(name, accessibleDescription()); }
    void setContentTintColor(const QColor& tint);

    const QString& symbolName() const { return symbol_; }
    const QColor& contentTintColor() const { return tint_; }

    // Whether resources/icons holds a symbol of that name.
    static bool hasSymbol(const QString& name);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    QColor tint_ = Qt::black;
};
