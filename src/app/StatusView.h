#pragma once

// What the status area shows, computed by the controller and drawn by the
// window (or printed by the command line). No state of its own: every update
// recomputes it from the controller's fields and lists.

#include <QString>

struct StatusView {
    QString playerName;
    QString status, substatus;    // line 1
    QString status2, substatus2;  // line 2 (the activity while converting)
    QString freeSpace;            // room left after the sync, or the shortfall
    bool barDeterminate = true;
    double barMaximum = 1.0;
    double barValue = 0.0;
    bool activity = false;  // the activity indicator runs
    bool ejectEnabled = false;

    friend bool operator==(const StatusView&, const StatusView&) = default;
};
