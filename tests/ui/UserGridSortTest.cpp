// The user grid keeps its sort across ticks by placing again only the rows whose value
// changed. Whatever changes, the order must be the one a full stable sort of the
// previous order gives.
#include "TUserGridModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {
TUserGridRow User(int n, double dl, const std::string& name)
{
    TUserGridRow row;
    row.IP = "10.0.0." + std::to_string(n);
    row.DL = dl;
    row.Name = name;
    return row;
}

std::vector<std::string> Shown(const TUserGridModel& model)
{
    std::vector<std::string> ips;
    for (const TUserGridRow& row : model.Rows())
        ips.push_back(row.IP);
    return ips;
}

// What sorting everything gives: the users still shown in their previous order with
// their new values, the new ones after them in store order, then a stable sort.
std::vector<std::string> FullSort(const std::vector<std::string>& before, const std::vector<TUserGridRow>& store,
                                  int column, Qt::SortOrder order)
{
    std::vector<const TUserGridRow*> rows;
    for (const std::string& ip : before)
        for (const TUserGridRow& row : store)
            if (row.IP == ip)
                rows.push_back(&row);
    for (const TUserGridRow& row : store)
        if (std::find(before.begin(), before.end(), row.IP) == before.end())
            rows.push_back(&row);
    const bool down = order == Qt::DescendingOrder;
    std::stable_sort(rows.begin(), rows.end(), [&](const TUserGridRow* a, const TUserGridRow* b) {
        if (column == TUserGridModel::ColDL)
            return down ? b->DL < a->DL : a->DL < b->DL;
        return down ? b->Name < a->Name : a->Name < b->Name;
    });
    std::vector<std::string> ips;
    for (const TUserGridRow* row : rows)
        ips.push_back(row->IP);
    return ips;
}
}

TEST(UserGridSort, TicksPlaceChangedRowsAsAFullSortWould)
{
    using TStore = std::vector<TUserGridRow>;
    struct {
        const char* Step;
        std::function<void(TStore&)> Change;
        int Column = TUserGridModel::ColDL;
        Qt::SortOrder Order = Qt::DescendingOrder;
    } const steps[] = {
        {"first tick", [](TStore&) {}},
        {"nothing changes", [](TStore&) {}},
        {"one user to the top", [](TStore& s) { s[7].DL = 1e9; }},
        {"one user down into a tie", [](TStore& s) { s[0].DL = 300; }},
        {"one user up into a tie", [](TStore& s) { s[11].DL = 300; }},
        {"several change, two to the same value",
         [](TStore& s) {
             s[2].DL = 50;
             s[5].DL = 50;
             s[9].DL += 1;
         }},
        {"a user goes, one comes in a tie",
         [](TStore& s) {
             s.erase(s.begin() + 4);
             s.push_back(User(40, 300, "Neu"));
         }},
        {"every value changes",
         [](TStore& s) {
             for (std::size_t i = 0; i < s.size(); ++i)
                 s[i].DL = static_cast<double>((i * 7) % 5) * 100;
         }},
        {"by name, ascending", [](TStore&) {}, TUserGridModel::ColName, Qt::AscendingOrder},
        {"names change", [](TStore& s) {
             s[1].Name = "Zora";
             s[3].Name = "Anna";
             s[6].Name = "Anna";
         }, TUserGridModel::ColName, Qt::AscendingOrder},
        {"back to DL, a value changes", [](TStore& s) { s[2].DL = 250; }},
    };

    TStore store;
    const char* const names[] = {"Bert", "Anna", "Carla", "Dieter"};
    for (int n = 0; n < 12; ++n)
        store.push_back(User(n, (n % 4) * 100.0, names[n % 4]));
    TUserGridModel model;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Step);
        if (model.SortColumn() != step.Column || model.SortOrder() != step.Order)
            model.sort(step.Column, step.Order);
        const std::vector<std::string> before = Shown(model);
        step.Change(store);
        model.Scratch() = store;
        model.Commit(store.size(), true);
        EXPECT_EQ(Shown(model), FullSort(before, store, step.Column, step.Order));
    }
}
