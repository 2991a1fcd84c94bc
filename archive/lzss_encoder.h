// The LZSS encoder with work memory that lasts from block to block.
//
// LzssEncode takes its search tree and sorting memory from gPtrPool for
// every block. An encoder that codes many blocks keeps that memory instead,
// and once Reserve has sized it for the largest block it will see, Encode
// touches no pool at all: several encoders can then run on threads of their
// own while the pools stay with the thread that made them.
#pragma once

#include "archive/key_classes.h"
#include "core/errors.h"
#include "core/types.h"

class CLzssEncoder {
 public:
  CLzssEncoder() {}
  // Gives the work memory back to gPtrPool.
  ~CLzssEncoder();
  CLzssEncoder(const CLzssEncoder &) = delete;
  CLzssEncoder &operator=(const CLzssEncoder &) = delete;

  // Takes from gPtrPool, now and on the calling thread, all the memory that
  // coding blocks of up to maxBlock bytes under `code` needs. Unknown code:
  // NOSUCHBITLENGTHS; no memory: NOTENOUGHMEM.
  Error Reserve(u8 code, u32 maxBlock);
  // The stream LzssEncode gives for the same arguments, byte for byte, with
  // the same errors. Allocates only what Reserve has not already provided.
  Error Encode(const void *source, u32 sourceLength, void *destination,
               u32 *lengthInOut, u8 code, const void *reference);

 private:
  bool ReserveTree(u32 nodeCount);
  bool ReserveSet(u32 span);

  void *mTree = nullptr;
  u32 mTreeNodes = 0;
  KeyClasses mClasses;
  void *mSet = nullptr;
  u32 mSetBytes = 0;
};
