#pragma once

#include "StartOptions.h"

#include <string>

// --report: prints the devices' traffic per day (or summed) from the history file in
// folder (empty: the working folder) on stdout. Opens nothing else: no window, no
// port, no instance lock, so it runs beside a collector in the same folder. A file
// that is missing or unreadable is said on stderr; returns the exit code.
int RunReport(int argc, char* argv[], const TStartOptions& options, const std::string& folder);
