#include "RecordSaver.h"

#include "platform/Alerts.h"
#include "platform/Defaults.h"

#include <QTimer>

RecordSaver::RecordSaver(Defaults& defaults, Alerts& alerts, std::function<plist::Object::Dict()> takeRecord, QObject* parent)
    : QObject(parent), defaults_(defaults), alerts_(alerts), takeRecord_(std::move(takeRecord)) {
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, &RecordSaver::saveInBackground);
}

RecordSaver::~RecordSaver() { waitForBackgroundSave(); }

void RecordSaver::requestSave() {
    if (readOnly_) return;
    dirty_ = true;
    if (!timer_->isActive()) timer_->start();
}

void RecordSaver::saveNow() {
    if (readOnly_) return;
    waitForBackgroundSave();
    timer_->stop();
    dirty_ = false;
    auto written = defaults_.set(takeRecord_());
    if (!written) report(written.error());
}

void RecordSaver::saveIfRequested() {
    if (dirty_) saveNow();
}

void RecordSaver::saveInBackground() {
    if (readOnly_ || !dirty_) return;
    waitForBackgroundSave();
    dirty_ = false;
    background_ = std::async(std::launch::async, [this, record = takeRecord_()]() mutable {
        auto written = defaults_.set(record);
        return written ? QString() : written.error();
    });
}

void RecordSaver::waitForBackgroundSave() {
    if (!background_.valid()) return;
    if (QString error = background_.get(); !error.isEmpty()) report(error);
}

void RecordSaver::report(const QString& error) {
    alerts_.warning(QStringLiteral("The record of the files on the player could not be saved: ") + error);
}
