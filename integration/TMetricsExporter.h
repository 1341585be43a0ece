#pragma once

#include "MetricsSnapshot.h"

#include <functional>
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}
class QObject;
class TMetricsCollectable;

// Serves /metrics in the Prometheus text format (prometheus-cpp: its HTTP server runs
// on threads of its own). A scrape shows a snapshot of the store: built for that scrape
// by the source (SetSource), or else the last one handed to Update. Devices that are
// gone from the store are gone from the output, and a device whose totals were reset
// shows a counter reset, which Prometheus's rate() takes as such.
class TMetricsExporter {
public:
    static constexpr int DefaultPort = 9155;
    // Enough server threads that a few slow or idle clients leave room for scrapes, and
    // a time-out after which a request that was never finished frees its thread.
    static constexpr int ServerThreads = 8;
    static constexpr int RequestTimeoutMs = 5000;
    // How long a scrape waits for the store's thread to build its snapshot; a thread
    // that is busy longer (a save, the last export) gets the previous one served.
    static constexpr int SnapshotWaitMs = 2000;

    struct TOptions {
        std::string Address = "0.0.0.0";  // IPv4 address or "[IPv6]" to listen on
        int Port = DefaultPort;           // 0: any free port
        // Both set: a scrape must log in with them (HTTP Basic authentication).
        std::string User;
        std::string Password;
    };

    // Listens as the options say. Returns nothing, with the reason in German in error,
    // when it cannot (the port taken, the address not this host's).
    static std::unique_ptr<TMetricsExporter> Start(const TOptions& options, std::string& error);
    // Listens on bindAddress ("0.0.0.0:9155", "127.0.0.1:0" for any free port).
    static std::unique_ptr<TMetricsExporter> Start(const std::string& bindAddress, std::string& error);
    ~TMetricsExporter();
    TMetricsExporter(const TMetricsExporter&) = delete;
    TMetricsExporter& operator=(const TMetricsExporter&) = delete;

    // The store has no lock and lives on one thread: a scrape asks that thread (the one
    // `context` lives on) to run build through its event loop and waits for the result,
    // at most SnapshotWaitMs. Nothing is built while nobody scrapes.
    void SetSource(QObject* context, std::function<TMetricsSnapshot()> build);
    // From any thread; the next scrape shows it (when no source is set, or the source
    // did not answer in time).
    void Update(TMetricsSnapshot snapshot);
    // The port it listens on (the one chosen when asked for port 0).
    int Port() const;
    // Snapshots built for scrapes so far.
    std::uint64_t SnapshotsBuilt() const;

private:
    TMetricsExporter() = default;
    std::shared_ptr<TMetricsCollectable> Collectable;
    std::unique_ptr<prometheus::Exposer> Exposer;
};
