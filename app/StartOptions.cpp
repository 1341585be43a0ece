#include "StartOptions.h"

#include <cstring>
#include <filesystem>
#include <system_error>

TStartOptions ParseStartOptions(int argc, const char* const* argv)
{
    TStartOptions options;
    const std::string folderPrefix = "--folder=";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h")
            options.Help = true;
        else if (argument == "--version")
            options.Version = true;
        else if (argument == "--headless")
            options.Headless = true;
        else if (argument == "--menu")
            options.Menu = true;
        else if (argument == "--folder" || argument.starts_with(folderPrefix)) {
            std::string folder;
            if (argument == "--folder") {
                if (i + 1 < argc)
                    folder = argv[++i];
            } else {
                folder = argument.substr(folderPrefix.size());
            }
            if (folder.empty())
                options.Error = "Die Option --folder braucht einen Ordner.";
            options.Folder = folder;
        } else if (options.Unknown.empty()) {
            options.Unknown = argument;
        }
    }
    return options;
}

std::string ChooseStartFolder(const TStartOptions& options, const char* xdgDataHome, const char* home)
{
    if (!options.Folder.empty())
        return options.Folder;
    if (!options.Menu)
        return {};
    // The desktop starts programs in some folder of its own choosing; the user's data
    // folder is where a program keeps its files. A relative XDG_DATA_HOME is invalid
    // and ignored, as the XDG base directory rules say.
    if (xdgDataHome && xdgDataHome[0] == '/')
        return (std::filesystem::path(xdgDataHome) / "vexal-capture").string();
    if (home && home[0] != '\0')
        return (std::filesystem::path(home) / ".local" / "share" / "vexal-capture").string();
    return {};
}

bool EnterStartFolder(const std::string& folder, std::string& error)
{
    std::error_code failure;
    std::filesystem::create_directories(folder, failure);
    if (!failure)
        std::filesystem::current_path(folder, failure);
    if (failure) {
        error = "Ordner " + folder + " kann nicht benutzt werden: " + failure.message();
        return false;
    }
    return true;
}
