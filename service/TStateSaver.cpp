#include "TStateSaver.h"

#include <exception>

TStateSaver::TStateSaver(QObject* parent) : QObject(parent) {}

TStateSaver::~TStateSaver()
{
    if (Worker.joinable())
        Worker.join();
}

bool TStateSaver::Start(std::string path, std::string content)
{
    TFileSystem* fileSystem = FileSystem;
    return Start([fileSystem, path = std::move(path), content = std::move(content)] {
        return SaveFileAtomically(path, content, *fileSystem);
    });
}

bool TStateSaver::Start(std::function<TSaveOutcome()> write)
{
    if (Worker.joinable())
        return false;
    const unsigned generation = ++Generation;
    Worker = std::thread([this, generation, write = std::move(write)] {
        try {
            Outcome = write();
        } catch (const std::exception&) {
            Outcome = TSaveOutcome::Failed;
        }
        // Queued to this object's thread; dropped if the saver is gone by then (its
        // destructor has joined this thread first).
        QMetaObject::invokeMethod(this, [this, generation] { Finish(generation); }, Qt::QueuedConnection);
    });
    return true;
}

void TStateSaver::Wait()
{
    if (!Worker.joinable())
        return;
    Worker.join();
    emit Saved(Outcome);
}

void TStateSaver::Finish(unsigned generation)
{
    // Wait() may have reported this save already, and another may have started since.
    if (generation != Generation || !Worker.joinable())
        return;
    Worker.join();
    emit Saved(Outcome);
}
