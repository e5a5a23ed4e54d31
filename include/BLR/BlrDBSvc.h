// The pair database service: answers the requests of BlrDB on the link "BLR"
// inside the central server, turning each into SQL on the databases "Anchor"
// and "HistoryDB".
#ifndef BLR_BLRDBSVC_H
#define BLR_BLRDBSVC_H

#include <functional>
#include <list>
#include <map>
#include <string>

#include "BLR/BlrDB.h"
#include "BLR/BlrExport.h"
#include "host/base/CZuError.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/link/DwLinkSvc.h"

// One connection for one request.  A transaction still open when the object
// is destroyed is rolled back.
class BLR_API BlrSQL : public DWSimpleDBConnObject {
 public:
  // `dbName` is borrowed and must outlive the object.  A failed open is
  // logged; the object then fails every operation with the open's code.
  explicit BlrSQL(const char* dbName);
  ~BlrSQL() override;

  int startTran();
  int commitTran();

  bool inTran;
  const char* dbName;
};

class BLR_API BlrDBSvc : public DwLinkSvc {
 public:
  using Map = std::map<std::string, std::string>;

  BlrDBSvc();

  CZuError dispatch(const Map& req, Map* resp, const std::string& from,
                    const KRP_Cert& cert) override;
  // The same, for a transport that takes an answer in pieces: "get_pairs"
  // and the boot VM lists answer piece by piece, in id order, so that the
  // server never holds a whole list.  The handlers of those requests gather
  // the same pieces into one answer.  Optional keys of "get_pairs":
  // "after_id" (pairs with a greater id only) and "limit" (at most so many
  // pairs; 0 is no limit) page through the list.
  CZuError dispatchPieces(const Map& req, Map* resp, DwLinkReply* reply, const std::string& from,
                          const KRP_Cert& cert) override;

  // Pairs.
  static CZuError getPairsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  // The answer of getPairsHnd as pieces of "blob"; the handler gathers them.
  static CZuError getPairsPiecesHnd(const Map& req, DwLinkReply* reply);
  static CZuError delPairsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError createOrUpdatePairHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError createPairsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  // Pair state.
  static CZuError updateDestInfoHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError updateSrcPathsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setPairEventHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setPairStatusHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setPairPendingStatusHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setDiskStatusHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setPairFlagsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError clrPairFlagsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setPairLagTimeHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  // Statistics and properties.
  static CZuError addPairStatsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setPairPropsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError getPairPropsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setPairPropHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError getPairPropHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError delPairPropHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  // Boot VMs.
  static CZuError createOrUpdateBootVMHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError getBootVMHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError getBootVMsForPairHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError getBootVMsForTailHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  // The answers of "get_boot_vms_for_pair" and "get_boot_vms_for_tail" (by
  // the request's "req") as pieces of "blob"; their handlers gather them.
  static CZuError getBootVMsPiecesHnd(const Map& req, DwLinkReply* reply);
  static CZuError delBootVMHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  // Recovery plans.
  static CZuError createPlanHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError getPlansHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError delPlanHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError createPlanRunHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError setPlanRunPairHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError finishPlanRunHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError getPlanRunsHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError claimRunHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError renewRunLeaseHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError stopRunHnd(const Map& req, Map* resp, const KRP_Cert& cert);
  static CZuError resumeRunHnd(const Map& req, Map* resp, const KRP_Cert& cert);
};

// Installs one more service object; it lives until the process ends.
extern "C" BLR_API void initBlrDBSvc();

// Statement builders and row readers shared by the handlers.
namespace blrdbsvc {

BLR_API extern const char* const ANCHOR_DB;   // "Anchor"
BLR_API extern const char* const HISTORY_DB;  // "HistoryDB"

BLR_API std::string i2s(int value);
// The 64 bits as a signed number: values from 2^63 on print negative.
BLR_API std::string ll2s(unsigned long value);
// `text` as an SQL literal: between single quotes, its own quotes doubled.
BLR_API std::string sqlText(const std::string& text);

// "WHERE ..." selecting the pairs that match every set field of `filter`
// (empty when none is set), or any filter of the list.
BLR_API std::string filter2where(const BlrDB::Pair& filter);
BLR_API std::string filters2where(const std::list<BlrDB::Pair>& filters);

// Pairs with their disks for a WHERE clause (or ""), in the order of their
// first row.  A null `sql` reads on a connection of its own to "Anchor".
BLR_API CZuError getPairs(const std::string& where, std::list<BlrDB::Pair>* pairs, BlrSQL* sql);
// Hands the pairs of `where` to `onPair` one at a time, whole with their disks,
// in id order; `onPair` returns false to stop.
BLR_API CZuError forEachPair(const std::string& where, BlrSQL* sql,
                             const std::function<bool(BlrDB::Pair&)>& onPair);
// Deletes the selected pairs with their disks and properties, in one
// transaction.
BLR_API CZuError delPairs(const std::string& where);

// Reads the rows of an executed boot VM query, grouping disks by VM.
BLR_API CZuError parseGetBootVMsResponse(BlrSQL* sql, std::list<BlrDB::BootVM>* vms);
BLR_API CZuError getBootVMs(const std::string& where, std::list<BlrDB::BootVM>* vms, BlrSQL* sql);
BLR_API CZuError getBootVMsForTail(int tailClientId, std::list<BlrDB::BootVM>* vms, BlrSQL* sql);

}  // namespace blrdbsvc

#endif  // BLR_BLRDBSVC_H
