#pragma once

// What the workers may ask of the controller. Every call is made through
// Worker::callRoot: synchronous, in order, and executed on the main thread.

#include "planning/WorkRecord.h"

#include <QString>

class Convertor;
class Copier;
class Song;

class ControllerPort {
public:
    virtual ~ControllerPort() = default;

    virtual void setConvertor(Convertor* convertor) = 0;
    virtual void setCopier(Copier* copier) = 0;
    virtual void setConvertorBusy(bool busy) = 0;
    virtual void setCopierBusy(bool busy) = 0;
    virtual void setConvertingSong(const Record& record, const QString& path) = 0;
    virtual void setCopyingSong(const Record& record) = 0;
    virtual void setMovingSong(const Record& record) = 0;
    virtual void setDeletingSong(Song* song) = 0;
    virtual void runCopier() = 0;
    // Answer whether new work arrived for the copier, and clear the flag.
    virtual bool copyListUpdated() = 0;
    virtual bool moveListUpdated() = 0;
    virtual void writePreviousFiles() = 0;
    virtual void updateStatus() = 0;
    // One record was carried out (a conversion, copy, move or removal).
    virtual void workDone(const Record& /*record*/) {}
    // A file on the player could not be copied, moved or removed; the reason
    // is the system's. Its record stays as it was.
    virtual void fileFailed(const QString& /*path*/, const QString& /*reason*/) {}
    // A song could not be converted; it is set aside until its file changes.
    virtual void conversionFailed(const Record& /*record*/, const QString& /*reason*/) {}
    // The player's volume went away during a pass: the copier stopped.
    virtual void playerGone() {}
};
