// Fault injection for tests: a CFile, a CFileService and a pointer pool that
// wrap the real thing and fail a chosen operation on a countdown, sharing one
// CFaultPlan. Every operation of a kind is counted; when the plan is armed
// for kind K at k, the k-th operation of kind K from the arming on fails
// with the chosen code (once, or from then on when sticky). A torn fault
// transfers half of the bytes before failing, as a disk that fills up or a
// crash in the middle of a write would.
#pragma once

#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/file_service.h"

enum FaultOp {
  kFaultRead,
  kFaultWrite,
  kFaultSeek,
  kFaultOpen,
  kFaultFlush,
  kFaultTruncate,
  kFaultAlloc,
  kFaultOpCount
};

// The name of an operation kind, for test messages.
const char *FaultOpName(FaultOp op);

class CFaultPlan {
 public:
  // Fails the k-th (1-based) operation of `op` counted from now with `code`.
  // torn: a read or write moves half its bytes first. sticky: every later
  // operation of that kind fails too.
  void Arm(FaultOp op, u32 k, Error code, bool torn = false, bool sticky = false);
  // The k-th write counted from now succeeds, but the middle byte of what
  // it writes is changed on its way to the file: damage a later read must
  // catch.
  void ArmCorruption(u32 k);
  // No fault; the counts start again from 0.
  void Disarm();
  // Counts an operation of `op`; true when it must fail.
  bool Hit(FaultOp op);

  Error Code() const { return mCode; }
  bool Torn() const { return mTorn; }
  bool Corrupts() const { return mCorrupt; }
  // Whether the armed fault has happened.
  bool Fired() const { return mFired; }
  // Operations of `op` counted since the last Arm or Disarm.
  u32 Count(FaultOp op) const { return mCount[op]; }

 private:
  u32 mCount[kFaultOpCount] = {};
  FaultOp mOp = kFaultRead;
  u32 mAt = 0;  // 0: not armed
  Error mCode = nullptr;
  bool mTorn = false;
  bool mCorrupt = false;
  bool mSticky = false;
  bool mFired = false;
};

// Passes everything to `inner` (owned when ownsInner is set) and fails
// Read, Write, Seek, Flush and Truncate as the plan says. ReadAt and WriteAt
// are the base's Seek then Read or Write, so each counts as a seek and a
// read or write.
class CFaultFile : public CFile {
 public:
  CFaultFile(CFile *inner, u32 ownsInner, CFaultPlan *plan);

  Error Read(void *buffer, u32 size, u32 *countOut) override;
  Error Write(const void *buffer, u32 size, u32 *countOut) override;
  Error Seek(i32 offset, i16 origin) override;
  u32 GetSize() override;
  u32 Tell() override;
  Error Flush() override;
  Error Truncate() override;
  Error GetProperty(u32 propertyId, uintptr_t *valueOut, u32 extra) override;

 private:
  CFaultPlan *mPlan;
};

// Passes everything to `inner` (owned) and fails Open as the plan says;
// files it opens are wrapped in CFaultFile on the same plan.
class CFaultFileService : public CFileService {
 public:
  CFaultFileService(CFileService *inner, CFaultPlan *plan);
  ~CFaultFileService() override;

  CFile *Open(const char *path, u32 mode, Error *errorOut) override;
  u32 Exists(const char *path) override;
  Error Delete(const char *path) override;
  Error Move(const char *fromPath, const char *toPath) override;
  Error MakeDir(const char *parentPath, const char *relativePath) override;
  Error RemoveDir(const char *parentPath, const char *relativePath) override;
  Error FindFirst(FindRecord *record, const char *dirPath) override;
  Error FindNext(FindRecord *record) override;
  Error FindClose(FindRecord *record) override;
  Error Query(const char *path, u32 queryId, char *buffer) override;
  Error Extension(const char *path, u32 a, u32 b) override;
  u32 GetDataOffset(const char *path, Error *errorOut) override;

  CFileService *Inner() const { return mInner; }

 private:
  CFileService *mInner;
  CFaultPlan *mPlan;
};

// A pointer pool over another whose Allocate and Reallocate fail (null) as
// the plan says (kind kFaultAlloc).
class CFaultPtrPool : public CPtrPool {
 public:
  CFaultPtrPool(CPtrPool *inner, CFaultPlan *plan) : mInner(inner), mPlan(plan) {}
  void *Allocate(u32 size) override;
  void *Reallocate(void *p, u32 size) override;
  void Free(void *p) override;
  u32 GetSize(void *p) override;

 private:
  CPtrPool *mInner;
  CFaultPlan *mPlan;
};

// Puts a CFaultPtrPool in place of gPtrPool for its lifetime. Blocks may be
// allocated before and freed during it, or the other way round: the real
// pool serves them all.
class ScopedFaultPtrPool {
 public:
  explicit ScopedFaultPtrPool(CFaultPlan *plan);
  ~ScopedFaultPtrPool();
  ScopedFaultPtrPool(const ScopedFaultPtrPool &) = delete;
  ScopedFaultPtrPool &operator=(const ScopedFaultPtrPool &) = delete;

 private:
  CPtrPool *mReal;
  CFaultPtrPool *mFault;
};
