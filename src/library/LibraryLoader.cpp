#include "LibraryLoader.h"

#include "platform/FileSystem.h"
#include "platform/Alerts.h"
#include "platform/plist/Plist.h"

#include <cstdio>

#include <unistd.h>

QString pathResolved(const QString& path, bool isPath) {
    if (path.isEmpty()) return {};
    if (fsys::exists(path)) return isPath ? QString() : path;
    return {};
}

namespace {

enum class ReadState { Unreadable, NotAList, Read };

// Only a regular file is read, and no further than its size when opened: a
// FIFO would hold the start for ever, a device like /dev/zero fill memory.
ReadState readInto(const QString& path, std::shared_ptr<const plist::Document>& out, QString* why = nullptr) {
    out.reset();
    if (path.isEmpty()) return ReadState::Unreadable;
    std::expected<int, QString> fd = fsys::openSource(path);
    if (!fd) {
        if (why) *why = fd.error();
        return ReadState::Unreadable;
    }
    const std::string name = fsys::encode(path).toStdString();
    auto doc = plist::readFile(*fd, name);
    ::close(*fd);
    if (doc) {
        out = std::make_shared<const plist::Document>(std::move(*doc));
        return ReadState::Read;
    }
    // The reader's message starts with the name, which the caller gives.
    if (why) *why = QString::fromStdString(doc.error().message.substr(doc.error().message.starts_with(name + ": ") ? name.size() + 2 : 0));
    return doc.error().kind == plist::Error::Kind::Io ? ReadState::Unreadable : ReadState::NotAList;
}

}  // namespace

std::shared_ptr<const plist::Document> readLibraryFile(const QString& path) {
    std::shared_ptr<const plist::Document> doc;
    readInto(path, doc);
    return doc;
}

LibraryLoader::Outcome LibraryLoader::load(Library& library, const QString& pathToItunes) {
    for (;;) {
        QString why;
        ReadState state = readInto(pathToItunes, document_, &why);
        if (state == ReadState::Unreadable) {
            // A file that is there but can't be read is named, with the reason.
            QString message = fsys::existsNoFollow(pathToItunes)
                                  ? QStringLiteral("Brisle could not read your iTunes Library XML file %1: %2.").arg(pathToItunes, why)
                                  : QStringLiteral("Brisle could not find your iTunes Library XML file at %1.").arg(pathToItunes);
            ui_.alert({QStringLiteral("iTunes Library not found"), message, {QStringLiteral("OK")}});
            return Outcome::Quit;
        }
        // A broken file (cut short, zeros, another kind of file) is never an
        // empty library: that would read as every song deleted.
        if (state == ReadState::Read && !document_->root()["Tracks"].isDict()) why = QStringLiteral("it has no \"Tracks\" dictionary");
        if (!why.isEmpty()) {
            ui_.alert({QStringLiteral("iTunes Library XML unreadable"),
                       QStringLiteral("Brisle could not read your iTunes Library XML file %1: %2.").arg(pathToItunes, why), {QStringLiteral("OK")}});
            return Outcome::Quit;
        }
        Library::Counts counts = library.loadTracks(document_);
        if (!counts.unusable()) return Outcome::Loaded;
        if (!rebuild(pathToItunes)) return Outcome::Quit;
    }
}

bool LibraryLoader::rebuild(const QString& pathToItunes) {
    int answer = ui_.alert({QStringLiteral("iTunes Library XML not compatible"),
                            QStringLiteral("Your iTunes Library XML file needs to be rebuilt. This operation is safe and will not damage your library. You will need to restart iTunes."),
                            {QStringLiteral("Continue"), QStringLiteral("Quit")}});
    if (answer != 0) return false;
    // An earlier backup is never overwritten.
    QString backup = fsys::unusedName(pathToItunes, QStringLiteral(" (Brisle backup)"));
    if (std::rename(fsys::encode(pathToItunes).constData(), fsys::encode(backup).constData()) != 0) {
        ui_.alert({QStringLiteral("iTunes Library XML not compatible"),
                   QStringLiteral("Brisle could not move %1 aside to %2.").arg(pathToItunes, backup),
                   {QStringLiteral("OK")}});
        return false;
    }
    while (!fsys::exists(pathToItunes)) {
        answer = ui_.alert({QStringLiteral("Close and reopen iTunes"),
                            QStringLiteral("Your library file was moved aside to %1. Click Continue when you have closed and reopened iTunes "
                                           "and it has written %2 anew.")
                                .arg(backup, pathToItunes),
                            {QStringLiteral("Continue"), QStringLiteral("Quit")}});
        if (answer == 0) continue;
        // Nothing was written anew: the user's file goes back where it was.
        if (!fsys::existsNoFollow(pathToItunes) && std::rename(fsys::encode(backup).constData(), fsys::encode(pathToItunes).constData()) == 0)
            ui_.warning(QStringLiteral("The library file is back at %1.").arg(pathToItunes));
        else
            ui_.warning(QStringLiteral("The library file stays at %1.").arg(backup));
        return false;
    }
    return true;
}
