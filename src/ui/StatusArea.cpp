#include "StatusArea.h"

#include "app/StatusView.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

QLabel* label(const QString& accessibleName, QWidget* parent) {
    auto* l = new QLabel(parent);
    l->setAccessibleName(accessibleName);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
}

// Screen readers and tests read a label's text as its description: its
// name says which label it is.
void setText(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleDescription(text);
}

// The bar works in thousandths: byte counts overflow its int range.
constexpr int kBarSteps = 1000;

}  // namespace

StatusArea::StatusArea(QWidget* parent) : QWidget(parent) {
    setAccessibleName(QStringLiteral("Status area"));
    playerName_ = label(QStringLiteral("Player name"), this);
    QFont bold = playerName_->font();
    bold.setBold(true);
    playerName_->setFont(bold);
    status_ = label(QStringLiteral("Status"), this);
    substatus_ = label(QStringLiteral("Status detail"), this);
    status2_ = label(QStringLiteral("Second status"), this);
    substatus2_ = label(QStringLiteral("Second status detail"), this);
    freeSpace_ = label(QStringLiteral("Free space"), this);
    freeSpace_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    notice_ = label(QStringLiteral("Notice"), this);
    notice_->setWordWrap(true);
    for (QLabel* l : {substatus_, substatus2_}) {
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        l->setForegroundRole(QPalette::PlaceholderText);
    }
    freeSpaceBar_ = new QProgressBar(this);
    freeSpaceBar_->setAccessibleName(QStringLiteral("Free space bar"));
    freeSpaceBar_->setTextVisible(false);
    freeSpaceBar_->setRange(0, kBarSteps);
    freeSpaceBar_->setValue(0);
    freeSpaceBar_->setMaximumHeight(fontMetrics().height() * 3 / 4);
    activity_ = new QProgressBar(this);
    activity_->setAccessibleName(QStringLiteral("Activity"));
    activity_->setTextVisible(false);
    activity_->setFixedWidth(fontMetrics().horizontalAdvance(u'M') * 5);
    activity_->setMaximumHeight(fontMetrics().height() * 3 / 4);
    QSizePolicy keep = activity_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    activity_->setSizePolicy(keep);
    eject_ = new QPushButton(QStringLiteral("Eject"), this);
    eject_->setAccessibleName(QStringLiteral("Eject"));
    eject_->setEnabled(false);
    noticeTimer_ = new QTimer(this);
    noticeTimer_->setSingleShot(true);
    noticeTimer_->setInterval(15000);
    connect(noticeTimer_, &QTimer::timeout, this, [this] { setText(notice_, {}); });

    // player name ......................... free space   [Eject]
    // status  substatus                          [activity]
    // status2 substatus2
    // [============== bar ==================================]
    // notice
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 4, 8, 6);
    grid->setVerticalSpacing(2);
    grid->addWidget(playerName_, 0, 0);
    grid->addWidget(freeSpace_, 0, 1, 1, 2);
    grid->addWidget(eject_, 0, 3, 2, 1, Qt::AlignVCenter);
    auto line = [&](QLabel* title, QLabel* detail, int row) {
        auto* box = new QHBoxLayout;
        box->setSpacing(6);
        box->addWidget(title);
        box->addWidget(detail, 1);
        grid->addLayout(box, row, 0, 1, 2);
    };
    line(status_, substatus_, 1);
    grid->addWidget(activity_, 1, 2, Qt::AlignRight);
    line(status2_, substatus2_, 2);
    grid->addWidget(freeSpaceBar_, 3, 0, 1, 4);
    grid->addWidget(notice_, 4, 0, 1, 4);
    grid->setColumnStretch(0, 1);
}

void StatusArea::display(const StatusView& s) {
    setText(playerName_, s.playerName.isEmpty() ? QStringLiteral("No player") : s.playerName);
    setText(status_, s.status);
    setText(substatus_, s.substatus);
    setText(status2_, s.status2);
    setText(substatus2_, s.substatus2);
    setText(freeSpace_, s.freeSpace);
    freeSpaceBar_->setVisible(s.barShown);
    if (s.barDeterminate) {
        freeSpaceBar_->setRange(0, kBarSteps);
        freeSpaceBar_->setValue(s.barMaximum > 0 ? int(s.barValue / s.barMaximum * kBarSteps) : 0);
        freeSpaceBar_->setAccessibleDescription({});
    } else {
        // Over: a full bar that stands still.
        freeSpaceBar_->setRange(0, 1);
        freeSpaceBar_->setValue(1);
        freeSpaceBar_->setAccessibleDescription(QStringLiteral("over"));
    }
    // Animated while work is under way.
    activity_->setRange(0, s.activity ? 0 : 1);
    activity_->setValue(0);
    activity_->setVisible(s.activity);
    eject_->setEnabled(s.ejectEnabled);
}

void StatusArea::showProgress(const StatusView& s) { setText(substatus_, s.substatus); }

void StatusArea::showNotice(const QString& text) {
    setText(notice_, text);
    noticeTimer_->start();
}
