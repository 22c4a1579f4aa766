#pragma once

// The one way the core talks to people. The window, the command line and the
// tests each implement it; the core never sees a widget.

#include "platform/Alerts.h"

class SYWanted;

class UserInterface : public Alerts {
public:
    // The wanted tree is about to change (items added, removed or replaced):
    // a view over it must let go of every item it holds until reloadData.
    virtual void aboutToReload() {}
    // The wanted tree changed: re-sort and redraw the list.
    virtual void reloadData() {}
    // One row (and its children) should be redrawn.
    virtual void reloadItem(const SYWanted* /*item*/) {}
    // Only what one row waits for changed (a file of it is being worked on,
    // or no longer): its Status text. By default as reloadItem.
    virtual void redrawItem(const SYWanted* item) { reloadItem(item); }
    // The status fields of the controller changed.
    virtual void statusChanged() {}
    // The conversion percentage changed.
    virtual void progressChanged() {}
};
