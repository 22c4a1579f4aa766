#pragma once

// A real library loaded from a file written by LibraryBuilder, with its own
// settings file and cache folder in a temporary folder.

#include "LibraryBuilder.h"
#include "ScriptedUi.h"
#include "library/Library.h"
#include "library/LibraryLoader.h"
#include "library/SongContext.h"
#include "platform/Defaults.h"

#include <QTemporaryDir>

#include <memory>

class TestLibrary {
public:
    TestLibrary();

    // Loads a library file as the program does at start-up, replacing the library.
    LibraryLoader::Outcome loadFile(const QString& path);
    // Loads what the builder holds, which must load.
    Library& load();

    QString folder() const { return dir.path(); }
    Song* song(int trackId) const { return library->songWithTrackId(trackId); }

    QTemporaryDir dir;
    Defaults defaults;
    LibraryBuilder builder;
    ScriptedUi ui;
    std::unique_ptr<SongContext> context;
    std::unique_ptr<Library> library;
};
