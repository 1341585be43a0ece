#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

// The system calls a save goes through. Tests put in a variant that fails, or stops
// dead as if the process were killed, at any one of them.
class TFileSystem {
public:
    virtual ~TFileSystem() = default;
    virtual int Open(const char* path, int flags, mode_t mode);
    virtual ssize_t Write(int fd, const void* data, std::size_t size);
    virtual int Sync(int fd);
    virtual int Close(int fd);
    virtual int Rename(const char* from, const char* to);
    virtual int Unlink(const char* path);
    virtual int Chown(int fd, uid_t owner, gid_t group);
    virtual int Chmod(int fd, mode_t mode);
    virtual int Truncate(int fd, off_t length);

    static TFileSystem& Real();
};

// What became of one save.
enum class TSaveOutcome {
    // Written to a temporary file beside the target and renamed over it.
    Replaced,
    // No temporary file could take the target's place (the folder is not writable, the
    // owner could not be kept, the file is a mount point): the file itself was
    // rewritten. A crash in the middle of that would leave it damaged.
    RewrittenInPlace,
    // The file has no write permission: its owner protected it, so it stays as it is.
    KeptReadOnly,
    // Nothing could be written; the old file stays as it was.
    Failed,
};

// Replaces the file at path with content so that, whatever happens during the write
// (a crash, a full disk), the file holds either its old or its new content, whole.
//
// A symbolic link is followed to its target, which is replaced; the link stays. The
// content goes to a temporary file beside the target under a fresh name of its own,
// takes the owner, group and mode of the file it replaces (a new file is readable and
// writable by its owner only), is flushed to disk and renamed over the target. Where
// that cannot work, an existing writable file is rewritten in place instead, which is
// what a plain write would have done. A file without write permission is left as it is.
TSaveOutcome SaveFileAtomically(const std::string& path, std::string_view content,
                                TFileSystem& fileSystem = TFileSystem::Real());

// The same; true when the file now holds the new content.
bool WriteFileAtomically(const std::string& path, std::string_view content,
                         TFileSystem& fileSystem = TFileSystem::Real());
