#pragma once

// What the status area shows, computed by a pure function from a snapshot of
// what it depends on, taken by the controller; drawn by the window or printed
// by the command line.

#include "platform/Volumes.h"

#include <QString>

#include <optional>

struct StatusView {
    QString playerName;
    QString status, substatus;    // line 1
    QString status2, substatus2;  // line 2 (the activity while converting)
    QString freeSpace;            // room left after the sync, or the shortfall
    bool barShown = true;  // not when the volume never told its sizes
    bool barDeterminate = true;
    double barMaximum = 1.0;
    double barValue = 0.0;
    bool activity = false;  // the activity indicator runs
    bool ejectEnabled = false;

    friend bool operator==(const StatusView&, const StatusView&) = default;
};

struct StatusInputs {
    QString playerName;
    bool mounted = false;
    bool updateDue = false;
    QString volumeJob;  // what is being done to the whole volume (a sort, an eject), if anything

    // The items in hand: a name each, when there is one.
    std::optional<QString> converting, copying, moving, deleting;
    QString conversionProgress;  // the converting song's percentage line, kept between updates

    // The pending work, counted as the lists hold it: the copier takes a copy
    // or move out of its list only once it is done, while deletions and
    // conversions leave theirs first.
    std::size_t conversions = 0, copies = 0, moves = 0, deletions = 0;
    quint64 bytesToCopy = 0, bytesFreed = 0;
    // The last good reading of the volume's sizes; none when it never gave one.
    std::optional<Volumes::VolumeSizes> sizes;
};

StatusView computeStatus(const StatusInputs& in);

// The Status column of a root row of the music list: conversions win over
// copies; nothing pending gives empty text.
QString rowStatusText(std::size_t conversions, std::size_t copies);
