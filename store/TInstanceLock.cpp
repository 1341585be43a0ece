#include "TInstanceLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TInstanceLock::~TInstanceLock()
{
    if (Fd >= 0)
        ::close(Fd);
}

TInstanceLock::TResult TInstanceLock::Acquire(const std::string& lockFile, const std::string& stateFile)
{
    if (Fd >= 0)
        return TResult::Acquired;
    // The lock file carries nothing; O_NOFOLLOW keeps a planted link from making us
    // create a file elsewhere.
    int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        return Lock(fd, lockFile);
    LastError = lockFile + ": " + std::strerror(errno);
    fd = ::open(stateFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        return Lock(fd, stateFile);
    return TResult::Unavailable;
}

TInstanceLock::TResult TInstanceLock::Lock(int fd, const std::string& path)
{
    int result = 0;
    do
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool busy = errno == EWOULDBLOCK;
        LastError = path + ": " + (busy ? std::string("in use by another process") : std::strerror(errno));
        ::close(fd);
        return busy ? TResult::Busy : TResult::Unavailable;
    }
    Fd = fd;
    LastError.clear();
    return TResult::Acquired;
}
