#include "TMetricsExporter.h"

#include "TIpAddress.h"
#include "VexalVersion.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

class TMetricsCollectable : public prometheus::Collectable, public std::enable_shared_from_this<TMetricsCollectable> {
public:
    void Set(std::shared_ptr<const TMetricsSnapshot> snapshot)
    {
        std::lock_guard lock(Mutex);
        Snapshot = std::move(snapshot);
    }

    void SetSource(QObject* context, std::function<TMetricsSnapshot()> build)
    {
        std::lock_guard lock(Mutex);
        Context = context;
        Build = std::move(build);
        Pending = false;
    }

    // Scrapes waiting for a snapshot return at once; the server is about to stop.
    void Close()
    {
        {
            std::lock_guard lock(Mutex);
            Closing = true;
        }
        Ready.notify_all();
    }

    std::uint64_t Built() const
    {
        std::lock_guard lock(Mutex);
        return BuiltCount;
    }

    std::vector<prometheus::MetricFamily> Collect() const override
    {
        return Families(Fresh());
    }

private:
    // On a server thread: asks the store's thread for a snapshot built after this
    // request and waits for it, bounded. Scrapes that come while one is being built ask
    // for the next, so several at once cost one or two builds, not one each.
    std::shared_ptr<const TMetricsSnapshot> Fresh() const
    {
        std::unique_lock lock(Mutex);
        if (!Build || Closing)
            return Snapshot;
        const std::uint64_t asked = ++Asked;
        if (!Pending) {
            Pending = true;
            auto self = std::const_pointer_cast<TMetricsCollectable>(shared_from_this());
            std::weak_ptr<TMetricsCollectable> weak = self;
            // Posting an event to another thread's object is safe from any thread; the
            // context outlives the server threads (the exporter closes them first).
            QMetaObject::invokeMethod(
                Context.data(), [weak] {
                    if (auto collectable = weak.lock())
                        collectable->Serve();
                },
                Qt::QueuedConnection);
        }
        const bool served = Ready.wait_for(lock, std::chrono::milliseconds(TMetricsExporter::SnapshotWaitMs),
                                           [&] { return Served >= asked || Closing; });
        if (!served)
            Pending = false;  // the store's thread is busy: the next scrape asks again
        return Snapshot;
    }

    // On the store's thread.
    void Serve()
    {
        std::function<TMetricsSnapshot()> build;
        std::uint64_t serving = 0;
        {
            std::lock_guard lock(Mutex);
            build = Build;
            serving = Asked;
            Pending = false;
        }
        std::shared_ptr<const TMetricsSnapshot> snapshot;
        try {
            if (build)
                snapshot = std::make_shared<const TMetricsSnapshot>(build());
        } catch (const std::exception&) {
            // The previous snapshot is served; a scrape is no place to report it.
        }
        {
            std::lock_guard lock(Mutex);
            if (snapshot) {
                Snapshot = std::move(snapshot);
                ++BuiltCount;
            }
            Served = std::max(Served, serving);
        }
        Ready.notify_all();
    }

