#include "TAtomicFile.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <random>
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

int TFileSystem::Chown(int fd, uid_t owner, gid_t group)
{
    return ::fchown(fd, owner, group);
}

int TFileSystem::Chmod(int fd, mode_t mode)
{
    return ::fchmod(fd, mode);
}

int TFileSystem::Truncate(int fd, off_t length)
{
    return ::ftruncate(fd, length);
}

TFileSystem& TFileSystem::Real()
{
    static TFileSystem real;
    return real;
}

namespace {
constexpr std::string_view TemporarySuffix = ".tmp-";
constexpr std::size_t RandomLetters = 6;
constexpr std::string_view Letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a write through path reaches: links are followed one by one, a relative
// target read from the link's own folder. A path that does not exist (or whose link
// points nowhere) is where a new file would be created. Nothing when links loop.
std::optional<std::string> ResolveLinks(std::string path)
{
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return path;
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
            return std::nullopt;
        std::string target(buffer, static_cast<std::size_t>(length));
        path = target.front() == '/' ? std::move(target) : DirectoryOf(path) + "/" + target;
    }
    return std::nullopt;
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

// Creates "<target>.tmp-XXXXXX" under a name nobody used before. A fixed name would
// let one stale file that cannot be removed (a folder of that name, another user's
// file in a sticky folder) block every later save. O_EXCL with O_NOFOLLOW never opens
// anything planted there, link or file.
int CreateTemporary(TFileSystem& fs, const std::string& target, std::string& name)
{
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target;
        name += TemporarySuffix;
        for (std::size_t i = 0; i < RandomLetters; ++i)
            name.push_back(Letters[random() % Letters.size()]);
        const int fd = fs.Open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool IsOwnTemporaryName(std::string_view name, std::string_view base)
{
    if (!name.starts_with(base))
        return false;
    name.remove_prefix(base.size());
    if (name == ".tmp")  // the fixed name of earlier versions
        return true;
    if (!name.starts_with(TemporarySuffix) || name.size() != TemporarySuffix.size() + RandomLetters)
        return false;
    name.remove_prefix(TemporarySuffix.size());
    return name.find_first_not_of(Letters) == std::string_view::npos;
}

// A save killed half-way leaves its temporary file behind. Once a save went through,
// the folder is writable and this process owns the target, so its own left-overs go;
// anything that is not a plain file of ours is left alone.
void RemoveStaleTemporaries(const std::string& target)
{
    const std::string folder = DirectoryOf(target);
    const std::string base = NameOf(target);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsOwnTemporaryName(entry->d_name, base))
            continue;
        struct stat info {};
        if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)
            && info.st_uid == ::geteuid())
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// What a plain write would have done: the same file, owner and mode, new content.
// Written first and cut to length after, so a failure part-way never leaves less
// than the old file's length behind.
TSaveOutcome RewriteInPlace(TFileSystem& fs, const std::string& target, std::string_view content)
{
    const int fd = fs.Open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0)
        return TSaveOutcome::Failed;
    const bool written = WriteAll(fs, fd, content) && fs.Truncate(fd, static_cast<off_t>(content.size())) == 0
                         && fs.Sync(fd) == 0;
    if (fs.Close(fd) != 0 || !written)
        return TSaveOutcome::Failed;
    return TSaveOutcome::RewrittenInPlace;
}

// Errors that say a new file cannot take the target's place, while the target itself
// may well be writable: a folder without write permission, a sticky folder with the
// target of another owner, a file mounted on its own.
bool CannotReplace(int error)
{
    return error == EACCES || error == EPERM || error == EBUSY || error == EXDEV;
}
}

TSaveOutcome SaveFileAtomically(const std::string& path, std::string_view content, TFileSystem& fs)
{
    const std::optional<std::string> resolved = ResolveLinks(path);
    if (!resolved)
        return TSaveOutcome::Failed;
    const std::string& target = *resolved;

    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode))
        return TSaveOutcome::Failed;
    // The mode bits, not access(): root may write anything, yet a file its owner made
    // read-only stays untouched.
    if (exists && (existing.st_mode & S_IWUSR) == 0)
        return TSaveOutcome::KeptReadOnly;

    std::string temporary;
    const int fd = CreateTemporary(fs, target, temporary);
    if (fd < 0) {
        const int error = errno;
        return exists && CannotReplace(error) ? RewriteInPlace(fs, target, content) : TSaveOutcome::Failed;
    }
    // The file keeps its owner, group and mode across the rename. Where that is not
    // allowed (a user saving another user's file), the rename would take the file
    // from its owner, so it is rewritten in place instead.
    if (exists
        && (fs.Chown(fd, existing.st_uid, existing.st_gid) != 0 || fs.Chmod(fd, existing.st_mode & 07777) != 0)) {
        fs.Close(fd);
        fs.Unlink(temporary.c_str());
        return RewriteInPlace(fs, target, content);
    }
    // A failed flush means the data may never reach the disk: renaming it over the old
    // file would trade a good file for a broken one at the next power loss.
    const bool written = WriteAll(fs, fd, content) && fs.Sync(fd) == 0;
    if (fs.Close(fd) != 0 || !written) {
        fs.Unlink(temporary.c_str());
        return TSaveOutcome::Failed;
    }
    if (fs.Rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        fs.Unlink(temporary.c_str());
        return exists && CannotReplace(error) ? RewriteInPlace(fs, target, content) : TSaveOutcome::Failed;
    }
    // The rename itself must reach the disk, or a power cut could bring back the old name.
    const int dir = fs.Open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir >= 0) {
        fs.Sync(dir);
        fs.Close(dir);
    }
    RemoveStaleTemporaries(target);
    return TSaveOutcome::Replaced;
}

bool WriteFileAtomically(const std::string& path, std::string_view content, TFileSystem& fs)
{
    const TSaveOutcome outcome = SaveFileAtomically(path, content, fs);
    return outcome == TSaveOutcome::Replaced || outcome == TSaveOutcome::RewrittenInPlace;
}
