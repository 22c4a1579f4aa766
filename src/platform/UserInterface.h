#pragma once

// The one way the core talks to people. The window, the command line and the
// tests each implement it; the core never sees a widget.

#include <QString>
#include <QStringList>

class SYWanted;

struct Alert {
    QString title;
    QString message;
    QStringList buttons;  // the first is the default
};

class UserInterface {
public:
    virtual ~UserInterface() = default;

    // Shows a modal alert; answers the index of the chosen button.
    virtual int alert(const Alert& alert) = 0;

    // A problem the user should know about that needs no answer (a settings
    // file that could not be written).
    virtual void warning(const QString& /*message*/) {}

    // Something happened that the user may like to know (the player was
    // mounted, the library file was read again). Nothing to answer.
    virtual void notice(const QString& /*message*/) {}

    // The wanted tree changed: re-sort and redraw the list.
    virtual void reloadData() {}
    // One row (and its children) should be redrawn.
    virtual void reloadItem(const SYWanted* /*item*/) {}
    // The status fields of the controller changed.
    virtual void statusChanged() {}
    // The conversion percentage changed.
    virtual void progressChanged() {}
};
