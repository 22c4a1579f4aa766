#include "app/UpdateCheck.h"
#include "platform/Defaults.h"
#include "platform/Settings.h"
#include "support/Helpers.h"
#include "support/QtPrinters.h"
#include "support/ScriptedUi.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

constexpr int kBuild = UpdateCheck::kRunningBuild;
const QString kTitle = QStringLiteral("A new version of Brisle is available");

QByteArray offer(const QByteArray& build, const QByteArray& description = "New songs") {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>build</key>" + build + "<key>description</key><string>" + description
        + "</string></dict></plist>";
}
QByteArray integer(int build) { return "<integer>" + QByteArray::number(build) + "</integer>"; }
// Without a length the body runs to the end of the connection, so only the
// reader's own limit can stop a large one.
QByteArray http(const QByteArray& status, const QByteArray& body, bool withLength = true) {
    return "HTTP/1.1 " + status + "\r\nConnection: close\r\n"
        + (withLength ? "Content-Length: " + QByteArray::number(body.size()) + "\r\n" : QByteArray()) + "\r\n" + body;
}

struct Step {
    const char* name;
    QByteArray response;  // empty: the server reads the request and never answers
    int answer;           // -1: no alert may show
    QString message = {};
};

}  // namespace

TEST(UpdateCheck, OffersOnlyNewerBuildsNotSkippedAndEveryFailureIsSilent) {
    QTemporaryDir dir;
    Defaults defaults(dir.path() + QStringLiteral("/Brisle.plist"));
    defaults.registerDefaults(settings::registeredDefaults());
    ScriptedUi ui;
    UpdateCheck check(defaults, ui);
    check.setTimeout(std::chrono::milliseconds(500));
    QList<QUrl> opened;
    check.setOpenUrl([&](const QUrl& url) { opened.append(url); });
    int finished = 0;
    QObject::connect(&check, &UpdateCheck::finished, [&] { ++finished; });

    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QByteArray response, lastRequest;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
            lastRequest += socket->readAll();
            if (!lastRequest.contains("\r\n\r\n") || response.isEmpty()) return;
            socket->write(response);
            socket->disconnectFromHost();
        });
    });
    qputenv("BRISLE_UPDATE_URL", QStringLiteral("http://127.0.0.1:%1/brisle/update").arg(server.serverPort()).toUtf8());

    const QByteArray huge = offer(integer(kBuild + 9), QByteArray(10 << 20, 'x'));
    const Step steps[] = {
        {"the running build", http("200 OK", offer(integer(kBuild))), -1},
        {"one above, a % shown as sent", http("200 OK", offer(integer(kBuild + 1), "100% better, %1 %s")), 1, QStringLiteral("100% better, %1 %s")},
        {"Later offers it again; now skipped", http("200 OK", offer(integer(kBuild + 1))), 2},
        {"the skipped build", http("200 OK", offer(integer(kBuild + 1))), -1},
        {"one higher than the skipped, as text", http("200 OK", offer("<string>" + QByteArray::number(kBuild + 2) + "</string>")), 0},
        {"not found", http("404 Not Found", offer(integer(kBuild + 9))), -1},
        {"plain text", http("200 OK", "build=99999999"), -1},
        {"10 MB, no length given", http("200 OK", huge, false), -1},
        {"10 MB, length given", http("200 OK", huge), -1},
        {"a server that never answers", {}, -1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        response = step.response;
        lastRequest.clear();
        if (step.answer >= 0) ui.expect(kTitle, step.answer);
        const int before = finished;
        QElapsedTimer clock;
        clock.start();
        check.checkForUpdates();
        ASSERT_TRUE(waitUntil([&] { return finished > before; }, 5000));
        EXPECT_LT(clock.elapsed(), 3000);
        EXPECT_TRUE(ui.script.empty() && ui.unexpected.isEmpty()) << ui.unexpected.join(u',').toStdString();
        if (!step.message.isNull()) {
            EXPECT_EQ(ui.lastMessage, step.message);
        }
    }
    EXPECT_TRUE(lastRequest.startsWith("GET /brisle/update HTTP/1.1\r\n"));
    EXPECT_TRUE(lastRequest.contains("\r\nUser-Agent: Brisle " BRISLE_VERSION "\r\n")) << lastRequest.toStdString();
    EXPECT_TRUE(lastRequest.contains("\r\nCache-Control: no-cache\r\n"));
    EXPECT_EQ(defaults.integer("skippedBuild"), kBuild + 1);
    EXPECT_EQ(opened, QList<QUrl>{QUrl(QStringLiteral(BRISLE_WEBSITE "/brisle/"))});

    // Refused connections, and users who turned checks off, see nothing.
    ASSERT_TRUE(defaults.set("checkForUpdates", false));
    lastRequest.clear();
    check.checkForUpdates();
    waitUntil([] { return false; }, 100);
    EXPECT_TRUE(lastRequest.isEmpty());
    const quint16 port = server.serverPort();
    server.close();
    ASSERT_TRUE(defaults.set("checkForUpdates", true));
    qputenv("BRISLE_UPDATE_URL", QStringLiteral("http://localhost:%1/").arg(port).toUtf8());
    const int before = finished;
    check.checkForUpdates();
    ASSERT_TRUE(waitUntil([&] { return finished > before; }, 3000));
    EXPECT_EQ(ui.shown.size(), 3);
    qunsetenv("BRISLE_UPDATE_URL");

    for (const char* url : {"https://example.org/u", "http://[::1]:8080/u", "http://127.0.0.2/u"})
        EXPECT_TRUE(UpdateCheck::acceptable(QUrl(QString::fromUtf8(url)))) << url;
    for (const char* url : {"http://example.org/u", "http://127.0.0.1.example.org/u", "ftp://127.0.0.1/u", "file:///etc/u"})
        EXPECT_FALSE(UpdateCheck::acceptable(QUrl(QString::fromUtf8(url)))) << url;
}
