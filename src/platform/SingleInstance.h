#pragma once

// One window per user session. The first Brisle to open its window owns the
// session-bus name "org.brisle.Brisle"; a later one asks that one to bring
// its window forward and then quits, so two windows never drive the same
// player. The bus hands a name to one owner at a time and takes it back when
// its process ends, so a crashed Brisle leaves nothing stale behind.
//
// Lives on the main thread.

#include <QObject>
#include <QString>

class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.brisle.Brisle")
public:
    // An empty address means the session bus.
    explicit SingleInstance(const QString& busAddress = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the one to open the window: it now owns the
    // name, or there is no session bus to share. False when another Brisle
    // owns it and was asked to raise its window: this one should quit.
    bool claimOrSignal();

Q_SIGNALS:
    // Another launch asked for the window. The token, when not empty, lets
    // the compositor give it the focus (XDG activation / startup id).
    void raiseRequested(const QString& activationToken);

public Q_SLOTS:
    // Called over the bus by the later launch.
    Q_SCRIPTABLE void Raise(const QString& activationToken);

private:
    QString connection_;
    bool owner_ = false;
};