    std::vector<prometheus::MetricFamily> Families(std::shared_ptr<const TMetricsSnapshot> snapshot) const
    {
        // A deque, so that the families filled below stay where they are as more are added.
        std::deque<prometheus::MetricFamily> families;
        if (!snapshot)
            return {};
        using prometheus::MetricType;
        auto family = [&](const char* name, const char* help, MetricType type) -> prometheus::MetricFamily& {
            families.push_back({name, help, type, {}});
            return families.back();
        };
        auto add = [](prometheus::MetricFamily& f, std::vector<prometheus::ClientMetric::Label> labels, double value) {
            prometheus::ClientMetric metric;
            metric.label = std::move(labels);
            if (f.type == MetricType::Counter)
                metric.counter.value = value;
            else
                metric.gauge.value = value;
            f.metric.push_back(std::move(metric));
        };
        auto d = [](std::int64_t v) { return static_cast<double>(v); };
        auto u = [](std::uint64_t v) { return static_cast<double>(v); };

        auto& deviceUp = family("vexal_device_upload_octets_total", "Octets sent by the device since its totals were last reset", MetricType::Counter);
        auto& deviceDown = family("vexal_device_download_octets_total", "Octets received by the device since its totals were last reset", MetricType::Counter);
        auto& deviceOnline = family("vexal_device_online", "1 while the device's last announcement is at most 138 s old, as exported to akteth.status", MetricType::Gauge);
        for (const TMetricsDevice& device : snapshot->Devices) {
            std::vector<prometheus::ClientMetric::Label> labels{{"ip", device.IP}, {"mac", device.MAC}, {"name", device.Name}};
            add(deviceUp, labels, d(device.UL));
            add(deviceDown, labels, d(device.DL));
            add(deviceOnline, std::move(labels), device.Online ? 1.0 : 0.0);
        }
        auto& limitOctets = family("vexal_device_limit_octets", "The device's volume limit per billing period", MetricType::Gauge);
        auto& periodOctets = family("vexal_device_period_octets", "Octets the device sent and received in the current billing period (devices with a limit)", MetricType::Gauge);
        auto& crossings = family("vexal_device_limit_crossings_total", "Times the device's use passed 80 or 100 percent of its limit, as told in the status line", MetricType::Counter);
        for (const TMetricsLimit& limit : snapshot->Limits) {
            std::vector<prometheus::ClientMetric::Label> labels{{"mac", limit.MAC}, {"name", limit.Name}};
            add(limitOctets, labels, d(limit.Limit));
            add(periodOctets, labels, d(limit.Use));
            auto marked = [&labels](const char* mark) {
                auto with = labels;
                with.push_back({"mark", mark});
                return with;
            };
            add(crossings, marked("80"), u(limit.Told80));
            add(crossings, marked("100"), u(limit.Told100));
        }
        auto& routerUp = family("vexal_router_upload_octets_total", "Octets of flows with a local source, per exporting router", MetricType::Counter);
        auto& routerDown = family("vexal_router_download_octets_total", "Octets of flows with a local destination, per exporting router", MetricType::Counter);
        auto& routerLoss = family("vexal_router_flow_loss", "Loss figure: flow sequence minus the records counted (may be negative)", MetricType::Gauge);
        for (const TMetricsRouter& router : snapshot->Routers) {
            add(routerUp, {{"ip", router.IP}}, d(router.UL));
            add(routerDown, {{"ip", router.IP}}, d(router.DL));
            add(routerLoss, {{"ip", router.IP}}, d(router.PLoss));
        }
        const TMetricsHealth& health = snapshot->Health;
        // The usual build-info gauge: a dashboard tells the collectors' versions apart by its label.
        add(family("vexal_build_info", "The program's version, as a label; always 1", MetricType::Gauge),
            {{"version", VEXAL_VERSION}}, 1);
        add(family("vexal_devices", "Devices in the user table", MetricType::Gauge), {}, u(snapshot->Devices.size()));
        add(family("vexal_routers", "Routers that sent flows", MetricType::Gauge), {}, u(snapshot->Routers.size()));
        auto& received = family("vexal_datagrams_received_total", "Datagrams received, per port", MetricType::Counter);
        add(received, {{"port", "flow"}}, u(health.FlowDatagrams));
        add(received, {{"port", "mac"}}, u(health.MacDatagrams));
        add(family("vexal_datagrams_malformed_total", "Datagrams that could not be decoded", MetricType::Counter), {},
            u(health.Malformed));
        auto& dropped = family("vexal_datagrams_dropped_total", "Datagrams lost, per cause", MetricType::Counter);
        for (const auto& [cause, count] : health.Dropped)
            add(dropped, {{"cause", cause}}, u(count));
        auto& refused = family("vexal_refused_total", "Senders and devices refused by a full table, per cause", MetricType::Counter);
        for (const auto& [cause, count] : health.Refused)
            add(refused, {{"cause", cause}}, u(count));
        add(family("vexal_routers_dropped_total", "Router rows let go after an hour of silence to make room", MetricType::Counter), {},
            u(health.IdleRoutersDropped));
        add(family("vexal_export_runs_total", "Database export runs", MetricType::Counter), {}, u(health.ExportRuns));
        add(family("vexal_export_failures_total", "Database export runs that failed", MetricType::Counter), {},
            u(health.ExportFailures));
        auto& commands = family("vexal_commands_total", "Runs of LimitCommand and NewDeviceCommand, per outcome", MetricType::Counter);
        for (const auto& [outcome, count] : health.Commands)
            add(commands, {{"outcome", outcome}}, u(count));
        add(family("vexal_new_devices_total", "MACs that announced themselves for the first time ever", MetricType::Counter), {},
            u(health.NewDevices));
        // A family without samples would be announced with nothing after it.
        std::vector<prometheus::MetricFamily> result;
        for (prometheus::MetricFamily& f : families)
            if (!f.metric.empty())
                result.push_back(std::move(f));
        return result;
    }

