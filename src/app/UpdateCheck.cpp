#include "UpdateCheck.h"

#include "platform/Alerts.h"
#include "platform/Defaults.h"
#include "platform/plist/Plist.h"

#include <QTimer>

#if BRISLE_UPDATE_CHECK
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#endif

#include <utility>

namespace {

constexpr std::chrono::hours kInterval{12};
// A reply is a few hundred bytes; anything near this is not an offer, and a
// server must not make us hold whatever it claims to send.
constexpr qint64 kMaxReply = 1 << 20;

const char* const kEndpoint = BRISLE_WEBSITE "/brisle/update";
const char* const kWebPage = BRISLE_WEBSITE "/brisle/";

}  // namespace

UpdateCheck::UpdateCheck(Defaults& defaults, Alerts& alerts, QObject* parent)
    : QObject(parent), defaults_(defaults), alerts_(alerts), timer_(new QTimer(this)) {
    timer_->setInterval(kInterval);
    connect(timer_, &QTimer::timeout, this, &UpdateCheck::checkForUpdates);
}

UpdateCheck::~UpdateCheck() = default;

#if BRISLE_UPDATE_CHECK

void UpdateCheck::start() {
    timer_->start();
    checkForUpdates();
}

QUrl UpdateCheck::endpoint() {
    const QByteArray given = qgetenv("BRISLE_UPDATE_URL");
    QUrl url(given.isEmpty() ? QString::fromUtf8(kEndpoint) : QString::fromUtf8(given), QUrl::StrictMode);
    return acceptable(url) ? url : QUrl();
}

bool UpdateCheck::acceptable(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty()) return false;
    if (url.scheme() == u"https") return true;
    if (url.scheme() != u"http") return false;
    if (url.host() == u"localhost") return true;
    const QHostAddress address(url.host());
    return !address.isNull() && address.isLoopback();
}

void UpdateCheck::checkForUpdates() {
    // One check at a time: the alert of the last one may still be showing.
    if (running_) return;
    const QUrl url = endpoint();
    if (!defaults_.boolean("checkForUpdates") || url.isEmpty()) {
        Q_EMIT finished();
        return;
    }
    if (!network_) network_ = new QNetworkAccessManager(this);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Brisle " BRISLE_VERSION));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(int(timeout_.count()));
    QNetworkReply* reply = network_->get(request);
    running_ = reply;
    body_.clear();
    reply->setReadBufferSize(64 * 1024);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        body_ += reply->read(kMaxReply + 1 - body_.size());
        if (body_.size() > kMaxReply || reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > kMaxReply)
            reply->abort();  // ends as an error, so it is dropped silently
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { received(reply); });
}

void UpdateCheck::received(QNetworkReply* reply) {
    reply->deleteLater();
    const QByteArray body = std::exchange(body_, {});
    const bool ok = reply->error() == QNetworkReply::NoError
        && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200
        && acceptable(reply->url());  // where a redirect led
    if (ok) {
        if (auto document = plist::parse(std::string_view(body.constData(), std::size_t(body.size())));
            document && document->root().isDict()) {
            const plist::Value root = document->root();
            // A missing or unreadable build reads as 0, which is never offered.
            offer(qint32(root["build"].asInteger()), QString::fromUtf8(root["description"].string()));
        }
    }
    running_ = nullptr;
    Q_EMIT finished();
}

void UpdateCheck::offer(qint32 build, const QString& description) {
    if (build <= qint32(defaults_.integer("skippedBuild")) || build <= kRunningBuild) return;
    const int answer = alerts_.alert(Alert{
        QStringLiteral("A new version of Brisle is available"),
        description,  // shown as sent: never a format
        {QStringLiteral("Go to Website"), QStringLiteral("Later"), QStringLiteral("Skip Update")},
    });
    if (answer == 0) {
        if (openUrl_) openUrl_(QUrl(QString::fromUtf8(kWebPage)));
    } else if (answer == 2) {
        if (auto saved = defaults_.set("skippedBuild", std::int64_t(build)); !saved) alerts_.warning(saved.error());
    }
}

#else  // built without the check

void UpdateCheck::start() {}
void UpdateCheck::checkForUpdates() { Q_EMIT finished(); }
QUrl UpdateCheck::endpoint() { return {}; }
bool UpdateCheck::acceptable(const QUrl&) { return false; }

#endif
