#pragma once

#include <string>

// One running instance per working folder. Two instances on the same folder would
// each load the state file at their start and save it when they close, so whichever
// closes last would overwrite the other's counted traffic with its stale copy. The
// lock is an flock() on a small file beside the state file: the kernel drops it when
// the process ends in any way, so a crash never leaves a stale lock behind.
class TInstanceLock {
public:
    static constexpr const char* DefaultFile = "vexal.lock";

    enum class TResult {
        Acquired,     // this process is the folder's instance
        Busy,         // another process holds the lock
        Unavailable,  // nothing could be locked (see Error()); nothing can be saved there either
    };

    TInstanceLock() = default;
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Takes the lock without waiting. In a folder where the lock file cannot be
    // created (read-only, with a writable state file that is then rewritten in place)
    // the state file itself is locked instead: it keeps its inode there.
    TResult Acquire(const std::string& lockFile = DefaultFile, const std::string& stateFile = "vexal.ini");
    bool Held() const { return Fd >= 0; }
    const std::string& Error() const { return LastError; }

private:
    TResult Lock(int fd, const std::string& path);

    int Fd = -1;
    std::string LastError;
};
