#pragma once

// The process-wide centre on which FWKQueue posts its notifications when it
// has no delegate or always notifies. The signal is emitted on the posting
// thread (FWKQueue's watcher thread): connect with the default or a queued
// connection and a receiver on the main thread to get it there.

#include <QObject>
#include <QString>

class FWWorkspaceNotificationCenter : public QObject {
    Q_OBJECT

public:
    // Made on first use, from any thread; lives for the whole process.
    static FWWorkspaceNotificationCenter* instance();

    void postNotification(const QString& name, const QString& path);

Q_SIGNALS:
    void posted(const QString& name, const QString& path);

private:
    FWWorkspaceNotificationCenter() = default;
};
