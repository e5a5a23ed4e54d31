// How blr shows the pair database's records: names of status codes and
// flags, and the JSON form of pairs and boot VMs (the form
// `blr pairs create --file` reads back).
#ifndef TOOLS_BLR_CLIRECORDS_H
#define TOOLS_BLR_CLIRECORDS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BLR/BlrDB.h"
#include "BLR/BlrPairCodes.h"
#include "Cli.h"
#include "output/CliTable.h"

// "running", "failed over", ...; empty for codes without a meaning here.
std::string pairStatusName(int code);
// "4 running", or just the number.
std::string pairStatusText(int code);
// The names of the bits set ("FAILOVER", "0x40" for unnamed bits).
std::vector<std::string> pairFlagNames(int flags);
// A comma-separated list of names or numbers ("FAILOVER,REVERSE", "8", "0x30").
CZuError parsePairFlags(const std::string& text, int* flags);
// "2024-05-01 12:00:00 UTC" for seconds since the epoch; "-" for 0.
std::string timeText(uint64_t secs);

// "name: value" lines, names aligned; values through cliTerminalText.
std::string renderFields(const std::vector<std::pair<std::string, std::string>>& fields);

// The JSON form of a stored text: the text itself when it is UTF-8 and does
// not begin with "hex:"; otherwise "hex:" and its bytes as hex digits, so
// that any bytes survive and read back exactly.
std::string cliTextJson(const std::string& text);
// The inverse, for `field` of an input file; a NUL byte is refused.
CZuError cliTextFromJson(const std::string& field, const std::string& json, std::string* text);
// A map of texts (properties) with keys and values in that form.
Json cliTextMapJson(const std::map<std::string, std::string>& map);

Json pairToJson(const BlrDB::Pair& pair);
Json bootVmToJson(const BlrDB::BootVM& vm);
// Fields absent from `value` keep the record's "not given" values; unknown
// keys and values of the wrong type are refused.
CZuError pairFromJson(const Json& value, BlrDB::Pair* pair);

#endif  // TOOLS_BLR_CLIRECORDS_H
