#include "window/CXTableCell.h"

#include "window/Appearance.h"

#include "ui_IndexCell.h"
#include "ui_LengthCell.h"
#include "ui_ModifyCell.h"
#include "ui_NameCell.h"
#include "ui_PlayCell.h"
#include "ui_StatusCell.h"
#include "ui_VolumeCell.h"

namespace {
// The table's selection is a tint; sliders keep a strong fill so position and level read from
// across the room.
void keepSliderFill(QWidget* slider) {
    QPalette palette = slider->palette();
    palette.setColor(QPalette::Highlight, QColor(0x2f, 0x6f, 0xd0));
    slider->setPalette(palette);
}
}  // namespace

CXTableCell* CXTableCell::makeViewWithIdentifier(const QString& identifier, QWidget* parent) {
    auto* cell = new CXTableCell(parent);
    if (identifier == QLatin1String("indexCell")) {
        Ui::indexCell ui;
        ui.setupUi(cell);
        cell->setCxIndex(ui.cxIndex);
    } else if (identifier == QLatin1String("playCell")) {
        Ui::playCell ui;
        ui.setupUi(cell);
        cell->setCxPlayButton(ui.cxPlayButton);
    } else if (identifier == QLatin1String("nameCell")) {
        Ui::nameCell ui;
        ui.setupUi(cell);
        cell->setCxAudioTitle(ui.cxAudioTitle);
        // No label stands beside a row's title: the field is named by what it holds.
        QObject::connect(ui.cxAudioTitle, &QLineEdit::textChanged, ui.cxAudioTitle,
                         &QWidget::setAccessibleName);
        // The title sits on the row's own background: alternate shade or selection.
        QPalette palette = ui.cxAudioTitle->palette();
        palette.setColor(QPalette::Base, Qt::transparent);
        ui.cxAudioTitle->setPalette(palette);
    } else if (identifier == QLatin1String("statusCell")) {
        Ui::statusCell ui;
        ui.setupUi(cell);
        cell->setCxPersistExtendIcon(ui.cxPersistExtendIcon);
        cell->setCxCutIcon(ui.cxCutIcon);
        cell->setCxFadeIcon(ui.cxFadeIcon);
        cell->setCxRepeatIcon(ui.cxRepeatIcon);
        cell->setCxRouteLabel(ui.cxRouteLabel);
    } else if (identifier == QLatin1String("lengthCell")) {
        Ui::lengthCell ui;
        ui.setupUi(cell);
        cell->setCxStartTime(ui.cxStartTime);
        cell->setCxLengthSlider(ui.cxLengthSlider);
        keepSliderFill(ui.cxLengthSlider);
        cell->setCxEndTime(ui.cxEndTime);
    } else if (identifier == QLatin1String("volumeCell")) {
        Ui::volumeCell ui;
        ui.setupUi(cell);
        cell->setCxVolumeSlider(ui.cxVolumeSlider);
        keepSliderFill(ui.cxVolumeSlider);
    } else if (identifier == QLatin1String("modifyCell")) {
        Ui::modifyCell ui;
        ui.setupUi(cell);
        cell->setCxEditButton(ui.cxEditButton);
    } else {
        delete cell;
        return nullptr;
    }
    // The buttons, fields and labels grow with the text size, so none is cut.
    Appearance::instance().scaleSizes(cell);
    return cell;
}
