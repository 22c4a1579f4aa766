#pragma once

// How the lower layers speak to people: a modal question with fixed buttons,
// a warning, a notice. The application's UserInterface extends it with what
// the list and the status area need.

#include <QString>
#include <QStringList>

struct Alert {
    QString title;
    QString message;
    QStringList buttons;  // the first is the default
};

class Alerts {
public:
    virtual ~Alerts() = default;

    // Shows a modal alert; answers the index of the chosen button.
    virtual int alert(const Alert& alert) = 0;

    // A problem the user should know about that needs no answer (a settings
    // file that could not be written).
    virtual void warning(const QString& /*message*/) {}

    // Something happened that the user may like to know (the player was
    // mounted, the library file was read again). Nothing to answer.
    virtual void notice(const QString& /*message*/) {}
};
