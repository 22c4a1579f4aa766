#pragma once

// The main window: the library browser and the music list side by side, the
// status area under them, and the menus. It drives the controller through
// its public operations and draws its status snapshot.

#include "PolishedWindow.h"

#include <QElapsedTimer>

#include <memory>

class Controller;
class DesktopNotifications;
class LibraryBrowser;
class MusicListModel;
class MusicListView;
class QAction;
class QMimeData;
class QSplitter;
class QTimer;
class SongsByPath;
class StatusArea;
class WindowUserInterface;

class MainWindow : public PolishedWindow {
    Q_OBJECT
public:
    MainWindow(Controller& controller, WindowUserInterface& ui);
    ~MainWindow() override;

    MusicListModel& model() { return *model_; }
    MusicListView& list() { return *list_; }
    LibraryBrowser* browser() { return browser_; }
    StatusArea& statusArea() { return *status_; }

    // After the controller's start: makes the browser, shows the window once
    // the first plan is in (at once when none is under way), and asks for a
    // player when none is chosen.
    void started();

    // The controller's status changed: drawn at once, or when a tenth of a
    // second has passed since the last drawing (the copier may report
    // hundreds of small files a second); the last state is always drawn.
    void statusChanged();
    void progressChanged();
    void showNotice(const QString& text);
    // Adds what a drop or "Add to Player" carries.
    void drop(const QMimeData& mime);
    // The menu items' enabled state, from the controller's state now.
    void validateActions();
    void showPreferences();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenus();
    void showStatus();
    void cacheSelection();
    void claimChosenPlayer();

    Controller& controller_;
    WindowUserInterface& ui_;
    MusicListModel* model_;
    MusicListView* list_;
    LibraryBrowser* browser_ = nullptr;  // made once the library is loaded
    QSplitter* splitter_;
    StatusArea* status_;
    std::unique_ptr<SongsByPath> songsByPath_;
    DesktopNotifications* notifications_;
    bool ejectWasEnabled_ = true;  // as last shown, for telling that a sync ended
    QAction *eject_ = nullptr, *sort_ = nullptr, *cache_ = nullptr, *remove_ = nullptr;
    bool shownOnce_ = false;
    QTimer* statusTimer_;
    QElapsedTimer statusShown_;
};
