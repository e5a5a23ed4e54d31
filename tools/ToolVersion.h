// The text the programs print for --version: their release and the schema
// version of each database they bring.
#ifndef BLR_TOOLS_TOOLVERSION_H
#define BLR_TOOLS_TOOLVERSION_H

#include <string>

#include "host/sql/DWSqlSchema.h"

inline std::string toolVersionText(const std::string& program) {
  return program + " " + BLR_VERSION_TEXT + " (schema: Anchor " + std::to_string(DWSchemaVersion("Anchor")) +
         ", HistoryDB " + std::to_string(DWSchemaVersion("HistoryDB")) + ")";
}

#endif  // BLR_TOOLS_TOOLVERSION_H
