#include "Cli.h"

#include "CliUserInterface.h"
#include "Controller.h"
#include "platform/Defaults.h"
#include "platform/Locations.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <functional>
#include <map>

namespace {

const char* const kUsage =
    "usage: brisle COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  library --json        print the music library as read from the library file\n"
    "\n"
    "options:\n"
    "  --library FILE        the library file (default ~/Music/iTunes/iTunes Music Library.xml)\n"
    "  --config FILE         the settings file (default $XDG_CONFIG_HOME/Brisle/Brisle.plist)\n"
    "  --volumes DIR         the folder under which players are mounted\n"
    "  --yes                 answer questions with their default button\n"
    "  --json                print JSON\n";

struct Options {
    QString command;
    QStringList positional;
    QString library, config, volumes;
    bool yes = false, json = false, help = false;
};

void fail(const QString& message) { std::fprintf(stderr, "brisle: %s\n", qPrintable(message)); }

std::optional<Options> parse(const QStringList& args) {
    Options o;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString& out) {
            if (i + 1 >= args.size()) {
                fail(a + QStringLiteral(" needs a value"));
                return false;
            }
            out = args[++i];
            return true;
        };
        if (a == u"--library") {
            if (!value(o.library)) return std::nullopt;
        } else if (a == u"--config") {
            if (!value(o.config)) return std::nullopt;
        } else if (a == u"--volumes") {
            if (!value(o.volumes)) return std::nullopt;
        } else if (a == u"--yes" || a == u"-y") {
            o.yes = true;
        } else if (a == u"--json") {
            o.json = true;
        } else if (a == u"--help" || a == u"-h") {
            o.help = true;
        } else if (a.startsWith(u"--")) {
            fail(QStringLiteral("unknown option ") + a);
            return std::nullopt;
        } else if (o.command.isEmpty()) {
            o.command = a;
        } else {
            o.positional.append(a);
        }
    }
    return o;
}

void printJson(const QJsonObject& object) {
    QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
}

QJsonValue orNull(const QString& s) { return s.isNull() ? QJsonValue() : QJsonValue(s); }

QJsonArray persistentIds(const std::vector<Song*>& songs) {
    QJsonArray ids;
    for (const Song* s : songs) ids.append(s->persistentId());
    return ids;
}

// Everything a command needs: settings, the alert answering, the controller.
class Session {
public:
    explicit Session(const Options& o)
        : defaults_(o.config.isEmpty() ? Locations::defaultSettingsFile() : o.config), ui_(o.yes),
          controller_(defaults_, ui_, Controller::Options{o.library}) {}

    bool start() {
        if (auto loaded = defaults_.load(); !loaded) fail(loaded.error());
        return controller_.loadLibrary();
    }
    Controller& controller() { return controller_; }

private:
    Defaults defaults_;
    CliUserInterface ui_;
    Controller controller_;
};

int libraryCommand(const Options& o) {
    if (!o.json) {
        fail(QStringLiteral("library: only --json output is offered"));
        return 2;
    }
    Session session(o);
    if (!session.start()) return 1;
    const Controller& c = session.controller();
    const Library& lib = c.library();

    QJsonArray songs;
    for (const auto& s : lib.songs()) {
        songs.append(QJsonObject{
            {QStringLiteral("trackId"), qint64(s->trackId())},
            {QStringLiteral("persistentId"), s->persistentId()},
            {QStringLiteral("name"), orNull(s->dict()["Name"].isString() ? s->name() : QString())},
            {QStringLiteral("album"), s->albumName()},
            {QStringLiteral("index"), s->index()},
            {QStringLiteral("needsConversion"), s->needsConversion()},
            {QStringLiteral("cachePath"), s->cachePath()},
            {QStringLiteral("albumPath"), s->albumPath()},
            {QStringLiteral("copiedSize"), qint64(s->copiedSize())},
        });
    }
    QJsonArray albums;
    for (const auto& a : lib.albums()) {
        albums.append(QJsonObject{
            {QStringLiteral("name"), a->name()},
            {QStringLiteral("artist"), a->artist()},
            {QStringLiteral("tracks"), persistentIds(a->tracks())},
        });
    }
    QJsonArray playlists;
    for (const QString& id : lib.playlistIds()) {
        const Album* p = lib.playlistWithID(id);
        playlists.append(QJsonObject{
            {QStringLiteral("id"), id},
            {QStringLiteral("name"), p->name()},
            {QStringLiteral("tracks"), persistentIds(p->tracks())},
        });
    }
    Library::Counts counts = lib.counts();
    printJson(QJsonObject{
        {QStringLiteral("libraryPath"), c.pathToItunes()},
        {QStringLiteral("candidates"), counts.candidates},
        {QStringLiteral("usable"), counts.usable},
        {QStringLiteral("songs"), songs},
        {QStringLiteral("albums"), albums},
        {QStringLiteral("playlists"), playlists},
    });
    return 0;
}

}  // namespace

int runCommandLine(const QStringList& arguments) {
    std::optional<Options> o = parse(arguments);
    if (!o) return 2;
    if (o->help || o->command.isEmpty()) {
        std::fputs(kUsage, o->help ? stdout : stderr);
        return o->help ? 0 : 2;
    }
    if (!o->volumes.isEmpty()) Locations::setVolumesFolder(o->volumes);

    static const std::map<QString, std::function<int(const Options&)>> commands = {
        {QStringLiteral("library"), libraryCommand},
    };
    auto it = commands.find(o->command);
    if (it == commands.end()) {
        fail(QStringLiteral("unknown command \"%1\"").arg(o->command));
        std::fputs(kUsage, stderr);
        return 2;
    }
    return it->second(*o);
}
