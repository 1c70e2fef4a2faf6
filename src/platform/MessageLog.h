#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

// Problems the operator must see, not only the standard output: the window's message area
// shows each with its time and keeps the last ones. Callable from any thread; the signals
// reach the GUI thread queued.
class MessageLog : public QObject {
    Q_OBJECT
public:
    struct Entry {
        QDateTime time;
        QString text;
    };
    static constexpr int kKept = 200;

    static MessageLog& instance();

    // One problem, in plain words.
    void report(const QString& text);
    // A warning that stays visible until cleared under the same key (for example while saves
    // fail). Setting the same text again changes nothing.
    void setWarning(const QString& key, const QString& text);
    void clearWarning(const QString& key);

    QList<Entry> entries() const;
    // Key → text of the warnings standing now.
    QMap<QString, QString> warnings() const;
    // Tests start from an empty log.
    void clear();

signals:
    void reported(const QDateTime& time, const QString& text);
    void warningsChanged();

private:
    MessageLog() = default;
    mutable QMutex mutex_;
    QList<Entry> entries_;
    QMap<QString, QString> warnings_;
};
