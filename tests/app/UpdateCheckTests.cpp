#include "app/UpdateCheck.h"
#include "support/Helpers.h"
#include "support/TestLibrary.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

namespace {

constexpr int kBuild = UpdateCheck::kRunningBuild;

QByteArray offer(const QByteArray& build, const QByteArray& description = "New songs") {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>build</key>" + build + "<key>description</key><string>" + description
        + "</string></dict></plist>";
}
QByteArray offer(int build) { return offer("<integer>" + QByteArray::number(build) + "</integer>"); }
// Without a length the body runs to the end of the connection, so only the
// reader's own limit can stop a large one.
QByteArray http(const QByteArray& status, const QByteArray& body) { return "HTTP/1.1 " + status + "\r\nConnection: close\r\n\r\n" + body; }

}  // namespace

TEST(UpdateCheck, OffersOnlyNewerBuildsNotSkippedAndEveryFailureIsSilent) {
    TestLibrary t;  // for its settings and scripted answers
    UpdateCheck check(t.defaults, t.ui);
    check.setTimeout(std::chrono::milliseconds(500));
    QList<QUrl> opened;
    int finished = 0;
    check.setOpenUrl([&](const QUrl& url) { opened.append(url); });
    QObject::connect(&check, &UpdateCheck::finished, [&] { ++finished; });

    QTcpServer server, closed;  // the closed one's port refuses connections
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost) && closed.listen(QHostAddress::LocalHost));
    const quint16 refusing = closed.serverPort();
    closed.close();
    QByteArray response, request;  // no response: the server never answers
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
            request += socket->readAll();
            if (request.contains("\r\n\r\n") && !response.isEmpty()) socket->write(response), socket->disconnectFromHost();
        });
    });

    struct Step { const char* name; QByteArray response; int answer /* -1: no alert may show */; quint16 port = 0; bool off = false; };
    const QByteArray newer = http("200 OK", offer(99999));
    const Step steps[] = {
        {"the running build", http("200 OK", offer(kBuild)), -1},
        {"one above: Later", http("200 OK", offer(kBuild + 1)), 1},
        {"offered again: Skip", http("200 OK", offer(kBuild + 1)), 2},
        {"the skipped build", http("200 OK", offer(kBuild + 1)), -1},
        {"one higher, as text, a % in it", http("200 OK", offer("<string>" + QByteArray::number(kBuild + 2) + "</string>", "100% better, %1 %s")), 0},
        {"not found", http("404 Not Found", offer(99999)), -1},
        {"plain text", http("200 OK", "build=99999"), -1},
        {"10 MB, no length given", http("200 OK", offer("<integer>99999</integer>", QByteArray(10 << 20, 'x'))), -1},
        {"a refused connection", newer, -1, refusing},
        {"checks turned off", newer, -1, 0, true},
        {"a server that never answers", {}, -1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        qputenv("BRISLE_UPDATE_URL", QStringLiteral("http://localhost:%1/brisle/update").arg(step.port ? step.port : server.serverPort()).toUtf8());
        ASSERT_TRUE(t.defaults.set("checkForUpdates", !step.off));
        response = step.response;
        request.clear();
        if (step.answer >= 0) t.ui.expect(QStringLiteral("A new version of Brisle is available"), step.answer);
        const int before = finished;
        check.checkForUpdates();
        ASSERT_TRUE(waitUntil([&] { return finished > before; }, 3000));
        EXPECT_TRUE(t.ui.script.empty() && t.ui.unexpected.isEmpty());
    }
    qunsetenv("BRISLE_UPDATE_URL");
    EXPECT_EQ(t.ui.lastMessage, QStringLiteral("100% better, %1 %s"));
    EXPECT_EQ(t.defaults.integer("skippedBuild"), kBuild + 1);
    EXPECT_EQ(opened, QList<QUrl>{QUrl(QStringLiteral(BRISLE_WEBSITE "/brisle/"))});
    EXPECT_TRUE(request.startsWith("GET /brisle/update HTTP/1.1\r\n"));
    EXPECT_TRUE(request.contains("\r\nUser-Agent: Brisle " BRISLE_VERSION "\r\n") && request.contains("\r\nCache-Control: no-cache\r\n"));

    for (auto [url, ok] : {std::pair{"https://example.org/u", true}, {"http://[::1]:80/u", true}, {"http://example.org/u", false},
                           {"http://127.0.0.1.example.org/u", false}, {"ftp://127.0.0.1/u", false}})
        EXPECT_EQ(UpdateCheck::acceptable(QUrl(QString::fromUtf8(url))), ok) << url;
}
