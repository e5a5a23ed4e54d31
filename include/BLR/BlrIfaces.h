// Interfaces of the replication components that the proxy processes plug
// together (the snapshot reader of a source disk, the full synchronisation of
// a disk with its copy, the writer of a destination disk) and the two value
// records of the recovery-point store.  The components themselves live in the
// processes; offsets and lengths are in bytes.
#ifndef BLR_BLRIFACES_H
#define BLR_BLRIFACES_H

#include <cstdint>
#include <string>
#include <vector>

#include "BLR/BlrExport.h"
#include "BLR/BlrUUID.h"
#include "host/base/CZuError.h"
#include "host/base/DwBuffer.h"

// A point-in-time view of one source disk: freeze it, learn which blocks
// changed since a base, read them.  Used by one thread at a time, except
// cancel().
class BLR_API BlrSnapIface {
 public:
  virtual ~BlrSnapIface();

  // Replaces the credentials used to reach the disk; `kind` says what they
  // are for and `persist` whether to keep them beyond this process.  The
  // default ignores them: components without credentials need nothing.
  virtual CZuError updateCreds(int kind, bool persist, std::vector<char>* creds);

  // Opens the disk at `path` (a device, an image file or a datastore path).
  virtual CZuError open(const std::string& path) = 0;
  // Releases the disk and any snapshot still held.
  virtual CZuError close() = 0;
  virtual bool isOpen() const = 0;

  // Freezes the disk's current contents under `name`; reads see them until
  // deleteSnapshot().
  virtual CZuError createSnapshot(const std::string& name) = 0;
  virtual CZuError deleteSnapshot() = 0;

  virtual CZuError getDiskSize(uint64_t* bytes) = 0;

  // The change-tracking id of the current snapshot.  Given to
  // setBaseChangeId() next time, it limits getChangedBlocks() to the blocks
  // written since this snapshot.
  virtual CZuError getChangeId(std::string* changeId) = 0;
  // An empty id makes every allocated block count as changed.
  virtual CZuError setBaseChangeId(const std::string& changeId) = 0;

  // One bit per block of blockSize() bytes in [offset, offset + length), set
  // when the block changed since the base; bit i (least significant bit of
  // byte i / 8 first) stands for the block at offset + i * blockSize().
  // `offset` is a multiple of blockSize().
  virtual CZuError getChangedBlocks(uint64_t offset, uint64_t length, DwBuffer* bitmap) = 0;
  // Reads from the snapshot.
  virtual CZuError read(uint64_t offset, void* buf, uint32_t len) = 0;

  // Makes a getChangedBlocks() or read() running on another thread give up
  // with an error.  Any thread may call it.
  virtual void cancel() = 0;

  const BlrUUID& vmId() const { return vmId_; }
  const BlrUUID& diskId() const { return diskId_; }
  uint32_t blockSize() const { return blockSize_; }

 protected:
  BlrSnapIface();

  // Set by the implementation, once the disk is known.
  BlrUUID vmId_;
  BlrUUID diskId_;
  uint32_t blockSize_;  // granularity of the change bitmap
};

// Brings a destination disk in line with its source by comparing the two
// block by block and copying what differs.  The implementation is given its
// source and destination when it is made.
class BLR_API BlrFullSyncIface {
 public:
  virtual ~BlrFullSyncIface();

  // Synchronises [offset, offset + length).  *synced is the number of bytes
  // from `offset` known to match on return, on failure too, so that a later
  // call can resume at offset + *synced.
  virtual CZuError syncRange(uint64_t offset, uint64_t length, uint64_t* synced) = 0;

  // Makes a syncRange() running on another thread give up with an error.  Any
  // thread may call it.
  virtual void cancel() = 0;
};

// Writes replicated data to a destination disk and records, durably, up to
// which journal sequence number the disk is complete.  Used by one thread at
// a time.
class BLR_API BlrDstWriter {
 public:
  virtual ~BlrDstWriter();

  virtual CZuError open(const std::string& path) = 0;
  // Flushes, then releases the disk.
  virtual CZuError close() = 0;

  // Grows or shrinks the disk to `bytes` (when its source was resized).
  virtual CZuError setDiskSize(uint64_t bytes) = 0;

  // Reads back what the disk holds (for full synchronisation).
  virtual CZuError read(uint64_t offset, void* buf, uint32_t len) = 0;
  // Offsets and lengths are multiples of sectorSize().
  virtual CZuError write(uint64_t offset, const void* data, uint32_t len) = 0;
  // Zeroes a range, deallocating it where the disk allows.
  virtual CZuError writeZeroes(uint64_t offset, uint64_t len) = 0;

  // Makes every completed write durable.
  virtual CZuError flush() = 0;
  // Flushes, then records that the disk holds every write up to journal
  // sequence number `sequence`.
  virtual CZuError commit(uint64_t sequence) = 0;
  // The last sequence number committed, 0 when none; survives restarts.
  virtual CZuError getCommittedSequence(uint64_t* sequence) = 0;

  const BlrUUID& diskId() const { return diskId_; }
  uint64_t diskSize() const { return diskSize_; }
  uint32_t sectorSize() const { return sectorSize_; }

 protected:
  BlrDstWriter();

  // Set by the implementation when the disk is opened or resized.
  BlrUUID diskId_;
  uint64_t diskSize_;
  uint32_t sectorSize_;
};

namespace BlrRPStore {

// One block of disk data and the place it belongs; the bytes are a private
// copy.
class BLR_API Block {
 public:
  // Copies `size` bytes from `data` (null is fine when `size` is 0).  Throws
  // std::bad_alloc when the heap can't hold them.
  Block(uint64_t position, uint32_t size, const void* data);

  DwBuffer buffer;
  uint64_t position;
  uint32_t size;
};

// A bitmap of `bits` bits, held in (bits + 7) / 8 bytes copied from the
// caller, and what it belongs to.
class BLR_API Bitmap {
 public:
  // Throws std::bad_alloc when the heap can't hold the bytes.
  Bitmap(const BlrUUID& id, uint32_t bits, const void* data);

  DwBuffer buffer;
  BlrUUID id;
};

}  // namespace BlrRPStore

#endif  // BLR_BLRIFACES_H
