// The pair database: its records, as encoded between the client and the
// service, and the helpers that carry encoded records in request maps.
#ifndef BLR_BLRDB_H
#define BLR_BLRDB_H

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BLR/BlrExport.h"
#include "BLR/BlrRecord.h"
#include "BLR/BlrUUID.h"
#include "DwLink/DwEbml.h"
#include "host/base/CZuError.h"

struct DwLinkClientConfig;

class BLR_API BlrDB {
 public:
  // A replicated disk of a pair.
  struct BLR_API Disk {
    BLR_RECORD_MEMBERS(Disk)
    // The same disk seen from the opposite replication direction.
    Disk reverse() const;

    int32_t id;
    std::string srcPath;
    std::string dstPath;
    BlrUUID srcGuid;
    BlrUUID dstGuid;
    int32_t statusCode;
    std::string statusMessage;
  };

  // A replication pair.  The six status-like fields hold -1 for "not given".
  struct BLR_API Pair {
    // clear() leaves tailHostName, which the service fills in.
    BLR_RECORD_MEMBERS(Pair)
    // A new pair for the opposite direction, flagged REVERSE.
    Pair reverse() const;
    // The first field that creating this pair requires and it lacks, or
    // null; `disk` (may be null) receives the index of the disk that lacks
    // it, or -1 for a field of the pair itself.
    const char* missingField(int* disk) const;

    int32_t id;
    int32_t subClientId;
    int32_t dstClientId;
    int32_t headClientId;
    int32_t tailClientId;
    int32_t srcType;
    int32_t dstType;
    std::string srcName;
    std::string dstName;
    BlrUUID srcGuid;
    BlrUUID dstGuid;
    int32_t statusCode;
    int32_t pendingStatusCode;
    int32_t eventId;
    int32_t rpStoreId;
    int32_t lagTime;
    int32_t flags;
    std::string statusMessage;
    std::list<Disk> disks;
    std::string tailHostName;
  };

  // Filters of a query and its answer, as one record.
  class BLR_API PairList : public std::list<Pair> {
   public:
    PairList() = default;
    PairList(const std::list<Pair>& pairs) : std::list<Pair>(pairs) {}
    void serialize(DwEbmlWriter& writer) const;
    CZuError unserialize(const void* data, int size);
  };

  // One statistics point of a pair.
  struct BLR_API PairStats {
    BLR_RECORD_MEMBERS(PairStats)

    int64_t repDataDeltaActual;
    int64_t repDataDeltaComp;
    int64_t ioDelta;
    int64_t iopsDelta;
    int64_t repSetSize;
    int64_t sizeInRpStore;
    int64_t timeStamp;  // 0: the service's current time
    int32_t retention;
    int32_t pairId;
  };

  // The replication settings of a pair, kept as named text properties.
  struct BLR_API PairProps {
    static const char* const CUR_ANCHOR_TIME;
    static const char* const USER_START_TIME;
    static const char* const RECOVERY_MODE;
    static const char* const CCRP_INTERVAL;
    static const char* const ACRP_INTERVAL;
    static const char* const MAX_RP_INTERVAL;
    static const char* const RP_MERGE_DELAY;
    static const char* const RP_RETENTION;
    static const char* const MAX_RPSTORE_OFFLINE_TIME;
    static const char* const USE_OFFPEAK_SCHEDULE;
    static const char* const ORIG_PAIR_ID;  // stored by the recovery workflows

    PairProps();
    std::map<std::string, std::string> toMap() const;
    // Unparsable values give 0; absent names keep their defaults.
    void fromMap(const std::map<std::string, std::string>& map);

    int64_t curAnchorTime;
    int64_t userStartTime;
    int32_t recoveryMode;
    int32_t ccrpInterval;
    int32_t acrpInterval;
    int32_t maxRpInterval;
    int32_t rpMergeDelay;
    int32_t rpRetention;
    int32_t maxRpStoreOfflineTime;
    bool useOffPeakSchedule;
  };

  // A disk of a boot VM.
  struct BLR_API BootDisk {
    BLR_RECORD_MEMBERS(BootDisk)

    int32_t id;
    int32_t origDiskId;
    int32_t bootVmId;
    BlrUUID uuid;
    std::string path;
    std::string snapId;
  };

  // A VM booted from a pair's replicated data.
  struct BLR_API BootVM {
    BLR_RECORD_MEMBERS(BootVM)

    int32_t id;
    int32_t bootType;
    int32_t pairId;
    std::string name;
    BlrUUID uuid;
    uint64_t creationTime;
    uint64_t deletionTime;
    uint64_t bestBefore;
    uint64_t seqNum;
    int32_t statusCode;
    std::string statusMessage;
    int32_t eventId;
    uint64_t jobId;
    std::list<BootDisk> disks;
  };

  // ---- Client operations ----
  // Each call is one request to the pair database service over the request
  // link "BLR"; the object holds no state but where requests go.  Output
  // arguments are left as they were on failure unless noted.

  BlrDB() = default;
  // Requests go to the servers of `link` with its TLS identity instead of
  // the registry's (DwLink::setClientConfig).
  explicit BlrDB(std::shared_ptr<const DwLinkClientConfig> link) : link_(std::move(link)) {}

  // Sends one request; `answer` (may be null) receives the answer's bytes.
  CZuError makeReq(const std::string& request, const DwEbmlWriter& body, std::vector<char>* answer);
  // A pair list's bytes as requests and answers carry them, for client and
  // service alike (they live with the records).
  static std::vector<char> encodePairs(const std::list<Pair>& pairs);
  static CZuError decodePairs(const std::vector<char>& bytes, std::list<Pair>* pairs);
  // Appends `pair` as the next element of an encoded pair list.
  static void appendPair(const Pair& pair, DwEbmlWriter& writer);

