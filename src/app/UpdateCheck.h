#pragma once

// Asks the product's update endpoint whether a newer build exists, at start
// and every twelve hours, and offers it: open the web page, be reminded at
// the next check, or skip that build for good ("skippedBuild"). The request
// runs in the background of the event loop; every failure (no network, a
// time-out, a status other than 200, a reply that is not a property list or
// larger than 1 MiB) ends the check silently.
//
// Lives on the main thread. The alert goes through Alerts, so the window
// shows it and tests answer it; the web page opens through the window's own
// hook, the core having no desktop services of its own.

#include <QByteArray>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <functional>

class Alerts;
class Defaults;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class UpdateCheck : public QObject {
    Q_OBJECT
public:
    UpdateCheck(Defaults& defaults, Alerts& alerts, QObject* parent = nullptr);
    ~UpdateCheck() override;

    // Checks now, then every twelve hours. Does nothing when the program is
    // built without the check.
    void start();
    // One check, unless the user turned checks off ("checkForUpdates") or
    // one is still running.
    void checkForUpdates();

    // How "Go to Website" opens a page; the window sets QDesktopServices::openUrl.
    void setOpenUrl(std::function<void(const QUrl&)> open) { openUrl_ = std::move(open); }
    // The request's time-out (60 seconds).
    void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // The endpoint: $BRISLE_UPDATE_URL when set, else the product's. Empty
    // when it may not be asked (see acceptable).
    static QUrl endpoint();
    // Only HTTPS, or plain HTTP to this computer: an offer fetched in the
    // clear could be forged by anyone on the way.
    static bool acceptable(const QUrl& url);
    static constexpr int kRunningBuild = BRISLE_BUILD;

Q_SIGNALS:
    // A check ended, whatever its outcome (after the alert, if any, was answered).
    void finished();

private:
    void received(QNetworkReply* reply);
    void offer(qint32 build, const QString& description);

    Defaults& defaults_;
    Alerts& alerts_;
    std::function<void(const QUrl&)> openUrl_;
    std::chrono::milliseconds timeout_{std::chrono::seconds(60)};
    QTimer* timer_ = nullptr;
    QNetworkAccessManager* network_ = nullptr;
    QNetworkReply* running_ = nullptr;
    QByteArray body_;  // of the running reply
};
