#pragma once

#include "TDatagramOutcome.h"

#include <cstdint>
#include <span>
#include <string>

class TDaten;
struct TLocalTime;

// Decodes one flow datagram and charges it to the store, record by record: the
// sender's router row (created on first contact), the flow log, the router totals and
// per-port lists, and the totals and interval counters of local users. A datagram whose
// sequence its exporter domain delivered recently changes nothing (TSequenceWindow tells
// duplicates, late datagrams and restarts apart). A fault stops the handling where
// it is found; the records before it stay counted, and the outcome carries the error.
// The version field decides the layout: NetFlow v5, v9 or IPFIX (10); any other version
// is rejected before anything changes. v9 and IPFIX records are charged by the same
// rules as v5 ones. The sender's port tells IPFIX transport sessions apart.
TDatagramOutcome AccountFlowDatagram(TDaten& daten, std::span<const unsigned char> datagram, const std::string& fromIP,
                                     const TLocalTime& now, std::uint16_t fromPort = 0);
