#pragma once

#include <QWidget>

class QLabel;
class QSlider;

// The level of the whole show in dB, from silence (its lowest step) to 0 dB, beside the stop
// buttons. It takes the wheel only once clicked or reached with Tab; Space and Escape pass it by
// to the show.
class MasterLevel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFloorDb = -60;
    explicit MasterLevel(QWidget* parent = nullptr);

    QSlider* slider() const { return slider_; }
    // Shows a level set elsewhere (the remote), without sending it back.
    void showLevel(double dB);
    static QString text(double dB);

signals:
    void levelChosen(double dB);

private:
    QSlider* slider_;
    QLabel* value_;
};
