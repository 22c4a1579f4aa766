#include "CliWorld.h"

#include "platform/Defaults.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

CliWorld::CliWorld(Player player) : builder(dir.path() + QStringLiteral("/library")) {
    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.path() + QStringLiteral("/cache"));
    if (player != Player::Folder) {
        fat_ = std::make_unique<FatImage>(player == Player::FatImage ? FatImage::Kind::Fat32 : FatImage::Kind::ExFat);
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

bool CliWorld::ok(std::initializer_list<QStringList> commands) const {
    for (const QStringList& args : commands) {
        RunResult r = run(args);
        if (r.exitCode != 0) {
            ADD_FAILURE() << "brisle " << args.join(u' ').toStdString() << " failed:\n" << r.out.toStdString() << r.err.toStdString();
            return false;
        }
    }
    return true;
}

std::set<QString> CliWorld::recordedFiles() const {
    Defaults d(settingsFile());
    EXPECT_TRUE(d.load()) << "the settings file must always be readable";
    std::set<QString> out;
    const QString prefix = playerFolder() + u'/';
    if (std::optional<plist::Object> saved = d.object("previousSongs"); saved && saved->ifDict())
        for (const auto& [key, id] : *saved->ifDict()) {
            QString path = QString::fromStdString(key).normalized(QString::NormalizationForm_C);
            EXPECT_TRUE(path.startsWith(prefix)) << path.toStdString();
            out.insert(path.mid(prefix.size()));
        }
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

std::set<QString> CliWorld::playerFileNames() const {
    std::set<QString> out;
    for (const auto& [path, size] : playerFiles()) out.insert(path);
    return out;
}

QJsonObject CliWorld::plan() const {
    RunResult r = run({QStringLiteral("plan"), QStringLiteral("--json")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return QJsonDocument::fromJson(r.out.toUtf8()).object();
}

QStringList CliWorld::plannedPaths(const QJsonObject& plan, const char* list, const char* field) const {
    QStringList out;
    for (const QJsonValue& r : plan.value(QLatin1String(list)).toArray())
        out.append(r.toObject().value(QLatin1String(field)).toString().mid(playerFolder().size() + 1).normalized(QString::NormalizationForm_C));
    return out;
}
