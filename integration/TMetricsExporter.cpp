#include "TMetricsExporter.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <deque>
#include <exception>
#include <mutex>

class TMetricsCollectable : public prometheus::Collectable {
public:
    void Set(std::shared_ptr<const TMetricsSnapshot> snapshot)
    {
        std::lock_guard lock(Mutex);
        Snapshot = std::move(snapshot);
    }

    std::vector<prometheus::MetricFamily> Collect() const override
    {
        std::shared_ptr<const TMetricsSnapshot> snapshot;
        {
            // Only the pointer is taken under the lock: a scrape never holds up Update.
            std::lock_guard lock(Mutex);
            snapshot = Snapshot;
        }
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
        auto& routerUp = family("vexal_router_upload_octets_total", "Octets of flows with a local source, per exporting router", MetricType::Counter);
        auto& routerDown = family("vexal_router_download_octets_total", "Octets of flows with a local destination, per exporting router", MetricType::Counter);
        auto& routerLoss = family("vexal_router_flow_loss", "Loss figure: flow sequence minus the records counted (may be negative)", MetricType::Gauge);
        for (const TMetricsRouter& router : snapshot->Routers) {
            add(routerUp, {{"ip", router.IP}}, d(router.UL));
            add(routerDown, {{"ip", router.IP}}, d(router.DL));
            add(routerLoss, {{"ip", router.IP}}, d(router.PLoss));
        }
        const TMetricsHealth& health = snapshot->Health;
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
        add(family("vexal_export_runs_total", "Database export runs", MetricType::Counter), {}, u(health.ExportRuns));
        add(family("vexal_export_failures_total", "Database export runs that failed", MetricType::Counter), {},
            u(health.ExportFailures));
        // A family without samples would be announced with nothing after it.
        std::vector<prometheus::MetricFamily> result;
        for (prometheus::MetricFamily& f : families)
            if (!f.metric.empty())
                result.push_back(std::move(f));
        return result;
    }

private:
    mutable std::mutex Mutex;
    std::shared_ptr<const TMetricsSnapshot> Snapshot = std::make_shared<const TMetricsSnapshot>();
};

std::unique_ptr<TMetricsExporter> TMetricsExporter::Start(const std::string& bindAddress, std::string& error)
{
    std::unique_ptr<TMetricsExporter> exporter(new TMetricsExporter);
    exporter->Collectable = std::make_shared<TMetricsCollectable>();
    try {
        exporter->Exposer = std::make_unique<prometheus::Exposer>(bindAddress, 2);
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    exporter->Exposer->RegisterCollectable(exporter->Collectable);
    return exporter;
}

TMetricsExporter::~TMetricsExporter() = default;

void TMetricsExporter::Update(TMetricsSnapshot snapshot)
{
    Collectable->Set(std::make_shared<const TMetricsSnapshot>(std::move(snapshot)));
}

int TMetricsExporter::Port() const
{
    const std::vector<int> ports = Exposer->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}
