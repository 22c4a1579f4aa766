#pragma once

// The workers on their own, for tests: a controller stand-in that notes
// every call a worker makes, and a worker on a thread of its own.

#include "SyncFixture.h"
#include "library/Song.h"
#include "workers/Convertor.h"
#include "workers/Copier.h"
#include "workers/WorkLists.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <functional>
#include <vector>

// Notes each call (a record by the file name it goes to), where it ran and
// whether todoLock was free, and hands the workers its own lists.
class RecordingPort : public QObject, public ControllerPort {
public:
    WorkLists work;
    QStringList calls;
    int offMainThread = 0, underLock = 0;
    Copier* copier = nullptr;
    Convertor* convertor = nullptr;
    std::vector<const WorkRecord*> converted;                         // every record announced for conversion
    std::function<void(const QString&)> after;                        // runs after each noted call
    std::function<void(const Record&, const QString&)> onConverting;  // and after each announced conversion

    void setConvertor(Convertor* c) override {
        note(QStringLiteral("register convertor"));
        convertor = c;
        c->setList(work.todoList, work.toCacheList, work.todoLock);
    }
    void setCopier(Copier* c) override {
        note(QStringLiteral("register copier"));
        copier = c;
        c->setList(work.toCopyList, work.toMoveList, work.toDeleteList, work.previousFiles, work.todoLock);
    }
    void setConvertorBusy(bool busy) override { note(QStringLiteral("convertor busy %1").arg(busy)); }
    void setCopierBusy(bool busy) override { note(QStringLiteral("copier busy %1").arg(busy)); }
    void setConvertingSong(const Record& r, const QString& path) override {
        note(QStringLiteral("converting ") + describe(r));
        if (r) converted.push_back(r.get());
        if (r && onConverting) onConverting(r, path);
    }
    void setCopyingSong(const Record& r) override { note(QStringLiteral("copying ") + describe(r)); }
    void setMovingSong(const Record& r) override { note(QStringLiteral("moving ") + describe(r)); }
    void setDeletingSong(Song* s) override { note(QStringLiteral("deleting ") + (s ? s->name() : QStringLiteral("-"))); }
    void runCopier() override { note(QStringLiteral("runCopier")); }
    bool copyListUpdated() override { note(QStringLiteral("copyListUpdated?")); return false; }
    bool moveListUpdated() override { note(QStringLiteral("moveListUpdated?")); return false; }
    void writePreviousFiles() override { note(QStringLiteral("write")); }
    void updateStatus() override { note(QStringLiteral("status")); }

    static QString describe(const Record& r) { return r ? QFileInfo(r->to.isEmpty() ? r->from : r->to).fileName() : QStringLiteral("-"); }

    // Runs a pass of `w` and serves its calls until `lastCall` ("copier busy 0").
    bool pass(Worker& w, const QString& lastCall) {
        calls.clear();
        w.run();
        const bool ended = waitUntil([&] { return calls.contains(lastCall); }, 60000);
        QCoreApplication::processEvents();  // the calls that follow
        return ended;
    }
    void add(RecordList WorkLists::*list, std::initializer_list<Record> records) {
        std::lock_guard lock(work.todoLock);
        for (const Record& r : records) (work.*list).append(r);
    }

private:
    void note(const QString& call) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offMainThread;
        // A worker blocked in this call while holding the lock would keep it held.
        if (work.todoLock.try_lock()) work.todoLock.unlock();
        else ++underLock;
        calls.append(call);
        if (after) after(call);
    }
};

template <typename W>
class WorkerOnThread {
public:
    WorkerOnThread(RecordingPort& port, const Defaults& defaults) : worker(port, defaults) {
        worker.moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, &worker, &Worker::start);
        thread.start();
    }
    ~WorkerOnThread() {
        worker.requestStop();
        thread.quit();
        while (!thread.wait(10)) QCoreApplication::processEvents();
    }
    W worker;
    QThread thread;
};
