// Arbitrary bytes as a state file: the reader may stop anywhere, but the user lists
// must stay aligned and indexed, and what it read must write out again.
#include "TDaten.h"
#include "TStateFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    TDaten d;
    d.AddUser("192.168.1.2", "m", "eth0", TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0));
    TStateFile::Parse(d, std::string(reinterpret_cast<const char*>(data), size));
    const std::size_t n = d.UserIP.size();
    if (d.UserMAC.size() != n || d.UserDevice.size() != n || d.UserStatus.size() != n || d.UserCPort.size() != n)
        std::abort();
    for (std::size_t i = 0; i < n; ++i)
        if (d.UserIP.IndexOf(d.UserIP[i]) > static_cast<int>(i))
            std::abort();
    TDaten again;
    if (!TStateFile::Parse(again, TStateFile::Format(d)) || again.UserIP.size() != n)
        std::abort();
    return 0;
}
