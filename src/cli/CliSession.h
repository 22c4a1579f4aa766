#pragma once

// What the command-line commands share: their options, and a session that
// starts the program the way the window does, up to what a command needs.

#include "CliUserInterface.h"
#include "JsonWriter.h"
#include "app/Controller.h"
#include "platform/Defaults.h"

#include <QString>
#include <QStringList>

namespace cli {

struct Options {
    QString command;
    QStringList positional;
    QString library, config, volumes;
    bool yes = false, json = false, help = false, dryRun = false, watch = false, quiet = false, verbose = false;
};

class Session {
public:
    // A session that only reads writes nothing: no settings, no record, and
    // a damaged settings file stays where it is.
    enum class Access { ReadOnly, Writes };
    Session(const Options& o, Access access);

    // Says what is wrong with the settings file; false when it was not read.
    bool loadSettings();
    // Settings and library; false when the command cannot go on.
    bool loadLibrary();
    // Also the saved selection and the record of files on the player.
    bool restore();
    // The exit status of a command that could not go on: 128 + the signal
    // when it was interrupted while loading.
    int failure() const { return interruptedBy_ ? 128 + interruptedBy_ : 1; }

    Controller& controller() { return controller_; }
    Defaults& defaults() { return defaults_; }
    CliUserInterface& ui() { return ui_; }

private:
    Defaults defaults_;
    CliUserInterface ui_;
    Controller controller_;
    QString libraryFile_;
    bool writes_;
    int interruptedBy_ = 0;
};

void fail(const QString& message);
// Refuses the command line: the message, then the command's usage (the
// overview when command is not one); answers the exit status, 2.
int usageError(const QString& command, const QString& message);
// Takes the player and the cache for this process, or says who holds them.
bool claimPlayer(Controller& c);
void print(const QString& text);
// "protected: 1, file missing: 2"
QString describeLeftOut(const LeftOutCounts& counts);
// Ends a JSON document on standard output; answers the exit status.
int finishJson(JsonWriter& json);

int libraryCommand(const Options& o);
int selectCommand(const Options& o);
int configCommand(const Options& o);
int planCommand(const Options& o);
int syncCommand(const Options& o);
int watchCommand(const Options& o);
int volumesCommand(const Options& o);
int sortCommand(const Options& o);
int ejectCommand(const Options& o);

}  // namespace cli
