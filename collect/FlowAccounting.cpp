#include "FlowAccounting.h"

#include "Errors.h"
#include "TDaten.h"
#include "TFlowDatagram.h"
#include "TextForms.h"

#include <cstdint>

namespace {
// Flow sequences are 32-bit counters that wrap; the expected next sequence is kept in
// the same range so a wrap does not turn the loss figure into minus four billion.
constexpr std::int64_t SequenceModulus = std::int64_t{1} << 32;

std::int64_t WrapSequence(std::int64_t value)
{
    return ((value % SequenceModulus) + SequenceModulus) % SequenceModulus;
}

// Flows between the sequence we expected and the one that arrived, as a signed
// distance on the 32-bit circle: positive for lost flows, negative after a restart.
std::int64_t SequenceDistance(std::int64_t arrived, std::int64_t expected)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(WrapSequence(arrived - expected)));
}

void ChargeRecord(TDaten& daten, int router, const TFlowRecord& record, const std::string& stampNow)
{
    std::string& src = daten.FlowLogSrcIP.Push();
    AssignDottedQuad(src, record.SrcAddr);
    std::string& dst = daten.FlowLogDstIP.Push();
    AssignDottedQuad(dst, record.DstAddr);
    AssignInt(daten.FlowLogSrcPort.Push(), record.SrcPort);
    AssignInt(daten.FlowLogDstPort.Push(), record.DstPort);
    AssignInt(daten.FlowLogTraffic.Push(), record.Octets);

    // Both sides are tested, upload first: a flow between two local clients is the
    // upload of one and the download of the other. Ports are keyed by the remote side.
    if (daten.IsLocalAddress(src)) {
        AddToCounter(daten.RouterUpload[router], record.Octets);
        daten.RouterPortTrafficUL[router].Add(record.DstPort, record.Octets);
        const int user = daten.UserIP.IndexOf(src);
        if (user >= 0) {
            AddToCounter(daten.UserUL[user], record.Octets);
            AddToCounter(daten.UserCUL[user], record.Octets);
            daten.UserLastTime[user] = stampNow;
        }
    }
    if (daten.IsLocalAddress(dst)) {
        AddToCounter(daten.RouterDownload[router], record.Octets);
        daten.RouterPortTrafficDL[router].Add(record.SrcPort, record.Octets);
        const int user = daten.UserIP.IndexOf(dst);
        if (user >= 0) {
            AddToCounter(daten.UserDL[user], record.Octets);
            AddToCounter(daten.UserCDL[user], record.Octets);
            daten.UserLastTime[user] = stampNow;
        }
    }
}
}

TDatagramOutcome AccountFlowDatagram(TDaten& daten, std::span<const unsigned char> datagram, const std::string& fromIP,
                                     const TLocalTime& now)
{
    TDatagramOutcome outcome;
    try {
        const TFlowHeader header = DecodeFlowHeader(datagram);

        int router = daten.RouterIP.IndexOf(fromIP);
        const bool isNew = router < 0;
        if (isNew) {
            router = daten.AddRouter(fromIP, header.Sequence, now);
        } else {
            if (StrToInt64(daten.RouterSequenz[router]) == header.Sequence)
                return outcome;  // a repeated datagram: already counted once
            AssignInt(daten.RouterSequenz[router], header.Sequence);
            daten.RouterTime[router] = TimeText(now);
        }

        const std::string stampNow = StampText(now);
        for (std::uint32_t j = 0; j < header.Count; ++j)
            ChargeRecord(daten, router, DecodeFlowRecord(datagram, j), stampNow);

        outcome.Memo = std::vector<std::string>{
            "IP:" + fromIP,
            "FS:" + IntToStr(header.Sequence) + " Count :" + IntToStr(header.Count),
        };

        // RouterRecordCount is the sequence expected next; the loss figure is how far
        // the arriving sequence ran ahead of it, summed since first contact.
        std::string& expected = daten.RouterRecordCount[router];
        if (!isNew)
            AssignInt(daten.RouterPLoss[router], SequenceDistance(header.Sequence, StrToInt64(expected)));
        AssignInt(expected, WrapSequence(StrToInt64(expected) + header.Count));
    } catch (const EVexalError& error) {
        outcome.Error = error.what();
    }
    return outcome;
}
