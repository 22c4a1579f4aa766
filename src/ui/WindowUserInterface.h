#pragma once

// The core's way to people, for the window: alerts become modal message
// boxes with the exact titles, messages and buttons (the first the default);
// list reloads go to the music list's model; status changes to the status
// area; warnings gather in one box; notices show in the status area.
//
// Made before the controller and gone after it: the controller calls it to
// its end (its workers report while they stop), when the window may be gone.

#include "app/UserInterface.h"

#include <QPointer>

class MainWindow;
class QMessageBox;

class WindowUserInterface : public UserInterface {
public:
    ~WindowUserInterface() override;

    void setWindow(MainWindow* window) { window_ = window; }

    int alert(const Alert& alert) override;
    void warning(const QString& message) override;
    void notice(const QString& message) override;
    void aboutToReload() override;
    void reloadData() override;
    void reloadItem(const SYWanted* item) override;
    void redrawItem(const SYWanted* item) override;
    void statusChanged() override;
    void progressChanged() override;

private:
    MainWindow* window_ = nullptr;
    QPointer<QMessageBox> warnings_;
};
