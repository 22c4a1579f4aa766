#include "WindowUserInterface.h"

#include "MainWindow.h"
#include "MusicListModel.h"

#include <QMessageBox>
#include <QPushButton>

#include <cstdio>

WindowUserInterface::~WindowUserInterface() { delete warnings_; }

int WindowUserInterface::alert(const Alert& a) {
    QMessageBox box(window_);
    box.setWindowTitle(a.title);
    box.setText(a.title);
    box.setInformativeText(a.message);
    box.setIcon(QMessageBox::Warning);
    box.setAccessibleName(a.title);
    QList<QAbstractButton*> buttons;
    QStringList titles = a.buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : a.buttons;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        // The first is the default; the last, the cautious one, answers Escape.
        QPushButton* b = box.addButton(titles[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
        b->setAccessibleName(titles[i]);
        buttons.append(b);
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.first()));
    box.setEscapeButton(buttons.last());
    box.exec();
    return std::max(0, int(buttons.indexOf(box.clickedButton())));
}

void WindowUserInterface::warning(const QString& message) {
    std::fprintf(stderr, "brisle: %s\n", qPrintable(message));
    // One box gathers them: a sync that fails on many files asks nothing.
    if (!warnings_) {
        warnings_ = new QMessageBox(QMessageBox::Warning, QStringLiteral("Brisle"), QString(), QMessageBox::Ok, window_);
        warnings_->setAccessibleName(QStringLiteral("Warnings"));
        warnings_->setWindowModality(Qt::NonModal);
        warnings_->setAttribute(Qt::WA_DeleteOnClose);
    }
    QString text = warnings_->text();
    warnings_->setText(text.isEmpty() ? message : text + QStringLiteral("\n\n") + message);
    warnings_->show();
}

void WindowUserInterface::notice(const QString& message) {
    if (window_) window_->showNotice(message);
}

void WindowUserInterface::aboutToReload() {
    if (window_) window_->model().aboutToReload();
}

void WindowUserInterface::reloadData() {
    if (window_) window_->model().reloadData();
}

void WindowUserInterface::reloadItem(const SYWanted* item) {
    if (window_) window_->model().reloadItem(item);
}

void WindowUserInterface::redrawItem(const SYWanted* item) {
    if (window_) window_->model().redrawItem(item);
}

void WindowUserInterface::statusChanged() {
    if (window_) window_->statusChanged();
}

void WindowUserInterface::progressChanged() {
    if (window_) window_->progressChanged();
}
