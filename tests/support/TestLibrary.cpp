#include "TestLibrary.h"

#include "library/LibraryLoader.h"
#include "platform/Settings.h"

#include <gtest/gtest.h>

TestLibrary::TestLibrary() : defaults(dir.path() + QStringLiteral("/settings/Brisle.plist")), builder(dir.path() + QStringLiteral("/library")) {
    defaults.registerDefaults(settings::registeredDefaults());
    context = std::make_unique<SongContext>(defaults, true, dir.path() + QStringLiteral("/cache/"));
}

Library& TestLibrary::load() {
    library = std::make_unique<Library>(*context);
    LibraryLoader loader(ui);
    EXPECT_EQ(loader.load(*library, builder.write()), LibraryLoader::Outcome::Loaded);
    library->groupAlbums();
    library->readPlaylistsFrom(loader.document().get());
    return *library;
}
