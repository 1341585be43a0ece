#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the dialogs edit and the state file keeps besides the tables: the address
// filters and the configuration. The store holds them as its own members (TDaten
// derives from this), so they are read as daten.ExportInterval like any column.
struct TDatenSettings {
    // Address filters, one entry per line of the filter dialog.
    std::vector<std::string> LocalSubnets;
    std::vector<std::string> LocalIPs;
    std::vector<std::string> HideSubnets;
    std::vector<std::string> HideIPs;

    // Configuration.
    std::string HttpUrl;
    std::string HttpUser;
    std::string HttpPassword;
    std::string MySqlHost;
    std::string MySqlUser = "user";
    std::string MySqlPassword = "kzq";
    std::string MySqlDatabase = "vexal";
    std::string MySqlPort = "3306";
    std::int32_t ExportInterval = 30;
    bool ExportEnabled = false;
    bool ExportDetailed = true;
    // Stored and edited, but the listeners always use the fixed ports.
    std::string FlowPort = "2055";
    std::string MacPort = "2056";
    std::string VersionText = "Version #1";
};
