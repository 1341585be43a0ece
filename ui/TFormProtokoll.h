#pragma once

#include "TFlowLogModel.h"
#include "TIpAddress.h"

#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QTableView;
class TBarChart;
class TDaten;
class TErrorReport;
class TTimer;

// The log window: the last flows, newest first, for everyone or for one address,
// and the kilobytes of the listed flows per port of the remote side. Created once,
// closing only hides it.
class TFormProtokoll : public QWidget {
    Q_OBJECT
public:
    static constexpr int RefreshInterval = 500;
    // One total per port number 0 to 65535.
    static constexpr std::size_t PortSlots = 65536;

    TFormProtokoll(TDaten& daten, TErrorReport& errors, QWidget* parent = nullptr);

    const std::string& FilterAddress() const { return Filter; }
    // Sets the filter; an open window shows the flows it selects at once.
    void SetFilterAddress(const std::string& address);
    bool AutoRefresh() const;
    void SetAutoRefresh(bool on);
    void ClearGrid();
    // Shows the window and brings it to the front; a hidden window refreshes at once.
    void Present();
    // Opens the window on one user's flows, emptied and with automatic refresh on (the
    // double click on a user).
    void PresentFor(const std::string& address);
    // "Verlauf": asks for the history of the device on the local side of the selected
    // flow, or without a selection of the device in the filter.
    void VerlaufClick();

    // The refresh of the grid and the chart (on showing and every 500 ms while playing).
    void Refresh();

    TFlowLogModel& Grid() const { return *Model; }
    TBarChart& Chart() const { return *PortChart; }

signals:
    void HistoryRequested(const std::string& ip, const std::string& mac);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CoolBtn2Click();

    TDaten& Daten;
    TErrorReport& Errors;
    std::string Filter;
    // The last refresh error shown: a damaged entry fails every refresh the same way,
    // and the user must not get a box twice a second for it.
    std::string LastError;
    std::vector<std::int64_t> PortTotals;

    TFlowLogModel* Model = nullptr;
    // The address as an IPv6 address, when it reads as one.
    static std::optional<TIpAddress> DeviceAddress(const std::string& text);
    // Local by the filter lists, or an IPv6 address of a device.
    bool IsLocal(const std::string& address) const;
    // The user row of a device by its key or one of its IPv6 addresses; -1 for none.
    int UserOf(const std::string& address) const;
    // The filter's address, or an IPv6 address of the device it names.
    bool OfFilter(const std::string& address) const;
    int FilterRow = -1;  // the filter's user row during a refresh
    QTableView* FlowGrid = nullptr;
    TBarChart* PortChart = nullptr;
    QLabel* FilterLabel = nullptr;
    QPushButton* RefreshButton = nullptr;
    QPushButton* VerlaufButton = nullptr;
    TTimer* Timer1 = nullptr;
};
