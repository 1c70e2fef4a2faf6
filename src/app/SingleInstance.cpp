#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

#include "platform/MessageLog.h"

namespace {

const QByteArray kForward = QByteArrayLiteral("forward\n");

// The list's path as the file system knows it, so two spellings of one file are one list.
QString canonicalList(const QString& listFile) {
    const QFileInfo file(listFile);
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? QDir::cleanPath(file.absoluteFilePath())
                            : folder + QLatin1Char('/') + file.fileName();
}

// An abstract socket name: it leaves no file behind and ends with the process that holds it.
QString serverFor(const QString& list) {
    const QByteArray digest = QCryptographicHash::hash(list.toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("cuevox-") + QString::fromLatin1(digest.toHex().left(32));
}

// Beside the list, hidden: it goes with the folder, and a test's private home takes its own.
QString lockFor(const QString& list) {
    const QFileInfo file(list);
    return file.absolutePath() + QStringLiteral("/.") + file.fileName() + QStringLiteral(".lock");
}

}  // namespace

SingleInstance::SingleInstance(const QString& listFile, QObject* parent)
    : QObject(parent),
      listFile_(canonicalList(listFile)),
      serverName_(serverFor(listFile_)),
      lock_(lockFor(listFile_)) {
    // Held for the whole run, however long: only a dead holder makes a lock stale.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Claim SingleInstance::claim() {
    // The list's folder may not be there yet on a first start.
    QDir().mkpath(QFileInfo(listFile_).absolutePath());
    if (!lock_.tryLock(0)) {
        if (lock_.error() == QLockFile::LockFailedError) return Claim::Taken;
        problem_ = QStringLiteral("cannot make the lock %1").arg(lockPath());
        return Claim::Unguarded;
    }
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    if (!server_->listen(serverName_)) {
        problem_ = server_->errorString();
        MessageLog::instance().report(
            QStringLiteral("A later start on this list is refused without bringing this "
                           "window forward: %1")
                .arg(problem_));
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::answer);
    return Claim::Held;
}

void SingleInstance::answer() {
    while (QLocalSocket* caller = server_->nextPendingConnection()) {
        connect(caller, &QLocalSocket::disconnected, caller, &QObject::deleteLater);
        const auto take = [this, caller] {
            if (!caller->canReadLine()) return;
            if (caller->readLine() != kForward) {
                caller->disconnectFromServer();
                return;
            }
            if (window_) {
                window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
                window_->show();
                window_->raise();
                window_->activateWindow();
            }
            MessageLog::instance().report(
                QStringLiteral("Cuevox was started again on this list (%1); this window goes on "
                               "running it.")
                    .arg(listFile_));
            caller->write(kForward);
            caller->disconnectFromServer();
        };
        connect(caller, &QLocalSocket::readyRead, this, take);
        take();  // what came with the connection
    }
}

bool SingleInstance::callRunning(int timeoutMs) {
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(serverName_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(kForward);
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(timeoutMs)) return false;
    return socket.readLine() == kForward;
}
