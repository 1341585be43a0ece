#pragma once

#include <cstdint>

// The program without any window: QCoreApplication, the collector on the given UDP ports
// in the working directory, its status texts on stderr (the journal, under systemd),
// SIGTERM and SIGINT save and end. Returns the exit code.
int RunHeadless(int& argc, char** argv, std::uint16_t flowPort, std::uint16_t announcePort);
