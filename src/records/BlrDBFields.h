// The tables of fields of the pair database records, in wire order
// (BlrRecordFields.h says what a row holds).  The service's pair query reads
// the stored fields of pairs and disks as columns in the same order.
#ifndef BLR_SRC_BLRDBFIELDS_H
#define BLR_SRC_BLRDBFIELDS_H

#include "BLR/BlrDB.h"
#include "BLR/BlrDBTexts.h"
#include "records/BlrDBTags.h"
#include "records/BlrRecordFields.h"

namespace blr_fields {

using D = BlrDB::Disk;
using P = BlrDB::Pair;
using S = BlrDB::PairStats;
using BD = BlrDB::BootDisk;
using VM = BlrDB::BootVM;

constexpr Width kVmName{BLRDB_VM_NAME_CHARS, BlrTextUnit::kChars};
constexpr Width kPath{BLRDB_PATH_CHARS, BlrTextUnit::kChars};
constexpr Width kStatus{BLRDB_STATUS_MESSAGE_BYTES, BlrTextUnit::kBytes};
constexpr Width kTailHostName{BLRDB_TAIL_HOST_NAME_CHARS, BlrTextUnit::kChars};

// Read whole, as the service's disks always are: a disk with anything
// unreadable is not kept.
template <> struct FieldTable<D> : WholeRecord {
  static constexpr Field<D> rows[] = {
      {BLRDB_TAG_ID, "id", &D::id},
      {BLRDB_TAG_SRC_PATH, "srcPath", &D::srcPath, kRequired, kPath},
      {BLRDB_TAG_DST_PATH, "dstPath", &D::dstPath, 0, kPath},
      {BLRDB_TAG_SRC_GUID, "srcGuid", &D::srcGuid, kRequired},
      {BLRDB_TAG_DST_GUID, "dstGuid", &D::dstGuid},
      {BLRDB_TAG_STATUS_CODE, "statusCode", &D::statusCode},
      {BLRDB_TAG_STATUS_MESSAGE, "statusMessage", &D::statusMessage, 0, kStatus},
  };
};

// srcType and dstType read as none (0) when unreadable, as a kind the
// system does not know would.
template <> struct FieldTable<P> {
  static constexpr Field<P> rows[] = {
      {BLRDB_TAG_ID, "id", &P::id},
      {BLRDB_TAG_SUB_CLIENT_ID, "subClientId", &P::subClientId, kRequired},
      {BLRDB_TAG_DST_CLIENT_ID, "dstClientId", &P::dstClientId, kRequired},
      {BLRDB_TAG_HEAD_CLIENT_ID, "headClientId", &P::headClientId, kRequired},
      {BLRDB_TAG_TAIL_CLIENT_ID, "tailClientId", &P::tailClientId, kRequired},
      {BLRDB_TAG_SRC_TYPE, "srcType", &P::srcType, kZeroIfUnreadable},
      {BLRDB_TAG_DST_TYPE, "dstType", &P::dstType, kZeroIfUnreadable},
      {BLRDB_TAG_SRC_NAME, "srcName", &P::srcName, kRequired, kVmName},
      {BLRDB_TAG_DST_NAME, "dstName", &P::dstName, 0, kVmName},
      {BLRDB_TAG_SRC_GUID, "srcGuid", &P::srcGuid, kRequired},
      {BLRDB_TAG_DST_GUID, "dstGuid", &P::dstGuid},
      {BLRDB_TAG_STATUS_CODE, "statusCode", &P::statusCode, kNotGiven},
      {BLRDB_TAG_PENDING_STATUS_CODE, "pendingStatusCode", &P::pendingStatusCode, kNotGiven},
      {BLRDB_TAG_STATUS_MESSAGE, "statusMessage", &P::statusMessage, 0, kStatus},
      {BLRDB_TAG_EVENT_ID, "eventId", &P::eventId, kNotGiven},
      {BLRDB_TAG_RP_STORE_ID, "rpStoreId", &P::rpStoreId, kNotGiven},
      {BLRDB_TAG_LAG_TIME, "lagTime", &P::lagTime, kNotGiven},
      {BLRDB_TAG_FLAGS, "flags", &P::flags, kNotGiven},
      {BLRDB_TAG_DISK, "disks", listOf<&P::disks>(), kRequired},
      {BLRDB_TAG_TAIL_HOST_NAME, "tailHostName", &P::tailHostName, kKeptByClear | kNotStored, kTailHostName},
  };
};

// timeStamp reads as 0 (the service's current time) when unreadable.
template <> struct FieldTable<S> {
  static constexpr Field<S> rows[] = {
      {BLRDB_TAG_REP_DATA_DELTA_ACTUAL, "repDataDeltaActual", &S::repDataDeltaActual},
      {BLRDB_TAG_REP_DATA_DELTA_COMP, "repDataDeltaComp", &S::repDataDeltaComp},
      {BLRDB_TAG_IO_DELTA, "ioDelta", &S::ioDelta},
      {BLRDB_TAG_IOPS_DELTA, "iopsDelta", &S::iopsDelta},
      {BLRDB_TAG_REP_SET_SIZE, "repSetSize", &S::repSetSize},
      {BLRDB_TAG_SIZE_IN_RP_STORE, "sizeInRpStore", &S::sizeInRpStore},
      {BLRDB_TAG_TIME_STAMP, "timeStamp", &S::timeStamp, kZeroIfUnreadable},
      {BLRDB_TAG_RETENTION, "retention", &S::retention},
      {BLRDB_TAG_PAIR_ID, "pairId", &S::pairId},
  };
};

template <> struct FieldTable<BD> : WholeRecord {
  static constexpr Field<BD> rows[] = {
      {BLRDB_TAG_ID, "id", &BD::id},
      {BLRDB_TAG_ORIG_DISK_ID, "origDiskId", &BD::origDiskId},
      {BLRDB_TAG_BOOT_VM_ID, "bootVmId", &BD::bootVmId},
      {BLRDB_TAG_UUID, "uuid", &BD::uuid},
      {BLRDB_TAG_PATH, "path", &BD::path, 0, kPath},
      {BLRDB_TAG_SNAP_ID, "snapId", &BD::snapId, 0, {BLRDB_SNAP_ID_BYTES, BlrTextUnit::kBytes}},
  };
};

// The three times read as 0 when unreadable.
template <> struct FieldTable<VM> {
  static constexpr Field<VM> rows[] = {
      {BLRDB_TAG_ID, "id", &VM::id},
      {BLRDB_TAG_BOOT_TYPE, "bootType", &VM::bootType},
      {BLRDB_TAG_PAIR_ID, "pairId", &VM::pairId},
      {BLRDB_TAG_NAME, "name", &VM::name, 0, kVmName},
      {BLRDB_TAG_UUID, "uuid", &VM::uuid},
      {BLRDB_TAG_CREATION_TIME, "creationTime", &VM::creationTime, kZeroIfUnreadable},
      {BLRDB_TAG_DELETION_TIME, "deletionTime", &VM::deletionTime, kZeroIfUnreadable},
      {BLRDB_TAG_BEST_BEFORE, "bestBefore", &VM::bestBefore, kZeroIfUnreadable},
      {BLRDB_TAG_SEQ_NUM, "seqNum", &VM::seqNum},
      {BLRDB_TAG_STATUS_CODE, "statusCode", &VM::statusCode},
      {BLRDB_TAG_STATUS_MESSAGE, "statusMessage", &VM::statusMessage, 0,
       {BLRDB_BOOT_STATUS_BYTES, BlrTextUnit::kBytes}},
      {BLRDB_TAG_EVENT_ID, "eventId", &VM::eventId},
      {BLRDB_TAG_JOB_ID, "jobId", &VM::jobId},
      {BLRDB_TAG_BOOT_DISK, "disks", listOf<&VM::disks>()},
  };
};

}  // namespace blr_fields

#endif  // BLR_SRC_BLRDBFIELDS_H
