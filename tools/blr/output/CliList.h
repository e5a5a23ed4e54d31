// A whole list as blr prints it: with --json one array of the items' JSON,
// else a line saying there is none, else a table with a row per item.
#ifndef TOOLS_BLR_CLILIST_H
#define TOOLS_BLR_CLILIST_H

#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include "Cli.h"
#include "output/CliTable.h"

// `toJson` and `toRow` give an item's JSON and its table row under `header`;
// `none` is printed for an empty list.  `json` asks for JSON without --json
// (a --format option).  Returns kExitOk.
template <class Item, class ToJson, class ToRow>
int cliPrintList(const Cli& cli, const std::list<Item>& items, ToJson toJson,
                 const std::string& none, std::vector<std::string> header, ToRow toRow,
                 bool json = false) {
  if (cli.json() || json) {
    Json list = Json::array();
    for (const Item& item : items) list.push_back(toJson(item));
    cli.printJson(list);
  } else if (items.empty()) {
    std::printf("%s\n", none.c_str());
  } else {
    CliTable table(std::move(header));
    for (const Item& item : items) table.add(toRow(item));
    std::fputs(table.render().c_str(), stdout);
  }
  return kExitOk;
}

#endif  // TOOLS_BLR_CLILIST_H
