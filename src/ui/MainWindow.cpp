#include "MainWindow.h"

#include "Drops.h"
#include "LibraryBrowser.h"
#include "MusicListModel.h"
#include "MusicListView.h"
#include "PreferencesDialog.h"
#include "StatusArea.h"
#include "WindowUserInterface.h"
#include "app/Controller.h"
#include "app/DesktopNotifications.h"
#include "app/StatusView.h"
#include "platform/Locations.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

MainWindow::MainWindow(Controller& controller, WindowUserInterface& ui) : controller_(controller), ui_(ui) {
    setWindowTitle(QStringLiteral("Brisle"));
    setAccessibleName(QStringLiteral("Brisle"));
    setFlat(true);
    model_ = new MusicListModel(controller, this);
    list_ = new MusicListView(*model_, this);
    status_ = new StatusArea(this);
    notifications_ = new DesktopNotifications(QString(), this);
    statusTimer_ = new QTimer(this);
    statusTimer_->setSingleShot(true);
    connect(statusTimer_, &QTimer::timeout, this, &MainWindow::showStatus);
    connect(&controller_, &Controller::ejectFailed, this, [this](const QString& reason) {
        if (!isActiveWindow()) notifications_->ejectFailed(controller_.status().playerName, reason);
    });

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setAccessibleName(QStringLiteral("Library and music list"));
    splitter_->addWidget(list_);
    splitter_->setChildrenCollapsible(false);
    const int em = fontMetrics().horizontalAdvance(u'M');

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 6, 6, 0);
    layout->setSpacing(4);
    layout->addWidget(splitter_, 1);
    layout->addWidget(status_);
    setCentralWidget(central);
    resize(100 * em, 62 * em);

    buildMenus();
    connect(list_, &MusicListView::dropped, this, [this](const QMimeData* mime) { drop(*mime); });
    connect(&status_->ejectButton(), &QPushButton::clicked, this, [this] {
        if (controller_.canEjectOrSort()) controller_.eject();
    });
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainWindow::validateActions);
    connect(model_, &QAbstractItemModel::modelReset, this, &MainWindow::validateActions);
    ui_.setWindow(this);
}

MainWindow::~MainWindow() { ui_.setWindow(nullptr); }

void MainWindow::buildMenus() {
    auto add = [this](QMenu* menu, const QString& text, auto slot, QKeySequence key = {}) {
        QAction* a = menu->addAction(text);
        a->setShortcut(key);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, QStringLiteral("Add to Player"), [this] {
        if (browser_) browser_->addSelection();
    });
    file->addSeparator();
    add(file, QStringLiteral("Quit Brisle"), [this] { close(); }, QKeySequence::Quit);

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    remove_ = add(edit, QStringLiteral("Remove from List"), [this] { model_->removeRows(list_->selectedRows()); });
    remove_->setShortcut(QKeySequence::Delete);
    remove_->setShortcutContext(Qt::WidgetShortcut);
    list_->addAction(remove_);
    add(edit, QStringLiteral("Find in Library"), [this] {
        if (browser_) browser_->searchField().setFocus();
    }, QKeySequence::Find);
    edit->addSeparator();
    QKeySequence prefs(QKeySequence::Preferences);
    add(edit, QStringLiteral("Preferences\u2026"), [this] { showPreferences(); }, prefs.isEmpty() ? QKeySequence(QStringLiteral("Ctrl+,")) : prefs);

    QMenu* player = menuBar()->addMenu(QStringLiteral("&Player"));
    add(player, QStringLiteral("Refresh Player"), [this] { controller_.refreshPlayer(); }, QKeySequence::Refresh);
    cache_ = add(player, QStringLiteral("Convert Selection Ahead of Time"), [this] { cacheSelection(); });
    player->addSeparator();
    sort_ = add(player, QStringLiteral("Sort Files on Player"), [this] {
        if (controller_.canEjectOrSort()) controller_.sortFiles();
    });
    eject_ = add(player, QStringLiteral("Eject Player"), [this] {
        if (controller_.canEjectOrSort()) controller_.eject();
    }, QKeySequence(QStringLiteral("Ctrl+E")));
    for (QMenu* m : {file, edit, player}) connect(m, &QMenu::aboutToShow, this, &MainWindow::validateActions);
    validateActions();
}

