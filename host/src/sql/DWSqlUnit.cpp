#include "host/sql/DWSqlUnit.h"

namespace {

thread_local DWSqlUnit* tUnit = nullptr;

}  // namespace

DWSqlUnit::~DWSqlUnit() { leave(); }

int DWSqlUnit::begin(const std::string& dbName) {
  if (tUnit != nullptr) return DWSQL_MISUSE;  // units do not nest
  int rc = conn_.openSQLConnectionUsingDbName(dbName);
  if (rc == 0) rc = conn_.startUnitTran();
  if (rc != 0) return rc;
  active_ = true;
  tUnit = this;
  return 0;
}

int DWSqlUnit::commit() {
  leave();
  return conn_.endTran(1);
}

void DWSqlUnit::leave() {
  if (active_ && tUnit == this) tUnit = nullptr;
  active_ = false;
}

DWSimpleDBConnObject* DWSqlUnit::joinable(const std::string& dbName) {
  if (tUnit == nullptr || !tUnit->active_ || tUnit->conn_.dbName() != dbName) return nullptr;
  return &tUnit->conn_;
}
