#include "window/CXTableCell.h"

#include "ui_IndexCell.h"
#include "ui_LengthCell.h"
#include "ui_ModifyCell.h"
#include "ui_NameCell.h"
#include "ui_PlayCell.h"
#include "ui_StatusCell.h"
#include "ui_VolumeCell.h"

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
    } else if (identifier == QLatin1String("statusCell")) {
        Ui::statusCell ui;
        ui.setupUi(cell);
        cell->setCxPersistExtendIcon(ui.cxPersistExtendIcon);
        cell->setCxCutIcon(ui.cxCutIcon);
        cell->setCxFadeIcon(ui.cxFadeIcon);
        cell->setCxRepeatIcon(ui.cxRepeatIcon);
    } else if (identifier == QLatin1String("lengthCell")) {
        Ui::lengthCell ui;
        ui.setupUi(cell);
        cell->setCxStartTime(ui.cxStartTime);
        cell->setCxLengthSlider(ui.cxLengthSlider);
        cell->setCxEndTime(ui.cxEndTime);
    } else if (identifier == QLatin1String("volumeCell")) {
        Ui::volumeCell ui;
        ui.setupUi(cell);
        cell->setCxVolumeSlider(ui.cxVolumeSlider);
    } else if (identifier == QLatin1String("modifyCell")) {
        Ui::modifyCell ui;
        ui.setupUi(cell);
        cell->setCxEditButton(ui.cxEditButton);
    } else {
        delete cell;
        return nullptr;
    }
    return cell;
}
