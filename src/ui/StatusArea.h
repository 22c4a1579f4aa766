#pragma once

// The status area under the lists: the player's name, the two status lines,
// the room left on the player with its bar, the activity indicator, the
// eject button, and a line for the program's notices. It draws a StatusView
// snapshot and keeps no state of its own.

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
struct StatusView;

class StatusArea : public QWidget {
    Q_OBJECT
public:
    explicit StatusArea(QWidget* parent = nullptr);

    void display(const StatusView& status);
    // Only the conversion percentage's line.
    void showProgress(const StatusView& status);
    // A notice or the reason a quit was refused; cleared after a while.
    void showNotice(const QString& text);

    QPushButton& ejectButton() { return *eject_; }

private:
    QLabel *playerName_, *status_, *substatus_, *status2_, *substatus2_, *freeSpace_, *notice_;
    QProgressBar *freeSpaceBar_, *activity_;
    QPushButton* eject_;
    class QTimer* noticeTimer_;
};
