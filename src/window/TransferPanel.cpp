#include "window/TransferPanel.h"

#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int kRefreshMs = 100;
constexpr int kScale = 1000;
}  // namespace

TransferPanel::TransferPanel(QWidget* parent, const QString& what,
                             std::shared_ptr<const showarchive::Progress> progress)
    : QWidget(parent, Qt::Tool),
      progress_(std::move(progress)),
      label_(new QLabel(what, this)),
      bar_(new QProgressBar(this)),
      timer_(new QTimer(this)) {
    setWindowTitle(what);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    bar_->setRange(0, kScale);
    bar_->setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label_);
    layout->addWidget(bar_);
    setMinimumWidth(360);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TransferPanel::refresh);
    timer_->start();
    refresh();
}

void TransferPanel::refresh() {
    const int64_t total = progress_->total.load();
    const int64_t done = std::min(progress_->done.load(), total);
    bar_->setValue(total > 0 ? int(done * kScale / total) : 0);
}
