#include "TAtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int TFileSystem::Open(const char* path, int flags, mode_t mode)
{
    return ::open(path, flags, mode);
}

ssize_t TFileSystem::Write(int fd, const void* data, std::size_t size)
{
    return ::write(fd, data, size);
}

int TFileSystem::Sync(int fd)
{
    return ::fsync(fd);
}

int TFileSystem::Close(int fd)
{
    return ::close(fd);
}

int TFileSystem::Rename(const char* from, const char* to)
{
    return ::rename(from, to);
}

int TFileSystem::Unlink(const char* path)
{
    return ::unlink(path);
}

TFileSystem& TFileSystem::Real()
{
    static TFileSystem real;
    return real;
}

namespace {
// A file the user made read-only stays untouched. Checking the mode bits as well as
// access() matters for root, to whom access() grants everything.
bool IsReadOnly(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return false;  // not there yet: it will be created
    return ::access(path.c_str(), W_OK) != 0 || (info.st_mode & S_IWUSR) == 0;
}

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(TFileSystem& fs, int fd, std::string_view content)
{
    while (!content.empty()) {
        const ssize_t written = fs.Write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}
}

bool WriteFileAtomically(const std::string& path, std::string_view content, TFileSystem& fs)
{
    if (IsReadOnly(path))
        return false;
    const std::string temporary = path + ".tmp";
    // A left-over from an interrupted save is stale; O_EXCL and O_NOFOLLOW then make
    // sure we write a fresh file of our own and never follow a planted link.
    fs.Unlink(temporary.c_str());
    const int fd = fs.Open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    const bool written = WriteAll(fs, fd, content) && fs.Sync(fd) == 0;
    if (fs.Close(fd) != 0 || !written || fs.Rename(temporary.c_str(), path.c_str()) != 0) {
        fs.Unlink(temporary.c_str());
        return false;
    }
    // The rename itself must reach the disk, or a power cut could bring back the old name.
    const int dir = fs.Open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir >= 0) {
        fs.Sync(dir);
        fs.Close(dir);
    }
    return true;
}
