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
        if (readInto(pathToItunes, document_, &why) == ReadState::Unreadable) {
            // A file that is there but can't be read is named, with the reason.
            QString message = fsys::existsNoFollow(pathToItunes)
                                  ? QStringLiteral("Brisle could not read your iTunes Library XML file %1: %2.").arg(pathToItunes, why)
                                  : QStringLiteral("Brisle could not find your iTunes Library XML file.");
            ui_.alert({QStringLiteral("iTunes Library not found"), message, {QStringLiteral("OK")}});
            return Outcome::Quit;
        }
        // A file that is not a property list counts as a library without tracks.
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
        answer = ui_.alert({QStringLiteral("Close and reopen iTunes"), QStringLiteral("Click Continue when you have closed and reopened iTunes."),
                            {QStringLiteral("Continue"), QStringLiteral("Quit")}});
        if (answer != 0) return false;
    }
    return true;
}
