#pragma once

#include <string>
#include <string_view>

class TDaten;

// The MAC name list: lines of MAC "||" description "||" name. Every user whose MAC
// occurs in a line (exact, case-sensitive) gets the name from that line; the last
// matching line wins. Returns false, changing nothing, when the body contains
// "Authorization": the server refused the credentials.
bool ApplyNameList(TDaten& daten, std::string_view body);

// The name in a line: what is left after cutting twice, where a cut keeps the text
// after the first "||", or drops the first character when there is none.
std::string NameFromLine(std::string_view line);
