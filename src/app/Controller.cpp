#include "Controller.h"

#include "library/LibraryLoader.h"
#include "platform/Defaults.h"
#include "platform/Locations.h"
#include "platform/UserInterface.h"
#include "workers/Encoder.h"

Controller::Controller(Defaults& defaults, UserInterface& ui, Options options, QObject* parent)
    : QObject(parent), defaults_(defaults), ui_(ui), options_(std::move(options)) {}

Controller::~Controller() = default;

QString Controller::pathToPlayer() const { return defaults_.string("pathToPlayer"); }

bool Controller::loadLibrary() {
    conversionOn_ = mp3EncoderAvailable();
    defaults_.registerDefaults(Defaults::standardDefaults());
    songContext_ = std::make_unique<SongContext>(defaults_, conversionOn_, Locations::cacheFolder());
    library_ = std::make_unique<Library>(*songContext_);

    QString file = options_.libraryFile.isEmpty() ? Locations::defaultLibraryFile() : options_.libraryFile;
    pathToItunes_ = pathResolved(file, false);
    LibraryLoader loader(ui_);
    if (loader.load(*library_, pathToItunes_) == LibraryLoader::Outcome::Quit) return false;
    library_->groupAlbums();
    library_->readPlaylistsFrom(loader.document().get());
    return true;
}
