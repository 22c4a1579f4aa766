#include "LibraryLoader.h"

#include "platform/FileSystem.h"
#include "platform/Alerts.h"
#include "platform/plist/Plist.h"

#include <cstdio>

QString pathResolved(const QString& path, bool isPath) {
    if (path.isEmpty()) return {};
    if (fsys::exists(path)) return isPath ? QString() : path;
    return {};
}

namespace {

enum class ReadState { Unreadable, NotAList, Read };

ReadState readInto(const QString& path, std::shared_ptr<const plist::Document>& out) {
    out.reset();
    if (path.isEmpty()) return ReadState::Unreadable;
    auto doc = plist::readFile(fsys::encode(path).toStdString());
    if (doc) {
        out = std::make_shared<const plist::Document>(std::move(*doc));
        return ReadState::Read;
    }
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
        if (readInto(pathToItunes, document_) == ReadState::Unreadable) {
            ui_.alert({QStringLiteral("iTunes Library not found"), QStringLiteral("Brisle could not find your iTunes Library XML file."), {QStringLiteral("OK")}});
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
