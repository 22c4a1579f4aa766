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
    bool yes = false, json = false, help = false, version = false, dryRun = false, watch = false;
};

class Session {
public:
    explicit Session(const Options& o);

    // Settings and library; false when the command cannot go on.
    bool loadLibrary();
    // Also the saved selection and the record of files on the player.
    bool restore();

    Controller& controller() { return controller_; }
    Defaults& defaults() { return defaults_; }
    CliUserInterface& ui() { return ui_; }

private:
    Defaults defaults_;
    CliUserInterface ui_;
    Controller controller_;
};

void fail(const QString& message);
// Takes the player and the cache for this process, or says who holds them.
bool claimPlayer(Controller& c);
void print(const QString& text);
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
