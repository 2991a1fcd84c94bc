// The file services for the span of one command: the mount table with the
// host file service registered under the empty name.
#pragma once

#include "fs/mount_table.h"

class FsSession {
 public:
  FsSession() {
    MountTableInit(8);
    HostFsInit();
  }
  ~FsSession() {
    HostFsShutdown();
    MountTableShutdown();
  }
  FsSession(const FsSession &) = delete;
  FsSession &operator=(const FsSession &) = delete;
};
