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

    static TFileSystem& Real();
};

// Replaces the file at path with content so that, whatever happens during the write
// (a crash, a full disk), the file holds either its old or its new content, whole.
// The content goes to "<path>.tmp" beside it, readable and writable by the owner only,
// is flushed to disk and renamed over the file. A file without write permission is
// left as it is. Returns false when nothing was replaced.
bool WriteFileAtomically(const std::string& path, std::string_view content,
                         TFileSystem& fileSystem = TFileSystem::Real());
