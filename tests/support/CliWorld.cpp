#include "CliWorld.h"

#include "platform/Defaults.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>

#include <gtest/gtest.h>

CliWorld::CliWorld(Player player) : builder(dir.path() + QStringLiteral("/library")) {
    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.path() + QStringLiteral("/cache"));
    if (player == Player::FatImage) {
        fat_ = std::make_unique<FatImage>(FatImage::Options{});
        volumes_ = fat_->volumesFolder();
    } else {
        volumes_ = dir.path() + QStringLiteral("/Volumes/");
        // A folder that stands in for a mounted player, its music folder made.
        QDir().mkpath(volumes_ + QStringLiteral("PLAYER/Music"));
    }
    env.insert(QStringLiteral("BRISLE_VOLUMES"), volumes_);
}

RunResult CliWorld::run(QStringList args, int timeoutMs) const {
    args << QStringLiteral("--library") << libraryFile_;
    return runBrisle(args, env, timeoutMs);
}

std::map<QString, QString> CliWorld::previousSongs() const {
    Defaults d(dir.path() + QStringLiteral("/config/Brisle/Brisle.plist"));
    EXPECT_TRUE(d.load()) << "the settings file must always be readable";
    std::map<QString, QString> out;
    if (std::optional<plist::Object> saved = d.object("previousSongs"); saved && saved->ifDict())
        for (const auto& [path, id] : *saved->ifDict()) out[QString::fromStdString(path).normalized(QString::NormalizationForm_C)] = QString::fromStdString(id.asString());
    return out;
}

std::map<QString, qint64> CliWorld::playerFiles() const {
    std::map<QString, qint64> out;
    QDirIterator it(playerFolder(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        out[it.filePath().mid(playerFolder().size() + 1).normalized(QString::NormalizationForm_C)] = it.fileInfo().size();
    }
    return out;
}

QJsonObject CliWorld::plan() const {
    RunResult r = run({QStringLiteral("plan"), QStringLiteral("--json")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return QJsonDocument::fromJson(r.out.toUtf8()).object();
}
