// The host's file layer: one read or write on a file, pipe or socket
// descriptor.  Calls are retried when a signal interrupts them before any byte
// moved; a transfer may still move fewer bytes than asked.
#ifndef HOST_FXFILE_H
#define HOST_FXFILE_H

#include "host/base/CZuError.h"
#include "host/base/auto_handle.h"

class FXFile {
 public:
  virtual ~FXFile() = default;

  // Reads up to `len` bytes into `buf`; *moved is the count, 0 at end of
  // stream.  `reserved` must be null (asynchronous I/O is not supported).
  static CZuError DWReadFile(auto_handle& h, void* buf, int len, int* moved, void* reserved);
  // Writes up to `len` bytes from `buf`; *moved is the count.  Writing to a
  // socket whose peer has gone fails with EPIPE instead of raising SIGPIPE.
  static CZuError DWWriteFile(auto_handle& h, const void* buf, int len, int* moved,
                              void* reserved);

  // The process's file layer: the system's unless a test installed another.
  static FXFile* current();
  // Makes `layer` the process's file layer (null restores the system's) and
  // returns the previous one.  The caller keeps ownership.
  static FXFile* install(FXFile* layer);

  // One transfer on `fd` (len >= 0, moved non-null).  These are the system
  // calls; a replacement layer may override them and call these to pass through.
  virtual CZuError read(int fd, void* buf, int len, int* moved);
  virtual CZuError write(int fd, const void* buf, int len, int* moved);
};

#endif  // HOST_FXFILE_H
