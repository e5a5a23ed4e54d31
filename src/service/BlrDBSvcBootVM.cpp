// Boot VM handlers and their readers.
#include <functional>
#include <memory>
#include <unordered_map>

#include "BLR/BlrDBSvc.h"
#include "service/BlrDBSvcInternal.h"
#include "BLR/BlrUtils.h"
#include "records/BlrDBTags.h"
#include "host/base/FXString.h"

namespace blrdbsvc {

namespace {

const char kBootVMColumns[] =
    "SELECT BlrBootVM.id, BlrBootVM.bootType, BlrBootVM.pairId, BlrBootVM.name, BlrBootVM.uuid, "
    "BlrBootVM.creationTime, BlrBootVM.deletionTime, BlrBootVM.bestBefore, BlrBootVM.seqNum, "
    "BlrBootVM.statusCode, BlrBootVM.statusMessage, BlrBootVM.eventId, BlrBootVM.jobId, "
    "BlrBootDisk.id, BlrBootDisk.origDiskId, BlrBootDisk.bootVmId, BlrBootDisk.uuid, "
    "BlrBootDisk.path, BlrBootDisk.snapId ";
const char kBootVMQueryFrom[] =
    "FROM BlrBootVM LEFT JOIN BlrBootDisk ON BlrBootVM.id=BlrBootDisk.bootVmId ";
const char kTailQueryFrom[] =
    "FROM BlrPair INNER JOIN BlrBootVM ON BlrPair.id=BlrBootVM.pairId LEFT JOIN BlrBootDisk ON "
    "BlrBootVM.id=BlrBootDisk.bootVmId WHERE BlrPair.tailClientId=";

const char kBootVMFormat[] = "i|i|i|w128|s64|i|i|i|b|i|s1024|i|B|i|i|i|s64|w1024|s64";

// One row of a boot VM query, bound column by column.
struct BootVMRow {
  int32_t id, bootType, pairId;
  // Each text buffer holds its column's width and a terminator.
  wchar_t name[BLRDB_VM_NAME_CHARS + 1];
  char uuid[BLRDB_UUID_BYTES + 1];
  int32_t creationTime, deletionTime, bestBefore;
  int64_t seqNum;
  int32_t statusCode;
  char statusMessage[BLRDB_BOOT_STATUS_BYTES + 1];
  int32_t eventId;
  int64_t jobId;
  int32_t diskId, origDiskId, bootVmId;
  char diskUuid[BLRDB_UUID_BYTES + 1];
  wchar_t path[BLRDB_PATH_CHARS + 1];
  char snapId[BLRDB_SNAP_ID_BYTES + 1];

  int bind(BlrSQL& sql) {
    return sql.ibindstruct(kBootVMFormat, &id, &bootType, &pairId, name, uuid, &creationTime,
                           &deletionTime, &bestBefore, &seqNum, &statusCode, statusMessage,
                           &eventId, &jobId, &diskId, &origDiskId, &bootVmId, diskUuid, path,
                           snapId);
  }

  BlrDB::BootVM vm() const {
    BlrDB::BootVM v;
    v.id = id;
    v.bootType = bootType;
    v.pairId = pairId;
    v.name = FXString::ToString(name);
    v.uuid = BlrUUID(std::string(uuid));
    v.creationTime = static_cast<uint64_t>(int64_t{creationTime});
    v.deletionTime = static_cast<uint64_t>(int64_t{deletionTime});
    v.bestBefore = static_cast<uint64_t>(int64_t{bestBefore});
    v.seqNum = static_cast<uint64_t>(seqNum);
    v.statusCode = statusCode;
    v.statusMessage = statusMessage;
    v.eventId = eventId;
    v.jobId = static_cast<uint64_t>(jobId);
    return v;
  }

