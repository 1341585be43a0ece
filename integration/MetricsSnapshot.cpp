#include "MetricsSnapshot.h"

#include "Errors.h"
#include "StoreText.h"
#include "TDaten.h"
#include "TextForms.h"

namespace {
std::string Utf8(const std::string& bytes)
{
    return FromStoreText(bytes).toStdString();
}
}

TMetricsSnapshot BuildMetricsSnapshot(const TDaten& d, TMetricsHealth health)
{
    TMetricsSnapshot snapshot;
    snapshot.Health = std::move(health);
    snapshot.Devices.reserve(d.UserCount());
    for (std::size_t i = 0; i < d.UserCount(); ++i) {
        try {
            snapshot.Devices.push_back({Utf8(d.UserIP[i]), Utf8(d.UserMAC.at(i)), Utf8(d.UserName.at(i)),
                                        d.UserUL.Value(i), d.UserDL.Value(i), d.UserStatus.at(i) == "1"});
        } catch (const EConvertError&) {
        }
    }
    for (std::size_t r = 0; r < d.RouterCount(); ++r) {
        try {
            snapshot.Routers.push_back({Utf8(d.RouterIP[r]), d.RouterUpload.Value(r),
                                        d.RouterDownload.Value(r), StrToInt64(d.RouterPLoss.at(r))});
        } catch (const EConvertError&) {
        }
    }
    return snapshot;
}
