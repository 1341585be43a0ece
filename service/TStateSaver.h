#pragma once

#include "TAtomicFile.h"

#include <QObject>

#include <functional>
#include <string>
#include <thread>

// Writes the state file on a worker thread, so that the periodic save (an fsync of
// several MB at tens of thousands of users) does not hold up the accounting. The
// caller formats the content on the thread that owns the store, which is then free
// again at once; one save at a time, and its outcome comes back on the caller's thread.
class TStateSaver : public QObject {
    Q_OBJECT
public:
    explicit TStateSaver(QObject* parent = nullptr);
    // Waits for a save under way: the file is never left half written by us.
    ~TStateSaver() override;

    // Starts writing content to path; false, and nothing started, while a save is
    // still under way.
    bool Start(std::string path, std::string content);
    // The same with a write of the caller's own (a file written from several threads).
    bool Start(std::function<TSaveOutcome()> write);
    // A save started and its outcome not reported yet.
    bool Busy() const { return Worker.joinable(); }
    // Waits for the save under way, if any, and reports its outcome now.
    void Wait();

    // Tests put in a file system that fails or is slow.
    TFileSystem* FileSystem = &TFileSystem::Real();

signals:
    void Saved(TSaveOutcome outcome);

private:
    void Finish(unsigned generation);

    std::thread Worker;
    // Written by the worker before it ends, read after the join.
    TSaveOutcome Outcome = TSaveOutcome::Replaced;
    unsigned Generation = 0;
};