  BlrDB::BootDisk disk() const {
    BlrDB::BootDisk d;
    d.id = diskId;
    d.origDiskId = origDiskId;
    d.bootVmId = bootVmId;
    d.uuid = BlrUUID(std::string(diskUuid));
    d.path = FXString::ToString(path);
    d.snapId = snapId;
    return d;
  }
};

// Executes a boot VM query and reads its rows.
CZuError runBootVMQuery(const std::string& statement, std::list<BlrDB::BootVM>* vms,
                        BlrSQL* sql) {
  std::unique_ptr<BlrSQL> own;
  if (sql == nullptr) {
    own.reset(new BlrSQL(ANCHOR_DB));
    sql = own.get();
  }
  vms->clear();
  int result = 0;
  CZuError err = exec(*sql, statement, Accept::kOkOrNoRows, FXLOC, &result);
  if (err.IsError() || result == DWSQL_NO_ROWS) return err;
  err = parseGetBootVMsResponse(sql, vms);
  if (err.IsError()) err.Push(FXLOC, "Query [%s] failed", statement.c_str());
  return err;
}

}  // namespace

CZuError parseGetBootVMsResponse(BlrSQL* sql, std::list<BlrDB::BootVM>* vms) {
  std::unique_ptr<BootVMRow> row(new BootVMRow());  // about 5 KiB: not on the stack
  int rc = row->bind(*sql);
  if (rc != 0) return FXErrorUtil::ErrorInt(FXLOC, rc, "Bind failed");
  vms->clear();
  // Where each listed boot VM is, so that grouping stays linear.
  std::unordered_map<int32_t, BlrDB::BootVM*> byId;
  while (sql->getNextRow() == 0) {
    if (row->diskId != 0) {
      auto found = byId.find(row->id);
      if (found != byId.end()) {
        found->second->disks.push_back(row->disk());
        continue;
      }
    }
    vms->push_back(row->vm());
    if (row->diskId != 0) vms->back().disks.push_back(row->disk());
    byId.emplace(row->id, &vms->back());
  }
  return CZuError();
}

CZuError getBootVMs(const std::string& where, std::list<BlrDB::BootVM>* vms, BlrSQL* sql) {
  return runBootVMQuery(std::string(kBootVMColumns) + kBootVMQueryFrom + where, vms, sql);
}

CZuError getBootVMsForTail(int tailClientId, std::list<BlrDB::BootVM>* vms, BlrSQL* sql) {
  return runBootVMQuery(std::string(kBootVMColumns) + kTailQueryFrom + i2s(tailClientId), vms,
                        sql);
}

}  // namespace blrdbsvc

using namespace blrdbsvc;

