#include "Cli.h"

#include "CliSession.h"
#include "platform/Locations.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>

namespace cli {

namespace {

const char* const kUsage =
    "usage: brisle COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  library --json                    the music library as read from the library file\n"
    "  select list [--json]              what goes on the player, as the list shows it\n"
    "  select add-playlist NAME-or-ID    add a playlist\n"
    "  select add-album NAME             add an album with every track ticked\n"
    "  select add-song NAME-or-ID        add a song (alone, or ticked in its album)\n"
    "  select remove ITEM                remove a playlist, album, song or file entry\n"
    "  select mode PLAYLIST as-playlist|as-albums\n"
    "                                    lay a playlist out as numbered files or in album folders\n"
    "  select check ALBUM TRACK on|off   tick or untick a track (by number, name or ID)\n"
    "  config show [--json]              the settings and their values\n"
    "  config set KEY VALUE              change a setting\n"
    "  plan --json                       what a sync would convert, copy, move and remove\n"
    "  sync [--dry-run]                  bring the player in line with the selection\n"
    "  volumes [--json]                  the volumes that can be players (* marks the player)\n"
    "  sort                              write the player's folders in sorted order\n"
    "  eject                             sort first if asked to (sortFilesOnDisk), then eject the player\n"
    "\n"
    "options:\n"
    "  --library FILE        the library file (default ~/Music/iTunes/iTunes Music Library.xml)\n"
    "  --config FILE         the settings file (default $XDG_CONFIG_HOME/Brisle/Brisle.plist)\n"
    "  --volumes DIR         the folder under which players are mounted\n"
    "  --yes                 answer questions with their default button\n"
    "  --json                print JSON\n"
    "  --version             print the version and stop\n";

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
        } else if (a == u"--dry-run") {
            o.dryRun = true;
        } else if (a == u"--watch") {
            o.watch = true;
        } else if (a == u"--help" || a == u"-h") {
            o.help = true;
        } else if (a == u"--version") {
            o.version = true;
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

}  // namespace

Session::Session(const Options& o)
    : defaults_(o.config.isEmpty() ? Locations::defaultSettingsFile() : o.config), ui_(o.yes),
      controller_(defaults_, ui_, Controller::Options{o.library}) {}

bool Session::loadLibrary() {
    if (auto loaded = defaults_.load(); !loaded) fail(loaded.error());
    return controller_.loadLibrary();
}

bool Session::restore() {
    if (!loadLibrary()) return false;
    controller_.restoreSavedState();
    return true;
}

bool claimPlayer(Controller& c) {
    auto claimed = c.claimPlayer();
    if (!claimed) fail(claimed.error());
    return bool(claimed);
}

void fail(const QString& message) { std::fprintf(stderr, "brisle: %s\n", qPrintable(message)); }

void print(const QString& text) {
    QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
}

int finishJson(JsonWriter& json) {
    int error = json.finish();
    if (error == 0) return 0;
    fail(QStringLiteral("cannot write the output: ") + QString::fromLocal8Bit(std::strerror(error)));
    return 1;
}

}  // namespace cli

int runCommandLine(const QStringList& arguments) {
    using namespace cli;
    std::optional<Options> o = parse(arguments);
    if (!o) return 2;
    if (o->version) {
        std::fputs("Brisle " BRISLE_VERSION "\n", stdout);
        return 0;
    }
    if (o->help || o->command.isEmpty()) {
        std::fputs(kUsage, o->help ? stdout : stderr);
        return o->help ? 0 : 2;
    }
    if (!o->volumes.isEmpty()) Locations::setVolumesFolder(o->volumes);

    static const std::map<QString, std::function<int(const Options&)>> commands = {
        {QStringLiteral("library"), libraryCommand},
        {QStringLiteral("select"), selectCommand},
        {QStringLiteral("config"), configCommand},
        {QStringLiteral("plan"), planCommand},
        {QStringLiteral("sync"), syncCommand},
        {QStringLiteral("volumes"), volumesCommand},
        {QStringLiteral("sort"), sortCommand},
        {QStringLiteral("eject"), ejectCommand},
    };
    auto it = commands.find(o->command);
    if (it == commands.end()) {
        fail(QStringLiteral("unknown command \"%1\"").arg(o->command));
        std::fputs(kUsage, stderr);
        return 2;
    }
    return it->second(*o);
}
