#pragma once

// Small helpers every kind of test uses: waiting on the event loop, files
// and folders, and programs run to their end.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

#include <atomic>
#include <functional>
#include <thread>

// Runs the event loop until `done` holds or `ms` pass; answers `done()`.
bool waitUntil(const std::function<bool()>& done, int ms = 10000);

// Full paths of the files and folders below `folder`, relative to it,
// hidden ones included, sorted; folders end in "/".
QStringList treeOf(const QString& folder);

// Writes a file whole, making its folders as needed.
bool writeFile(const QString& path, const QByteArray& bytes);
// A file's bytes; empty when it cannot be read.
QByteArray readFile(const QString& path);
// Sets the modification time (seconds since 1970).
bool setModificationTime(const QString& path, double seconds);
// Runs `action` while no file may grow past `bytes`: writes beyond fail, as
// on a full disk.
void withFileSizeLimit(qint64 bytes, const std::function<void()>& action);

struct RunResult {
    int exitCode = -1;  // -1 when it did not start, crashed or ran out of time
    QByteArray output;  // standard output as written
    QString out, err;   // standard output and error as text
    QString failure;    // why it did not run to its end, if it did not
};

// Runs a program to its end with an empty standard input.
RunResult runProgram(const QString& program, const QStringList& args,
                     const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 120000);

// The program under test, built beside the tests, run as a user runs it; a
// run that does not come to its end fails the test.
RunResult runBrisle(const QStringList& args, const QProcessEnvironment& env, int timeoutMs = 120000);

// A FIFO where a file is expected. A reader that blocks opening it is let go
// after `patienceMs` (it reads an end of file at once), so code that waits
// on it fails its test rather than hanging it.
class Fifo {
public:
    explicit Fifo(const QString& path, int patienceMs = 3000);
    ~Fifo();
    Fifo(const Fifo&) = delete;
    Fifo& operator=(const Fifo&) = delete;
    const QString& path() const { return path_; }

private:
    QString path_;
    std::atomic<bool> done_{false};
    std::thread releaser_;
};