namespace {

const char* missingBootVMField(const BlrDB::BootVM& vm) {
  if (vm.id != 0) return nullptr;
  if (vm.bootType == 0) return "bootType";
  if (vm.pairId == 0) return "pairId";
  if (vm.creationTime == 0) return "creationTime";
  if (vm.bestBefore == 0) return "bestBefore";
  if (vm.seqNum == 0) return "seqNum";
  if (vm.jobId == 0) return "jobId";
  return nullptr;
}

const char* missingBootDiskField(const BlrDB::BootVM& vm) {
  for (const BlrDB::BootDisk& d : vm.disks) {
    if (d.id != 0) continue;
    if (d.origDiskId == 0) return "origDiskId";
    if (d.uuid.empty()) return "guid";
    if (d.path.empty()) return "path";
    if (d.snapId.empty()) return "snapId";
  }
  return nullptr;
}

std::string u2s(uint64_t value) { return ll2s(static_cast<unsigned long>(value)); }

CZuError insertBootVM(BlrSQL& sql, BlrDB::BootVM* vm) {
  const std::string statement =
      "INSERT INTO BlrBootVM(bootType, pairId, name, uuid, creationTime, deletionTime, "
      "bestBefore, seqNum, statusCode, statusMessage, eventId, jobId) VALUES(" +
      i2s(vm->bootType) + ", " + i2s(vm->pairId) + ", " + sqlText(vm->name) + ", " +
      sqlText(vm->uuid.toString()) + ", " + u2s(vm->creationTime) + ", " +
      u2s(vm->deletionTime) + ", " + u2s(vm->bestBefore) + ", " + u2s(vm->seqNum) + ", " +
      i2s(vm->statusCode) + ", " + sqlText(vm->statusMessage) + ", " + i2s(vm->eventId) + ", " +
      u2s(vm->jobId) + "); SELECT SCOPE_IDENTITY()";
  CZuError err = exec(sql, statement, Accept::kOk, FXLOC);
  if (err.IsError()) return err;
  return readIdentity(sql, "BlrBootVM", &vm->id, FXLOC);
}

CZuError updateBootVM(BlrSQL& sql, const BlrDB::BootVM& vm) {
  std::string set = "statusCode=" + i2s(vm.statusCode) +
                    ", statusMessage=" + sqlText(vm.statusMessage) +
                    ", eventId=" + i2s(vm.eventId);
  if (!vm.name.empty()) set += ", name=" + sqlText(vm.name);
  if (!vm.uuid.empty()) set += ", uuid=" + sqlText(vm.uuid.toString());
  if (vm.deletionTime != 0) set += ", deletionTime=" + u2s(vm.deletionTime);
  if (vm.seqNum != 0) set += ", seqNum=" + u2s(vm.seqNum);
  return exec(sql, "UPDATE BlrBootVM SET " + set + " WHERE id=" + i2s(vm.id), Accept::kOk, FXLOC);
}

CZuError storeBootDisk(BlrSQL& sql, const BlrDB::BootDisk& d) {
  if (d.id == 0)
    return exec(sql,
                "INSERT INTO BlrBootDisk(origDiskId, bootVmId, uuid, path, snapId) VALUES(" +
                    i2s(d.origDiskId) + ", " + i2s(d.bootVmId) + ", " +
                    sqlText(d.uuid.toString()) + ", " + sqlText(d.path) + ", " +
                    sqlText(d.snapId) + ")",
                Accept::kOk, FXLOC);
  std::string set;
  if (!d.path.empty()) set += ", path=" + sqlText(d.path);
  if (!d.uuid.empty()) set += ", uuid=" + sqlText(d.uuid.toString());
  return exec(sql, "UPDATE BlrBootDisk SET bootVmId=" + i2s(d.bootVmId) + set +
                       " WHERE id=" + i2s(d.id),
              Accept::kOk, FXLOC);
}

// A flat message holding one int under `tag`.
CZuError parseId(const BlrDBSvc::Map& req, int tag, int32_t* id) {
  std::vector<char> bytes;
  CZuError err = blrReadBlob(req, &bytes);
  if (err.IsError()) return err;
  DwEbmlParser parser(bytes.data(), bytes.size());
  return parser.parseMsg(tag, DW_EBML_VAR_INT32, id, 0);
}

// Reads the boot VMs of `statement`, ordered by boot VM id, and hands each to
// `onVm` whole, so that no list is held.
CZuError forEachBootVM(const std::string& statement,
                       const std::function<CZuError(const BlrDB::BootVM&)>& onVm) {
  BlrSQL sql(ANCHOR_DB);
  int result = 0;
  CZuError err = exec(sql, statement, Accept::kOkOrNoRows, FXLOC, &result);
  if (err.IsError() || result == DWSQL_NO_ROWS) return err;
  std::unique_ptr<BootVMRow> row(new BootVMRow());
  int rc = row->bind(sql);
  if (rc != 0) return FXErrorUtil::ErrorInt(FXLOC, rc, "Bind failed");
  BlrDB::BootVM vm;
  bool open = false;
  while (sql.getNextRow() == 0) {
    if (open && vm.id != row->id) {
      err = onVm(vm);
      if (err.IsError()) return err;
      open = false;
    }
    if (!open) {
      vm = row->vm();
      open = true;
    }
    if (row->diskId != 0) vm.disks.push_back(row->disk());
  }
  return open ? onVm(vm) : CZuError();
}

}  // namespace

// The boot VMs of a pair or of a Tail, in id order, one tag-34 container
// each, in pieces of "blob".
static CZuError streamBootVMs(const BlrDBSvc::Map& req, DwLinkReply* reply, bool forPair) {
  int32_t id = 0;
  CZuError err = parseId(req, forPair ? BLRDB_TAG_PAIR_ID : BLRDB_TAG_TAIL_CLIENT_ID, &id);
  if (err.IsError()) return err.Push(FXLOC);
  if (id == 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, forPair ? "Pair ID expected" : "Tail Client ID expected");
  const std::string statement =
      std::string(kBootVMColumns) +
      (forPair ? std::string(kBootVMQueryFrom) + "WHERE BlrBootVM.pairId=" : kTailQueryFrom) +
      i2s(id) + " ORDER BY BlrBootVM.id";
  std::string piece;
  err = forEachBootVM(statement, [&](const BlrDB::BootVM& vm) {
    DwEbmlBuffer buffer(4096);
    DwEbmlWriter writer(buffer, 0);
    writer.openContTag(BLRDB_TAG_BOOT_VM, BLRDB_RECORD_BOUND);
    vm.serialize(writer);
    writer.closeContTag();
    piece += BlrUtils::bin2str(writer.getBuffer(), static_cast<int>(writer.getSize()));
    if (piece.size() < kAnswerPieceBytes) return CZuError();
    CZuError e = reply->append("blob", std::move(piece));
    piece.clear();
    return e;
  });
  if (!err.IsError() && !piece.empty()) err = reply->append("blob", std::move(piece));
  if (err.IsError())
    return err.Push(FXLOC, forPair ? "Couldn't query BlrBootVMs for pair %d"
                                   : "Couldn't query BlrBootVMs for tailClientId %d",
                    id);
  return err;
}