  // Pair queries and updates.  A missing pair is not an error: getPair then
  // leaves a cleared pair (id 0).
  CZuError getPair(int pairId, Pair* pair);
  CZuError getPairs(int subClientId, std::list<Pair>* pairs);
  CZuError getPairs(const BlrUUID& srcGuid, std::list<Pair>* pairs);
  CZuError getPairs(const Pair& filter, std::list<Pair>* pairs);
  CZuError getPairs(const std::list<Pair>& filters, std::list<Pair>* pairs);
  // The pairs matching `filters` handed to `onPair` one at a time as they
  // arrive, in id order, so that neither end holds the whole list; `onPair`
  // returns false to stop early.  `afterId` pages: only pairs with a greater
  // id; `limit` (0: no limit) stops after so many.  A central server lost
  // part-way is left for the next one, which goes on after the last pair
  // handed over; another failure after some pairs were handed over voids
  // them.
  CZuError forEachPair(const std::list<Pair>& filters, const std::function<bool(const Pair&)>& onPair,
                       int afterId = 0, int limit = 0);
  CZuError delPair(int pairId);
  CZuError delPairs(int subClientId);
  CZuError delPairs(const std::list<int>& pairIds);
  CZuError delPairs(const Pair& filter);
  CZuError delPairs(const std::list<Pair>& filters);
  CZuError createOrUpdatePair(Pair& pair);
  // Creates (or, as createOrUpdatePair, updates) every pair in one request
  // and one transaction: all are stored or none.  The stored ids are written
  // into `pairs` and their disks, in order.  A pair that fails the checks of
  // createOrUpdatePair fails the request with its position (from 1).
  CZuError createPairs(std::list<Pair>& pairs);
  CZuError updateDestInfo(const Pair& pair);
  CZuError updateSrcPaths(const std::map<BlrUUID, std::string>& srcPathsByDiskGuid);

  // Pair state, statistics and properties.
  CZuError setPairEvent(int pairId, int eventId);
  CZuError setPairEvent(const BlrUUID& srcGuid, int eventId);
  CZuError setPairStatus(int pairId, int statusCode, const std::string& statusMessage, int eventId);
  CZuError setDiskStatus(int diskId, int statusCode, const std::string& statusMessage);
  CZuError setPairPendingStatus(int pairId, int pendingStatusCode);
  CZuError setPairFlags(int pairId, int flags);
  CZuError clrPairFlags(int pairId, int flags);
  CZuError setPairLagTime(int pairId, int lagTime);
  CZuError addPairStats(const PairStats& stats);
  CZuError setPairProps(int pairId, const PairProps& props);
  CZuError getPairProps(int pairId, PairProps* props);
  CZuError getPairProps(int pairId, std::map<std::string, std::string>* props);
  CZuError setPairProp(int pairId, const std::string& name, const std::string& value);
  CZuError getPairProp(int pairId, const std::string& name, std::string* value);
  CZuError delPairProp(int pairId, const std::string& name);
  CZuError delPairProps(int pairId);

  // Boot VMs.  getBootVM and the list queries reset their output first.
  CZuError addBootVM(const BootVM& vm, int* bootVmId);
  CZuError populateBootVM(const BootVM& vm);
  CZuError setBootVMStatus(int bootVmId, int statusCode, const std::string& statusMessage, int eventId);
  CZuError getBootVM(int bootVmId, BootVM* vm);
  CZuError getBootVMsForPair(int pairId, std::list<BootVM>* vms);
  CZuError getBootVMsForTail(int tailClientId, std::list<BootVM>* vms);
  CZuError delBootVM(int bootVmId);

 private:
  // `restart`, when set, forgets the pairs handed on so far, so that the
  // request may start over on another central server.  `onPair` may move
  // the pair it is handed.
  CZuError streamPairs(const std::list<Pair>& filters, int afterId, int limit,
                       const std::function<bool(Pair&)>& onPair, bool* parseFailed,
                       const std::function<void()>& restart = nullptr);

  std::shared_ptr<const DwLinkClientConfig> link_;  // null: the registry's
};

// Property name to value; encoded as (tag 20 name, tag 21 value) pairs in key
// order.
class BLR_API BlrPairPropMap : public std::map<std::string, std::string> {
 public:
  BlrPairPropMap() = default;
  BlrPairPropMap(const std::map<std::string, std::string>& map)
      : std::map<std::string, std::string>(map) {}
  void serialize(DwEbmlWriter& writer) const;
  CZuError unserialize(const void* data, int size);
};

// Encoded bytes under the "blob" key of a request or response map, as hex.
BLR_API void blrSetBlob(std::map<std::string, std::string>& map, const void* data, int size);
BLR_API void blrSetBlob(std::map<std::string, std::string>& map, const std::vector<char>& bytes);
// The bytes under "blob"; empty without the key.  Malformed hex is not an
// error: odd text keeps a zeroed vector, non-digits count as 0.
BLR_API std::vector<char> blrGetBlob(const std::map<std::string, std::string>& map);
// The bytes under "blob" (none without the key); text that is not whole
// pairs of hex digits fails with code 1 and leaves `bytes` untouched.
BLR_API CZuError blrReadBlob(const std::map<std::string, std::string>& map,
                             std::vector<char>* bytes);

#endif  // BLR_BLRDB_H
