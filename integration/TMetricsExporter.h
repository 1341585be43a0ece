#pragma once

#include "MetricsSnapshot.h"

#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}
class TMetricsCollectable;

// Serves /metrics in the Prometheus text format (prometheus-cpp: its HTTP server runs
// on threads of its own). What it shows is the last snapshot handed to Update; a scrape
// builds the text from it, so devices that are gone from the store are gone from the
// output, and a device whose totals were reset shows a counter reset, which
// Prometheus's rate() takes as such.
class TMetricsExporter {
public:
    static constexpr int DefaultPort = 9155;

    // Listens on bindAddress ("0.0.0.0:9155", "127.0.0.1:0" for any free port). Returns
    // nothing, with the reason in error, when the port cannot be bound.
    static std::unique_ptr<TMetricsExporter> Start(const std::string& bindAddress, std::string& error);
    ~TMetricsExporter();
    TMetricsExporter(const TMetricsExporter&) = delete;
    TMetricsExporter& operator=(const TMetricsExporter&) = delete;

    // From any thread; the next scrape shows it.
    void Update(TMetricsSnapshot snapshot);
    // The port it listens on (the one chosen when asked for port 0).
    int Port() const;

private:
    TMetricsExporter() = default;
    std::shared_ptr<TMetricsCollectable> Collectable;
    std::unique_ptr<prometheus::Exposer> Exposer;
};
