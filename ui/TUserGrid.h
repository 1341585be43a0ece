#pragma once

#include <QModelIndex>
#include <QTableView>

#include <string>
#include <vector>

class QMenu;
class TCollector;
class TDaten;
class TUserGridModel;

// The user grid `ProfGrid2`: its model and sort, the context menu on the selected users
// ("Diese IP entfernen", "Verlauf", "Volumenlimit…"), the actions on the whole user table that the
// window's "extra Funktionen" offers, and the double click that opens a user's log.
// The actions change the store only, through the collector so that the local history
// neither loses nor doubles what they lower; the display tick shows the result. The
// windows a user opens from here are the main window's: the grid asks for them.
class TUserGrid : public QTableView {
    Q_OBJECT
public:
    TUserGrid(TDaten& daten, TCollector& collector, QWidget* parent = nullptr);

    TUserGridModel& Model() const { return *Users; }
    // Each column by its width rule (UserGridColumns): fitted ones as wide as the widest
    // text on screen, "Name" the rest.
    void FitColumns();
    // The share of each shown device's volume limit and its 80 %/100 % mark, after the
    // tick wrote the rows; the column "Limit" shows while any device has a limit.
    void ShowLimits();

    // Rows that are selected, in selection order.
    std::vector<int> SelectedUserRows() const;
    // The users (their addresses, the store's key) those rows show, in the same order.
    std::vector<std::string> SelectedUserAddresses() const;

    // The actions on the selected users.
    void DieseIPentfernen1Click();
    // The question before the removal: the one address, or every address (at most
    // RemovalNamed lines of them, the rest as a count).
    static constexpr std::size_t RemovalNamed = 10;
    static QString RemovalQuestion(const std::vector<std::string>& addresses);
    void ProfGrid2DblClick(const QModelIndex& clicked = QModelIndex());
    void VerlaufClick();
    // "Volumenlimit…": sets or removes the selected device's limit (by its MAC).
    void VolumenlimitClick();
    // The actions on the whole user table.
    void IPsentfernenmit100kB1Click();
    void IPTrafficCounterauf0setzen1Click();
    void AlleClientsentfernen1Click();

signals:
    // The log window, filtered to this user, with automatic refresh on.
    void LogRequested(const std::string& address);
    // The history window of this device.
    void HistoryRequested(const std::string& ip, const std::string& mac);

private:
    TDaten& Daten;
    TCollector& Core;
    TUserGridModel* Users = nullptr;
    QMenu* PopupMenu1 = nullptr;
    // Rows may carry a limit's share from an earlier tick.
    bool ShowsLimits = false;
};
