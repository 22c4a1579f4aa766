// The command line's grammar: `brisle [options] COMMAND [options] [words]`.
// Each command has its own parser, so a word or option it does not take is
// refused with its usage before anything is read or written.

#include "Cli.h"

#include "CliSession.h"
#include "platform/SignalWatcher.h"
#include "platform/Locations.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <cstring>

namespace cli {

namespace {

enum Flag : unsigned { Json = 1, DryRun = 2, Watch = 4, Yes = 8, Quiet = 16, Verbose = 32 };

struct OptionSpec {
    unsigned flag;  // 0: taken by every command
    const char* names;  // "n,dry-run"
    const char* valueName;
    const char* help;
};

const OptionSpec kOptions[] = {
    {Json, "json", nullptr, "print JSON"},
    {DryRun, "n,dry-run", nullptr, "show what would be done and change nothing"},
    {Watch, "watch", nullptr, "keep the player in step until Ctrl-C"},
    {Quiet, "q,quiet", nullptr, "print only the outcome and the errors"},
    {Verbose, "v,verbose", nullptr, "a line for every step, also on a terminal"},
    {Yes, "y,yes", nullptr, "answer questions with their default button, e.g. have an\n"
                            "unusable library file written anew and wait for it"},
    {0, "library", "FILE", "the library file\n(default ~/Music/iTunes/iTunes Music Library.xml)"},
    {0, "config", "FILE", "the settings file\n(default $XDG_CONFIG_HOME/Brisle/Brisle.plist)"},
    {0, "volumes", "DIR", "the folder under which players are mounted (default\n"
                          "$BRISLE_VOLUMES, else /run/media/$USER/ or /media/$USER/)"},
    {0, "h,help", nullptr, "this help"},
};

struct Command {
    const char* name;
    int (*run)(const Options&);
    unsigned flags;
    bool takesWords;  // select and config check their own words
    const char* usage;  // the lines after "usage: brisle "
    const char* about;
    const char* example;
};

const Command kCommands[] = {
    {"library", libraryCommand, Json | Yes, false, "library [--json]",
     "Reads the library file and tells what of it can go on a player: the songs,\n"
     "albums and playlists, and the tracks left out with the reason (protected,\n"
     "videos, not files, no persistent ID, file missing). With --json, every song,\n"
     "album and playlist.",
     "brisle library --library \"/mnt/old/iTunes/iTunes Music Library.xml\""},
    {"select", selectCommand, Json | Yes, true,
     "select list [--json]\n"
     "select add-playlist NAME-or-ID\n"
     "select add-album NAME\n"
     "select add-song NAME-or-ID\n"
     "select remove ITEM\n"
     "select mode PLAYLIST as-playlist|as-albums\n"
     "select check ALBUM TRACK on|off",
     "Chooses what goes on the player: playlists (as numbered files or in album\n"
     "folders), albums with a check box per track, and single songs. A name is\n"
     "matched exactly, then without regard to case; an ID always picks one item.\n"
     "Several equally good matches are refused with the candidates listed.",
     "brisle select add-album \"Greatest Hits\" && brisle select check \"Greatest Hits\" 3 off"},
    {"config", configCommand, Json, true,
     "config show [--json]\n"
     "config set KEY VALUE",
     "Shows the settings or changes one; a value of the wrong kind is refused\n"
     "before anything is written. pathToPlayer is the player's music folder.",
     "brisle config set pathToPlayer /media/$USER/PLAYER/Music"},
    {"plan", planCommand, Json | Yes, false, "plan --json",
     "Plans a sync and prints what it would convert, copy, move and remove, and\n"
     "the record of the files on the player, as JSON. Nothing is written.",
     "brisle plan --json > plan.json"},
    {"sync", syncCommand, DryRun | Watch | Quiet | Verbose | Yes, false,
     "sync [-n] [-q | -v]\n"
     "sync --watch [-q | -v]",
     "Brings the player in line with the selection: converts what the player can't\n"
     "play to MP3 in the cache, copies what is missing, moves what is misplaced and\n"
     "removes what is no longer wanted. Exits 0 when the player holds what was\n"
     "planned, 1 when some files could not be put in place (they are named), and\n"
     "130 on Ctrl-C, which stops within a second. With --watch it keeps doing so as\n"
     "the player comes and goes, the library file is rewritten and the selection\n"
     "changes, until Ctrl-C.",
     "brisle sync -n"},
    {"volumes", volumesCommand, Json, false, "volumes [--json]",
     "Lists the mounted volumes that can be players; * marks the chosen player.",
     "brisle volumes --volumes /media/$USER"},
    {"sort", sortCommand, Yes, false, "sort",
     "Writes the player's folders in sorted order, for players that play files in\n"
     "the order they were written. The player must hold what is planned.",
     "brisle sort"},
    {"eject", ejectCommand, Yes, false, "eject",
     "Sorts the player's folders first when sortFilesOnDisk is set, then unmounts\n"
     "and ejects the player. The player must hold what is planned.",
     "brisle eject"},
};

const char* const kOverview =
    "usage: brisle COMMAND [options]\n"
    "       brisle help COMMAND               a command's own help, with an example\n"
    "       brisle --version\n"
    "\n"
    "commands:\n"
    "  library [--json]                  what the library file holds for the player\n"
    "  select list [--json]              what goes on the player, as the list shows it\n"
    "  select add-playlist NAME-or-ID    add a playlist\n"
    "  select add-album NAME             add an album with every track ticked\n"
    "  select add-song NAME-or-ID        add a song (alone, or ticked in its album)\n"
    "  select remove ITEM                remove a playlist, album or song\n"
    "  select mode PLAYLIST as-playlist|as-albums\n"
    "                                    lay a playlist out as numbered files or in album folders\n"
    "  select check ALBUM TRACK on|off   tick or untick a track (by number, name or ID)\n"
    "  config show [--json]              the settings and their values\n"
    "  config set KEY VALUE              change a setting\n"
    "  plan --json                       what a sync would convert, copy, move and remove\n"
    "  sync [-n] [-q | -v]               bring the player in line with the selection\n"
    "  sync --watch [-q | -v]            keep doing so as the player comes and goes and the\n"
    "                                    library file and the selection change\n"
    "  volumes [--json]                  the volumes that can be players (* marks the player)\n"
    "  sort                              write the player's folders in sorted order\n"
    "  eject                             sort first if asked to (sortFilesOnDisk), then eject\n"
    "\n"
    "options of every command:\n"
    "  --library FILE    the library file (default ~/Music/iTunes/iTunes Music Library.xml)\n"
    "  --config FILE     the settings file (default $XDG_CONFIG_HOME/Brisle/Brisle.plist)\n"
    "  --volumes DIR     the folder under which players are mounted\n"
    "  -h, --help        the command's own help\n"
    "Options take their value as --opt VALUE or --opt=VALUE. A command's other options\n"
    "(-n, -q, -v, -y, --json) are in its help.\n";

const Command* findCommand(const QString& name) {
    for (const Command& c : kCommands)
        if (name == QLatin1String(c.name)) return &c;
    return nullptr;
}

QStringList namesOf(const OptionSpec& opt) { return QString::fromLatin1(opt.names).split(u','); }

bool offered(const OptionSpec& opt, const Command& c) { return opt.flag == 0 || (c.flags & opt.flag); }

QString usageOf(const Command& c) {
    QString text;
    for (const QString& line : QString::fromLatin1(c.usage).split(u'\n'))
        text += (text.isEmpty() ? QStringLiteral("usage: brisle ") : QStringLiteral("       brisle ")) + line + QStringLiteral(" [options]\n");
    text += QStringLiteral("\noptions:\n");
    for (const OptionSpec& opt : kOptions) {
        if (!offered(opt, c)) continue;
        QStringList names = namesOf(opt);
        QString left = names.size() > 1 ? QStringLiteral("-%1, --%2").arg(names[0], names[1]) : QStringLiteral("    --") + names[0];
        if (opt.valueName) left += u' ' + QLatin1String(opt.valueName);
        QStringList help = QString::fromLatin1(opt.help).split(u'\n');
        for (const QString& line : help) {
            text += QStringLiteral("  %1  %2\n").arg(left, -18).arg(line);
            left.clear();
        }
    }
    return text;
}

QString helpOf(const Command& c) {
    QString usage = usageOf(c);
    qsizetype options = usage.indexOf(QStringLiteral("\noptions:"));
    return usage.left(options) + u'\n' + QLatin1String(c.about) + u'\n' + usage.mid(options) + QStringLiteral("\nexample:\n  ") +
           QLatin1String(c.example) + u'\n';
}

void out(FILE* stream, const QString& text) {
    QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
}

// Qt's texts read "Unknown option 'x'."; ours are lower case without the stop.
QString parserError(const QCommandLineParser& parser) {
    QString text = parser.errorText();
    if (text.endsWith(u'.')) text.chop(1);
    if (!text.isEmpty()) text[0] = text[0].toLower();
    return text;
}

std::optional<Options> parse(const Command& c, const QStringList& args) {
    QCommandLineParser parser;
    for (const OptionSpec& opt : kOptions)
        if (offered(opt, c))
            parser.addOption(opt.valueName ? QCommandLineOption(namesOf(opt), QString(), QLatin1String(opt.valueName)) : QCommandLineOption(namesOf(opt)));
    if (!parser.parse(QStringList{QStringLiteral("brisle")} + args)) {
        usageError(QLatin1String(c.name), parserError(parser));
        return std::nullopt;
    }
    Options o;
    o.command = QLatin1String(c.name);
    o.positional = parser.positionalArguments();
    o.help = parser.isSet(QStringLiteral("help"));
    if (!c.takesWords && !o.positional.isEmpty() && !o.help) {
        usageError(o.command, QStringLiteral("unexpected word \"%1\"").arg(o.positional[0]));
        return std::nullopt;
    }
    o.library = parser.value(QStringLiteral("library"));
    o.config = parser.value(QStringLiteral("config"));
    o.volumes = parser.value(QStringLiteral("volumes"));
    auto isSet = [&](unsigned flag, const char* name) { return (c.flags & flag) && parser.isSet(QLatin1String(name)); };
    o.json = isSet(Json, "json");
    o.dryRun = isSet(DryRun, "dry-run");
    o.watch = isSet(Watch, "watch");
    o.yes = isSet(Yes, "yes");
    o.quiet = isSet(Quiet, "quiet");
    o.verbose = isSet(Verbose, "verbose");
    return o;
}

int help(const QStringList& words) {
    if (words.isEmpty()) {
        out(stdout, QLatin1String(kOverview));
        return 0;
    }
    const Command* c = findCommand(words[0]);
    if (!c || words.size() > 1) {
        fail(c ? QStringLiteral("help: one command at a time") : QStringLiteral("help: no command \"%1\"").arg(words[0]));
        out(stderr, QLatin1String(kOverview));
        return 2;
    }
    out(stdout, helpOf(*c));
    return 0;
}

}  // namespace

int usageError(const QString& command, const QString& message) {
    const Command* c = findCommand(command);
    fail((c ? command + QStringLiteral(": ") : QString()) + message);
    out(stderr, c ? usageOf(*c) + QStringLiteral("\nMore with: brisle help %1\n").arg(command) : QString::fromLatin1(kOverview));
    return 2;
}

Session::Session(const Options& o, Access access)
    : defaults_(o.config.isEmpty() ? Locations::defaultSettingsFile() : o.config), ui_(o.yes),
      controller_(defaults_, ui_, Controller::Options{o.library}),
      libraryFile_(o.library.isEmpty() ? Locations::defaultLibraryFile() : o.library), writes_(access == Access::Writes) {
    if (!writes_) controller_.setReadOnly();
}

bool Session::loadSettings() {
    // Only a command that writes settings sets a damaged file aside: until
    // then it stays where the user may mend it.
    auto loaded = defaults_.load(writes_ ? Defaults::IfDamaged::SetAside : Defaults::IfDamaged::Leave);
    if (!loaded) fail(loaded.error());
    return bool(loaded);
}

bool Session::loadLibrary() {
    loadSettings();
    if (!QFileInfo::exists(libraryFile_)) {
        fail(QStringLiteral("iTunes Library not found: nothing at %1; give the library file with --library FILE").arg(libraryFile_));
        return false;
    }
    // A library file moved aside to be written anew is put back when the
    // wait for the new one is interrupted, so the signals are caught meanwhile.
    SignalWatcher signals;
    bool loaded = controller_.loadLibrary();
    ui_.endWait();
    interruptedBy_ = SignalWatcher::caught();
    return loaded && !interruptedBy_;
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

void fail(const QString& message) { out(stderr, QStringLiteral("brisle: ") + message + u'\n'); }

void print(const QString& text) { out(stdout, text + u'\n'); }

int finishJson(JsonWriter& json) {
    int error = json.finish();
    if (error == 0) return 0;
    fail(QStringLiteral("cannot write the output: ") + QString::fromLocal8Bit(std::strerror(error)));
    return 1;
}

}  // namespace cli

int runCommandLine(const QStringList& arguments) {
    using namespace cli;
    // The options before the command word; the command's own parser reads
    // them again with the rest, so they may stand on either side of it.
    QCommandLineParser global;
    global.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    global.addOptions({QCommandLineOption(QStringLiteral("library"), QString(), QStringLiteral("FILE")),
                       QCommandLineOption(QStringLiteral("config"), QString(), QStringLiteral("FILE")),
                       QCommandLineOption(QStringLiteral("volumes"), QString(), QStringLiteral("DIR")),
                       QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}), QCommandLineOption(QStringLiteral("version"))});
    if (!global.parse(QStringList{QStringLiteral("brisle")} + arguments)) return usageError(QString(), parserError(global));
    const QStringList words = global.positionalArguments();
    if (global.isSet(QStringLiteral("version"))) {
        print(QStringLiteral("brisle ") + QCoreApplication::applicationVersion());
        return 0;
    }
    if (words.isEmpty()) {
        if (global.isSet(QStringLiteral("help"))) return help({});
        out(stderr, QLatin1String(kOverview));
        return 2;
    }
    if (words[0] == u"help") return help(words.mid(1));
    const Command* command = findCommand(words[0]);
    if (!command) return usageError(QString(), QStringLiteral("unknown command \"%1\"").arg(words[0]));
    std::optional<Options> o = parse(*command, arguments.first(arguments.size() - words.size()) + words.mid(1));
    if (!o) return 2;
    if (o->help) {
        out(stdout, helpOf(*command));
        return 0;
    }
    if (!o->volumes.isEmpty()) {
        if (!QFileInfo(o->volumes).isDir()) {
            fail(QStringLiteral("--volumes: %1 is not a folder").arg(o->volumes));
            return 2;
        }
        Locations::setVolumesFolder(o->volumes);
    }
    return command->run(*o);
}