    mutable std::mutex Mutex;
    mutable std::condition_variable Ready;
    // Built only on the store's thread; a scrape holds the lock only to take the pointer.
    std::shared_ptr<const TMetricsSnapshot> Snapshot = std::make_shared<const TMetricsSnapshot>();
    QPointer<QObject> Context;
    std::function<TMetricsSnapshot()> Build;
    mutable std::uint64_t Asked = 0;  // requests made by scrapes
    std::uint64_t Served = 0;         // requests answered by a build
    mutable bool Pending = false;     // a request is on its way to the store's thread
    bool Closing = false;
    std::uint64_t BuiltCount = 0;
};

namespace {
std::unique_ptr<prometheus::Exposer> Listen(const std::string& listeningPorts, std::string& error)
{
    const std::vector<std::string> options{
        "listening_ports", listeningPorts,
        "num_threads", std::to_string(TMetricsExporter::ServerThreads),
        "request_timeout_ms", std::to_string(TMetricsExporter::RequestTimeoutMs),
    };
    try {
        return std::make_unique<prometheus::Exposer>(options);
    } catch (const std::exception&) {
        // The library only says "null context when constructing CivetServer".
        error = "Adresse " + listeningPorts + " lässt sich nicht öffnen: der Port ist belegt oder die Adresse gehört nicht zu diesem Rechner";
        return nullptr;
    }
}
}

std::unique_ptr<TMetricsExporter> TMetricsExporter::Start(const std::string& bindAddress, std::string& error)
{
    std::unique_ptr<TMetricsExporter> exporter(new TMetricsExporter);
    exporter->Collectable = std::make_shared<TMetricsCollectable>();
    exporter->Exposer = Listen(bindAddress, error);
    if (!exporter->Exposer)
        return nullptr;
    exporter->Exposer->RegisterCollectable(exporter->Collectable);
    return exporter;
}

std::unique_ptr<TMetricsExporter> TMetricsExporter::Start(const TOptions& options, std::string& error)
{
    // The address goes into the server's option text, where "," and letters after the
    // port have meanings of their own: only a plain address is taken.
    std::string address = options.Address.empty() ? std::string("0.0.0.0") : options.Address;
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        if (!TIpAddress::ParseV6(address.substr(1, address.size() - 2))) {
            error = "Adresse " + address + " ist keine IPv6-Adresse";
            return nullptr;
        }
    } else if (!TIpAddress::ParseV4(address)) {
        error = "Adresse " + address + " ist keine IPv4-Adresse (IPv6 in eckigen Klammern)";
        return nullptr;
    }
    if (options.Port < 0 || options.Port > 65535) {
        error = "Port " + std::to_string(options.Port) + " gibt es nicht";
        return nullptr;
    }
    std::unique_ptr<TMetricsExporter> exporter(new TMetricsExporter);
    exporter->Collectable = std::make_shared<TMetricsCollectable>();
    exporter->Exposer = Listen(address + ":" + std::to_string(options.Port), error);
    if (!exporter->Exposer)
        return nullptr;
    // Before anything is served: no scrape gets past without the login.
    if (!options.User.empty() && !options.Password.empty()) {
        exporter->Exposer->RegisterAuth(
            [user = options.User, password = options.Password](const std::string& u, const std::string& p) {
                return u == user && p == password;
            },
            "Vexal Capture");
    }
    exporter->Exposer->RegisterCollectable(exporter->Collectable);
    return exporter;
}

TMetricsExporter::~TMetricsExporter()
{
    // Scrapes waiting for the store's thread (which is here, not in its event loop)
    // return first; then the server stops and joins its threads.
    if (Collectable)
        Collectable->Close();
    Exposer.reset();
}

void TMetricsExporter::SetSource(QObject* context, std::function<TMetricsSnapshot()> build)
{
    Collectable->SetSource(context, std::move(build));
}

std::uint64_t TMetricsExporter::SnapshotsBuilt() const
{
    return Collectable->Built();
}

void TMetricsExporter::Update(TMetricsSnapshot snapshot)
{
    Collectable->Set(std::make_shared<const TMetricsSnapshot>(std::move(snapshot)));
}

int TMetricsExporter::Port() const
{
    const std::vector<int> ports = Exposer->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}
