// Fault injection for tests: a CFile, a CFileService and a pointer pool that
// wrap the real thing and fail a chosen operation on a countdown, sharing one
// CFaultPlan. Every operation of a kind is counted; when the plan is armed
// for kind K at k, the k-th operation of kind K from the arming on fails
// with the chosen code, once. A torn fault transfers half of the bytes
// before failing, as a disk that fills up or a crash in the middle of a write
// would.
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
  // torn: a read or write moves half its bytes first.
  void Arm(FaultOp op, u32 k, Error code, bool torn = false);
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
  u32 GetSize() override { return parent->GetSize(); }
  u32 Tell() override { return parent->Tell(); }
  Error Flush() override;
  Error Truncate() override;
  Error GetProperty(u32 id, uintptr_t *valueOut, u32 extra) override {
    return parent->GetProperty(id, valueOut, extra);
  }

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
  u32 Exists(const char *path) override { return mInner->Exists(path); }
  Error Delete(const char *path) override { return mInner->Delete(path); }
  Error Move(const char *from, const char *to) override { return mInner->Move(from, to); }
  Error MakeDir(const char *p, const char *r) override { return mInner->MakeDir(p, r); }
  Error RemoveDir(const char *p, const char *r) override { return mInner->RemoveDir(p, r); }
  Error FindFirst(FindRecord *r, const char *dir) override { return mInner->FindFirst(r, dir); }
  Error FindNext(FindRecord *r) override { return mInner->FindNext(r); }
  Error FindClose(FindRecord *r) override { return mInner->FindClose(r); }
  Error Query(const char *p, u32 id, char *out) override { return mInner->Query(p, id, out); }
  Error Extension(const char *p, u32 a, u32 b) override { return mInner->Extension(p, a, b); }
  u32 GetDataOffset(const char *p, Error *e) override { return mInner->GetDataOffset(p, e); }

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
