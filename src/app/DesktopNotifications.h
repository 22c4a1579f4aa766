#pragma once

// Desktop notifications (org.freedesktop.Notifications over D-Bus) for what
// the user may want to hear of while the window is in the background: the
// sync is done and the player may be ejected, or an eject failed. Calls are
// sent without waiting for an answer; where no notification service runs,
// nothing happens. Each notification replaces the one before, so they never
// pile up.
//
// Lives on the main thread.

#include <QObject>
#include <QString>

class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    // An empty address means the session bus.
    explicit DesktopNotifications(const QString& busAddress = {}, QObject* parent = nullptr);
    ~DesktopNotifications() override;

    void syncFinished(const QString& playerName);
    void ejectFailed(const QString& playerName, const QString& reason);

private:
    void notify(const QString& summary, const QString& body);

    QString connection_;  // the name of our own connection, when not the session bus
    uint lastId_ = 0;     // the notification shown last, replaced by the next
};