void MainWindow::validateActions() {
    bool canEject = controller_.canEjectOrSort();
    eject_->setEnabled(canEject);
    sort_->setEnabled(canEject);
    bool selected = list_->selectionModel()->hasSelection();
    cache_->setEnabled(selected);
    remove_->setEnabled(selected);
}

void MainWindow::cacheSelection() { controller_.cacheSongs(model_->songsOf(list_->selectedRows())); }

void MainWindow::started() {
    songsByPath_ = std::make_unique<SongsByPath>(controller_.library());
    browser_ = new LibraryBrowser(controller_.library(), this);
    connect(browser_, &LibraryBrowser::addRequested, this, [this](const QMimeData* mime) { drop(*mime); });
    splitter_->insertWidget(0, browser_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    const int em = fontMetrics().horizontalAdvance(u'M');
    splitter_->setSizes({22 * em, 60 * em});
    splitter_->handle(1)->setAccessibleName(QStringLiteral("Divider"));
    auto showWindow = [this] {
        if (shownOnce_) return;
        shownOnce_ = true;
        show();
        raise();
        activateWindow();
        // Sorting 100,000 songs for the browser waits until the window is up.
        QTimer::singleShot(0, browser_, &LibraryBrowser::populate);
        if (controller_.pathToPlayer().isEmpty()) QTimer::singleShot(0, this, [this] {
                if (showPreferencesAtFirstStart(this, controller_)) claimChosenPlayer();
            });
    };
    if (controller_.updateDue()) connect(&controller_, &Controller::planned, this, showWindow, Qt::SingleShotConnection);
    else showWindow();
    statusChanged();
}

void MainWindow::statusChanged() {
    constexpr int kStatusMs = 100;
    if (statusTimer_->isActive()) return;
    if (qint64 since = statusShown_.isValid() ? statusShown_.elapsed() : kStatusMs; since < kStatusMs) statusTimer_->start(int(kStatusMs - since));
    else showStatus();
}

void MainWindow::showStatus() {
    statusShown_.start();
    StatusView view = controller_.status();
    status_->display(view);
    // The sync ended while the user looks elsewhere: say so on the desktop.
    if (shownOnce_ && view.ejectEnabled && !ejectWasEnabled_ && !isActiveWindow()) notifications_->syncFinished(view.playerName);
    ejectWasEnabled_ = view.ejectEnabled;
    model_->statusChanged();
    validateActions();
}

void MainWindow::progressChanged() { status_->showProgress(controller_.status()); }

void MainWindow::showNotice(const QString& text) { status_->showNotice(text); }

void MainWindow::drop(const QMimeData& mime) {
    if (!songsByPath_) return;
    QString notice = applyDrop(controller_, mime, *songsByPath_);
    model_->reloadData();
    if (notice.isEmpty()) return;
    QMessageBox box(QMessageBox::Information, QStringLiteral("Some items were not added"), notice, QMessageBox::Ok, this);
    box.setAccessibleName(QStringLiteral("Some items were not added"));
    box.exec();
}

// Until the preferences dialog exists, choosing the player's folder is what
// a first start needs.
void MainWindow::showPreferences() {
    if (runPreferences(this, controller_)) claimChosenPlayer();
}

void MainWindow::claimChosenPlayer() {
    // Another Brisle at work on the newly chosen player keeps it.
    if (controller_.pathToPlayer().isEmpty()) return;
    if (auto claimed = controller_.claimPlayer(); !claimed) showNotice(claimed.error());
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!controller_.applicationShouldTerminate()) {
        event->ignore();
        showNotice(QStringLiteral("Brisle is finishing the file it is writing to the player; quit again in a moment."));
        return;
    }
    event->accept();
    QCoreApplication::quit();
}