CZuError BlrDBSvc::createOrUpdateBootVMHnd(const Map& req, Map* resp, const KRP_Cert&) {
  BlrDB::BootVM vm;
  CZuError err = decodePayload(req, &vm, "Couldn't parse createOrUpdateBootVM() request", FXLOC);
  if (err.IsError()) return err;
  if (const char* field = missingBootVMField(vm))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "BlrBootVM must have %s set", field);
  if (const char* field = missingBootDiskField(vm))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "BlrBootVM must have %s set for all disks", field);
  BlrSQL sql(ANCHOR_DB);
  err = begin(sql, FXLOC);
  if (!err.IsError()) err = vm.id == 0 ? insertBootVM(sql, &vm) : updateBootVM(sql, vm);
  for (auto it = vm.disks.begin(); !err.IsError() && it != vm.disks.end(); ++it) {
    it->bootVmId = vm.id;
    err = storeBootDisk(sql, *it);
  }
  if (!err.IsError()) err = commit(sql, FXLOC);
  if (err.IsError()) return err;
  char answer[16];
  DwEbmlWriterUnsafe writer(answer, 0);
  writer.writeNumTag(BLRDB_TAG_BOOT_VM_ID, vm.id);
  blrSetBlob(*resp, writer.getBuffer(), writer.getSize());
  return CZuError();
}

CZuError BlrDBSvc::getBootVMHnd(const Map& req, Map* resp, const KRP_Cert&) {
  int32_t id = 0;
  CZuError err = parseId(req, BLRDB_TAG_BOOT_VM_ID, &id);
  if (err.IsError()) return err.Push(FXLOC);
  if (id == 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "BootVM ID expected");
  std::list<BlrDB::BootVM> vms;
  err = getBootVMs("WHERE BlrBootVM.id=" + i2s(id), &vms, nullptr);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't query BlrBootVM with ID %d", id);
  if (vms.empty()) return CZuError();
  DwEbmlBuffer buffer(4096);
  DwEbmlWriter writer(buffer, 0);
  vms.front().serialize(writer);
  blrSetBlob(*resp, writer.getBuffer(), writer.getSize());
  return CZuError();
}

CZuError BlrDBSvc::getBootVMsPiecesHnd(const Map& req, DwLinkReply* reply) {
  auto name = req.find("req");
  const bool forPair = name != req.end() && name->second == "get_boot_vms_for_pair";
  return streamBootVMs(req, reply, forPair);
}

// Both lists answer through getBootVMsPiecesHnd, which reads "req" to tell
// them apart: a request that reached one of these handlers under another
// name is answered as the handler's own.
CZuError BlrDBSvc::getBootVMsForPairHnd(const Map& req, Map* resp, const KRP_Cert&) {
  Map named = req;
  named["req"] = "get_boot_vms_for_pair";
  return answerWhole(named, resp, &BlrDBSvc::getBootVMsPiecesHnd);
}

CZuError BlrDBSvc::getBootVMsForTailHnd(const Map& req, Map* resp, const KRP_Cert&) {
  Map named = req;
  named["req"] = "get_boot_vms_for_tail";
  return answerWhole(named, resp, &BlrDBSvc::getBootVMsPiecesHnd);
}

CZuError BlrDBSvc::delBootVMHnd(const Map& req, Map*, const KRP_Cert&) {
  int32_t id = 0;
  CZuError err = parseId(req, BLRDB_TAG_BOOT_VM_ID, &id);
  if (err.IsError()) return err.Push(FXLOC);
  if (id == 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "BlrBootVM ID expected");
  BlrSQL sql(ANCHOR_DB);
  err = begin(sql, FXLOC);
  if (!err.IsError())
    err = exec(sql, "DELETE FROM BlrBootDisk WHERE bootVmId=" + i2s(id), Accept::kOk, FXLOC);
  if (!err.IsError()) err = exec(sql, "DELETE FROM BlrBootVM WHERE id=" + i2s(id), Accept::kOk, FXLOC);
  if (!err.IsError()) err = commit(sql, FXLOC);
  return err;
}
