// Feeds arbitrary bytes to the v9/IPFIX path of the flow handler: the first byte picks
// the version and the sender's port, the rest is the message after its version field.
// Templates, held data and sequences carry over between runs, so the fuzzer reaches
// data read with templates from earlier inputs. Checks that the tables stay aligned
// and that what is kept between datagrams stays within its bounds. The devices have
// IPv6 addresses and a local IPv6 network, so IPv6 records reach the device look-up and
// the learning from MACs (02:00:00:00:00:01 and :02 are the devices'); every address
// kept must lead back to its row through the index.
#include "FlowAccounting.h"
#include "SequenceFollowers.h"
#include "TSequenceWindow.h"
#include "TDaten.h"
#include "TIpAddress.h"
#include "TTemplateFlow.h"

#include <cstdlib>
#include <vector>

namespace {
TDaten& Store()
{
    static TDaten* daten = [] {
        auto* d = new TDaten;
        d->LocalSubnets = {"10", "192.168.1", "2001:db8:1::/64"};
        const TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
        d->AddUser("10.0.0.1", "02:00:00:00:00:01", "eth0", now);
        d->AddUser("192.168.1.2", "02:00:00:00:00:02", "eth0", now);
        d->LearnIPv6(0, *TIpAddress::Parse("2001:db8:1::1"), now);
        d->LearnIPv6(1, *TIpAddress::Parse("2001:db8:1::2"), now);
        return d;
    }();
    return *daten;
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    if (size < 1)
        return 0;
    TDaten& d = Store();
    std::vector<unsigned char> datagram = {0, static_cast<unsigned char>(data[0] & 1 ? 10 : 9)};
    datagram.insert(datagram.end(), data + 1, data + size);
    const auto port = static_cast<std::uint16_t>(4000 + (data[0] >> 1 & 3));
    const TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, static_cast<int>(size % 3), 0);
    const TDatagramOutcome outcome = AccountFlowDatagram(d, datagram, "192.168.1.254", now, port);
    Check(!(outcome.Failed() && outcome.Memo.has_value()));
    Check(d.UserIP.size() == 2 && d.UserUL.size() == 2 && d.UserCPort.size() == 2);
    Check(d.RouterIP.size() <= 1 && d.RouterFlow.size() == d.RouterIP.size()
          && d.RouterPLoss.size() == d.RouterIP.size());
    Check(d.FlowLogTraffic.size() == 150);
    Check(d.FlowHeldBytes <= FlowTemplates::MaxHeldBytesTotal);
    if (!d.RouterFlow.empty()) {
        const TRouterFlowState& state = d.RouterFlow[0];
        Check(state.Templates.size() <= FlowTemplates::MaxTemplates);
        Check(state.HeldBytes == d.FlowHeldBytes && state.HeldBytes <= FlowTemplates::MaxHeldBytesPerRouter);
        Check(state.Followers.size() <= SequenceFollowers::MaxPerRouter);
        for (const TSequenceFollower& follower : state.Followers)
            Check(follower.Loss >= 0 && follower.Recent.size() <= TSequenceWindow::Capacity);
    }
    Check(d.UserIPv6.size() == 2 && d.UserIPv6.Count() <= 2 * TIPv6Aliases::MaxPerUser);
    for (std::size_t row = 0; row < d.UserIPv6.size(); ++row)
        for (const TUserAlias& alias : d.UserIPv6[row])
            Check(!alias.Address.IsV4() && !alias.Address.IsSpecialV6()
                  && d.IPv6User(alias.Address) == static_cast<int>(row));
    // Forgetting runs every 10 s in the program; here now and then, so addresses come and go.
    if (size % 7 == 0)
        d.ForgetStaleIPv6(TLocalTime::FromCivil(2026, 12, 10, 12, 10, 0));
    if (d.RouterCount() > 0 && d.RouterPortTrafficUL[0].Count() > 10000)
        d.ClearPortTraffic();
    return 0;
}
