#include "platform/MessageLog.h"

#include <QCoreApplication>

MessageLog& MessageLog::instance() {
    static MessageLog* log = [] {
        auto* created = new MessageLog;
        // Signals from worker threads are queued to the thread the log lives in.
        if (auto* app = QCoreApplication::instance()) created->moveToThread(app->thread());
        return created;
    }();
    return *log;
}

void MessageLog::report(const QString& text) {
    const QDateTime now = QDateTime::currentDateTime();
    {
        QMutexLocker lock(&mutex_);
        entries_.append({now, text});
        while (entries_.size() > kKept) entries_.removeFirst();
    }
    emit reported(now, text);
}

void MessageLog::setWarning(const QString& key, const QString& text) {
    {
        QMutexLocker lock(&mutex_);
        auto found = warnings_.find(key);
        if (found != warnings_.end() && *found == text) return;
        warnings_.insert(key, text);
    }
    emit warningsChanged();
}

void MessageLog::clearWarning(const QString& key) {
    {
        QMutexLocker lock(&mutex_);
        if (warnings_.remove(key) == 0) return;
    }
    emit warningsChanged();
}

QList<MessageLog::Entry> MessageLog::entries() const {
    QMutexLocker lock(&mutex_);
    return entries_;
}

QMap<QString, QString> MessageLog::warnings() const {
    QMutexLocker lock(&mutex_);
    return warnings_;
}

void MessageLog::clear() {
    {
        QMutexLocker lock(&mutex_);
        entries_.clear();
        warnings_.clear();
    }
    emit warningsChanged();
}
