#pragma once

#include <optional>
#include <string>
#include <vector>

// What handling one datagram leaves for the window to show.
struct TDatagramOutcome {
    // The incoming memo's new content, line by line; empty when the memo keeps what
    // it shows (a repeated or broken flow datagram).
    std::optional<std::vector<std::string>> Memo;
    // The text of the error that stopped the handling, empty when there was none.
    // Everything the datagram changed before the error stays changed.
    std::string Error;

    // A fault the window reports in its status line although the datagram was handled
    // (a damaged counter left as it is); empty when there was none.
    std::string Notice;

    // The MAC a well-formed announcement of a local device (or an IPv6 neighbour) named;
    // empty otherwise.
    std::string AnnouncedMAC;
    // Its address and device name, as the announcement gave them.
    std::string AnnouncedIP, AnnouncedDevice;

    bool Failed() const { return !Error.empty(); }
};
