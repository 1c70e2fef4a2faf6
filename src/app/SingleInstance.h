#pragma once

#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>

class QLocalServer;
class QWidget;

// One running program per list file. Two copies on the same list would each save their own
// idea of it after every change, and the last writer would win. The first start holds a lock
// beside the list file and listens on a socket named after the list's path; a later start asks
// it to come forward there and ends. The lock names the process holding it, so one left behind
// by a crash is taken over by the next start.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        // This process runs the list.
        Held,
        // Another process runs it.
        Taken,
        // The lock could not be made (no writable folder): the show runs without the guard.
        Unguarded,
    };

    explicit SingleInstance(const QString& listFile, QObject* parent = nullptr);
    ~SingleInstance() override;

    Claim claim();
    // From a later start: asks the process running the list to bring its window forward. True
    // once it has answered that it did, within `timeoutMs`.
    bool callRunning(int timeoutMs = 5000);
    // The window a later start brings forward.
    void setWindow(QWidget* window) { window_ = window; }

    QString lockPath() const { return lock_.fileName(); }
    // Why the claim was not held, for the line a start prints.
    QString problem() const { return problem_; }

private:
    void answer();

    QString listFile_;
    QString serverName_;
    QLockFile lock_;
    QLocalServer* server_ = nullptr;
    QPointer<QWidget> window_;
    QString problem_;
};
