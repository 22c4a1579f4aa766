#pragma once

// Saves the record of the files on the player ("previousSongs"). The copier
// asks after every file; writing the whole settings file (and waiting for the
// disk) each time would cost more than copying small files, growing with the
// record, so requests are gathered: a save at most every second, written off
// the main thread, and always a save at once when a copier pass ends and at
// shutdown. A crash in between loses nothing: the next pass takes over
// complete files at wanted paths by their size and forgets files that are
// gone.
//
// Lives on the main thread. Saves land in the order they were taken.

#include "platform/plist/Value.h"

#include <QObject>
#include <QString>

#include <functional>
#include <future>

class Alerts;
class Defaults;
class QTimer;

class RecordSaver : public QObject {
    Q_OBJECT
public:
    // takeRecord makes the values to store ("previousSongs" and what goes
    // with it); it is called on the main thread.
    RecordSaver(Defaults& defaults, Alerts& alerts, std::function<plist::Object::Dict()> takeRecord, QObject* parent = nullptr);
    ~RecordSaver() override;

    // A read-only run (a dry run, a plan) never writes.
    void setReadOnly(bool readOnly) { readOnly_ = readOnly; }

    // A gathered save: within a second, off the main thread.
    void requestSave();
    // A save now, after any save under way.
    void saveNow();
    // A save now when one was asked for and has not been made.
    void saveIfRequested();
    bool requested() const { return dirty_; }

private:
    void saveInBackground();
    void waitForBackgroundSave();
    void report(const QString& error);

    Defaults& defaults_;
    Alerts& alerts_;
    std::function<plist::Object::Dict()> takeRecord_;
    bool readOnly_ = false;
    bool dirty_ = false;
    QTimer* timer_ = nullptr;
    std::future<QString> background_;  // the error, if any
};
