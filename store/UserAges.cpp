#include "UserAges.h"

#include "TDaten.h"
#include "TextForms.h"

void ApplyOnlineRule(TDaten& daten, const TLocalTime& now)
{
    const std::size_t count = daten.UserCount();
    for (std::size_t i = 0; i < count; ++i) {
        const char* const text = OnlineStatusText(OnlineByAge(StampAge(daten.UserMACTime.at(i), now)));
        std::string& status = daten.UserStatus.at(i);
        if (status != text)
            status = text;
    }
}
