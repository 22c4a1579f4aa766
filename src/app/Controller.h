#pragma once

// The application's one controller: it holds the library, the selection, the
// work lists shared with the workers and the player's state, and carries out
// start-up and shutdown in their fixed order. It never touches a widget; what
// people should see goes through UserInterface.

#include "library/Library.h"
#include "library/SongContext.h"

#include <QObject>
#include <QString>

#include <memory>

class Defaults;
class UserInterface;

class Controller : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString libraryFile;  // empty: the default place
    };

    Controller(Defaults& defaults, UserInterface& ui, Options options, QObject* parent = nullptr);
    ~Controller() override;

    // Start-up up to the library: conversion check, registered defaults, the
    // library read (with its alerts), albums and playlists. False when the
    // user chose to quit or the library could not be read.
    bool loadLibrary();

    bool conversionOn() const { return conversionOn_; }
    const QString& pathToItunes() const { return pathToItunes_; }
    Library& library() { return *library_; }
    const Library& library() const { return *library_; }
    Defaults& defaults() { return defaults_; }
    SongContext& songContext() { return *songContext_; }

    // The user default "pathToPlayer", or a null string.
    QString pathToPlayer() const;

private:
    Defaults& defaults_;
    UserInterface& ui_;
    Options options_;

    bool conversionOn_ = false;
    QString pathToItunes_;
    std::unique_ptr<SongContext> songContext_;
    std::unique_ptr<Library> library_;
};
