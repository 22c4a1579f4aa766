#pragma once

// Finding and reading the library file at start-up, with the alerts that lead
// the user through having the file written anew when it is of a form that
// cannot be used.

#include "Library.h"

#include <QString>

class Alerts;

// Resolves a path the way the platform resolves aliases. Here symbolic links
// are followed by every read, so an existing path resolves to itself and a
// missing one to nothing (isPath asks for a folder).
QString pathResolved(const QString& path, bool isPath);

class LibraryLoader {
public:
    explicit LibraryLoader(Alerts& ui) : ui_(ui) {}

    enum class Outcome { Loaded, Quit };

    // Reads the file at pathToItunes into the library's tracks (grouping and
    // playlists are the caller's next steps). Answers Quit when the user
    // chose to quit or the file cannot be read at all.
    Outcome load(Library& library, const QString& pathToItunes);

    // The document last read, for the playlists.
    std::shared_ptr<const plist::Document> document() const { return document_; }

private:
    bool rebuild(const QString& pathToItunes);

    Alerts& ui_;
    std::shared_ptr<const plist::Document> document_;
};

// Reads and parses the file without alerts: nothing when it can't be read or
// isn't a property list.
std::shared_ptr<const plist::Document> readLibraryFile(const QString& path);
