#include "window/MessageArea.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QTextDocument>
#include <QToolButton>
#include <cmath>

#include "platform/MessageLog.h"

namespace {
// About five lines of problems at the normal text size.
constexpr int kListHeight = 140;

QString stamped(const QDateTime& time, const QString& text) {
    return time.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") + text;
}

}  // namespace

MessageArea::MessageArea(MessageLog& log, QWidget* parent)
    : QWidget(parent),
      log_(log),
      warning_(new QLabel(this)),
      latest_(new QLabel(this)),
      button_(new QToolButton(this)),
      action_(new QToolButton(this)),
      list_(new QListWidget(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    warning_->setObjectName(QStringLiteral("messageWarning"));
    warning_->setAccessibleName(QStringLiteral("Warning"));
    warning_->setWordWrap(false);
    // Messages carry what senders on the network wrote (an OSC address, a device's name):
    // shown as written, never as markup.
    warning_->setTextFormat(Qt::PlainText);
    warning_->setMargin(3);
    warning_->setAutoFillBackground(true);
    QPalette alarm = warning_->palette();
    alarm.setColor(QPalette::Window, QColor(0xc6, 0x28, 0x28));
    alarm.setColor(QPalette::WindowText, Qt::white);
    warning_->setPalette(alarm);
    warning_->hide();

    latest_->setObjectName(QStringLiteral("messageLatest"));
    latest_->setAccessibleName(QStringLiteral("Last problem"));
    latest_->setTextInteractionFlags(Qt::NoTextInteraction);
    latest_->setTextFormat(Qt::PlainText);

    button_->setObjectName(QStringLiteral("messageButton"));
    button_->setCheckable(true);
    button_->setText(QStringLiteral("Messages"));
    button_->setToolTip(QStringLiteral("Show the last problems"));
    button_->setFocusPolicy(Qt::TabFocus);

    // Read, not worked in: it never takes the keyboard, so the show keys stay with the show.
    list_->setObjectName(QStringLiteral("messageList"));
    list_->setAccessibleName(QStringLiteral("Last problems"));
    list_->setFocusPolicy(Qt::NoFocus);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setWordWrap(true);
    setTextScale(1.0);
    list_->hide();
    connect(button_, &QToolButton::toggled, list_, &QWidget::setVisible);

    layout->addWidget(warning_);
    // Reached by mouse or Tab: a show key never presses it.
    action_->setObjectName(QStringLiteral("messageAction"));
    action_->setFocusPolicy(Qt::TabFocus);
    action_->hide();
    connect(action_, &QToolButton::clicked, this, [this] {
        const std::function<void()> act = std::move(act_);
        withdrawAction();
        if (act) act();
    });

    layout->addWidget(latest_, 1);
    layout->addWidget(action_);
    layout->addWidget(button_);

    // What came before the window (the load, the audio output's start) is shown too.
    for (const MessageLog::Entry& entry : log_.entries()) addEntry(entry.time, entry.text);
    showWarnings();
    connect(&log_, &MessageLog::reported, this, &MessageArea::addEntry);
    connect(&log_, &MessageLog::warningsChanged, this, &MessageArea::showWarnings);
}

void MessageArea::offerAction(const QString& label, std::function<void()> act) {
    act_ = std::move(act);
    action_->setText(label);
    action_->setToolTip(label + QStringLiteral(": ") + latest_->toolTip());
    action_->show();
}

void MessageArea::setTextScale(double scale) {
    list_->setMaximumHeight(int(std::lround(kListHeight * scale)));
}

void MessageArea::withdrawAction() {
    act_ = nullptr;
    action_->hide();
}

void MessageArea::addEntry(const QDateTime& time, const QString& text) {
    withdrawAction();
    const QString line = stamped(time, text);
    latest_->setText(line);
    latest_->setToolTip(Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
    list_->insertItem(0, line);
    while (list_->count() > kListed) delete list_->takeItem(list_->count() - 1);
    button_->setText(QStringLiteral("Messages (%1)").arg(list_->count()));
}

void MessageArea::showWarnings() {
    const QStringList texts = log_.warnings().values();
    warning_->setText(texts.join(QStringLiteral("  ·  ")));
    warning_->setToolTip(
        Qt::convertFromPlainText(texts.join(QLatin1Char('\n')), Qt::WhiteSpaceNormal));
    warning_->setVisible(!texts.isEmpty());
}
