#include "TestLibrary.h"

#include "platform/Settings.h"

#include <gtest/gtest.h>

TestLibrary::TestLibrary() : defaults(dir.path() + QStringLiteral("/settings/Brisle.plist")), builder(dir.path() + QStringLiteral("/library")) {
    defaults.registerDefaults(settings::registeredDefaults());
    context = std::make_unique<SongContext>(defaults, true, dir.path() + QStringLiteral("/cache/"));
}

LibraryLoader::Outcome TestLibrary::loadFile(const QString& path) {
    library = std::make_unique<Library>(*context);
    LibraryLoader loader(ui);
    const auto outcome = loader.load(*library, path);
    if (outcome == LibraryLoader::Outcome::Loaded) {
        library->groupAlbums();
        library->readPlaylistsFrom(loader.document().get());
    }
    return outcome;
}

Library& TestLibrary::load() {
    EXPECT_EQ(loadFile(builder.write()), LibraryLoader::Outcome::Loaded);
    return *library;
}
