#pragma once

#include <cstdint>
#include <string>

// What the command line asks for, read before any Qt object exists (a service must not
// need a display). Standard library only, so the rules are tested without a program.
struct TStartOptions {
    bool Help = false;
    bool Version = false;
    bool Headless = false;
    // Started from the desktop menu: the files go to the user's data folder.
    bool Menu = false;
    // --folder DIR: the files go there.
    std::string Folder;
    // --flow-port N and --announce-port N: the UDP ports, so that several collectors,
    // each in a folder of its own, can run on one host.
    std::uint16_t FlowPort = 2055;
    std::uint16_t AnnouncePort = 2056;
    // --report: prints the devices' traffic from the history file and ends, without a
    // window, ports or the instance lock. --from and --to are dates "YYYY-MM-DD" (empty:
    // the first day in the file, today), --format csv or json, --sum one row per device.
    bool Report = false;
    std::string ReportFrom;
    std::string ReportTo;
    std::string ReportFormat = "csv";
    bool ReportSum = false;
    // The first argument none of the above knows; the window hands it to Qt (-platform ...).
    std::string Unknown;
    // An option given wrongly (--folder without a folder, a port that is none), as the message to show.
    std::string Error;
};

TStartOptions ParseStartOptions(int argc, const char* const* argv);

// True for a date of the calendar written "YYYY-MM-DD".
bool IsReportDate(const std::string& text);

// The folder the program keeps vexal.ini and its other files in; empty for the current
// folder, as a start from a terminal without options always had it. xdgDataHome and home
// are the environment's values (null when unset).
std::string ChooseStartFolder(const TStartOptions& options, const char* xdgDataHome, const char* home);

// Creates the folder (and its parents) when missing and makes it the working folder, so
// every file the program opens by its bare name lands there. Returns false, with the
// reason in error, when it cannot.
bool EnterStartFolder(const std::string& folder, std::string& error);
