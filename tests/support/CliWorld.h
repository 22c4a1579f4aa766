#pragma once

// A user's world for end-to-end tests of the program: a library, settings and
// cache folders, a volumes folder with a player (a real FAT image, or a plain
// folder), and the program run as a user runs it.

#include "FatImage.h"
#include "LibraryBuilder.h"
#include "Helpers.h"

#include <QJsonObject>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <set>

class CliWorld {
public:
    enum class Player { Folder, FatImage, ExFatImage };
    explicit CliWorld(Player player);

    bool ready() const { return !fat_ || fat_->ready(); }
    FatImage* fat() const { return fat_.get(); }
    QString volumesFolder() const { return volumes_; }
    QString playerFolder() const { return volumes_ + QStringLiteral("PLAYER/Music"); }

    // Runs brisle with the library and this world's folders.
    RunResult run(QStringList args, int timeoutMs = 120000) const;
    // Runs each command; a failure names it and ends the run.
    bool ok(std::initializer_list<QStringList> commands) const;
    QString library() const { return libraryFile_; }
    void writeLibrary() { libraryFile_ = builder.write(); }
    void useLibrary(const QString& file) { libraryFile_ = file; }

    // The program's own record of the player ("previousSongs"), relative to the player folder.
    std::set<QString> recordedFiles() const;
    // Every file below the player folder, relative to it, with its size.
    std::map<QString, qint64> playerFiles() const;
    std::set<QString> playerFileNames() const;
    QJsonObject plan() const;
    // The paths of a list of a plan ("copy", "move"...), relative to the player folder.
    QStringList plannedPaths(const QJsonObject& plan, const char* list, const char* field) const;
    QByteArray settingsBytes() const { return readFile(settingsFile()); }
    QString settingsFile() const { return dir.path() + QStringLiteral("/config/Brisle/Brisle.plist"); }

    QTemporaryDir dir;
    LibraryBuilder builder;
    QProcessEnvironment env;

private:
    std::unique_ptr<FatImage> fat_;
    QString volumes_;
    QString libraryFile_;
};
