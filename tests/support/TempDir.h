#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A fresh directory under /tmp for one test, removed afterwards.
class TTempDir {
public:
    TTempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vexal-test.XXXXXX").string();
        Path = mkdtemp(pattern.data());
    }
    ~TTempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string File(const std::string& name) const { return (Path / name).string(); }

    std::filesystem::path Path;
};

inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}
