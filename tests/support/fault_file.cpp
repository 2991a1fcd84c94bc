#include "support/fault_file.h"

#include <vector>

const char *FaultOpName(FaultOp op) {
  static const char *const kNames[kFaultOpCount] = {
      "read", "write", "seek", "open", "flush", "truncate", "allocation"};
  return op < kFaultOpCount ? kNames[op] : "?";
}

void CFaultPlan::Arm(FaultOp op, u32 k, Error code, bool torn) {
  Disarm();
  mOp = op;
  mAt = k;
  mCode = code;
  mTorn = torn;
}

void CFaultPlan::ArmCorruption(u32 k) {
  Arm(kFaultWrite, k, nullptr);
  mCorrupt = true;
}

void CFaultPlan::Disarm() {
  for (u32 &c : mCount) c = 0;
  mAt = 0;
  mCorrupt = false;
  mFired = false;
}

bool CFaultPlan::Hit(FaultOp op) {
  u32 n = ++mCount[op];
  if (mAt == 0 || op != mOp || n != mAt) return false;
  mFired = true;
  return true;
}

// ---- CFaultFile -------------------------------------------------------------

CFaultFile::CFaultFile(CFile *inner, u32 ownsInner, CFaultPlan *plan)
    : CFile(inner, ownsInner), mPlan(plan) {
  openMode = inner->openMode;
  valid = inner->valid;
}

Error CFaultFile::Read(void *buffer, u32 size, u32 *countOut) {
  if (!mPlan->Hit(kFaultRead)) return parent->Read(buffer, size, countOut);
  u32 n = 0;
  if (mPlan->Torn()) parent->Read(buffer, size / 2, &n);
  if (countOut) *countOut = n;
  return mPlan->Code();
}

Error CFaultFile::Write(const void *buffer, u32 size, u32 *countOut) {
  if (!mPlan->Hit(kFaultWrite)) return parent->Write(buffer, size, countOut);
  if (mPlan->Corrupts()) {
    std::vector<unsigned char> changed(static_cast<const unsigned char *>(buffer),
                                       static_cast<const unsigned char *>(buffer) + size);
    if (size) changed[size / 2] ^= 0x5A;
    return parent->Write(changed.data(), size, countOut);
  }
  u32 n = 0;
  if (mPlan->Torn()) parent->Write(buffer, size / 2, &n);
  if (countOut) *countOut = n;
  return mPlan->Code();
}

Error CFaultFile::Seek(i32 offset, i16 origin) {
  if (mPlan->Hit(kFaultSeek)) return mPlan->Code();
  return parent->Seek(offset, origin);
}

Error CFaultFile::Flush() {
  if (mPlan->Hit(kFaultFlush)) return mPlan->Code();
  return parent->Flush();
}

Error CFaultFile::Truncate() {
  if (mPlan->Hit(kFaultTruncate)) return mPlan->Code();
  return parent->Truncate();
}

// ---- CFaultFileService ------------------------------------------------------

CFaultFileService::CFaultFileService(CFileService *inner, CFaultPlan *plan)
    : mInner(inner), mPlan(plan) {}

CFaultFileService::~CFaultFileService() { delete mInner; }

CFile *CFaultFileService::Open(const char *path, u32 mode, Error *errorOut) {
  if (mPlan->Hit(kFaultOpen)) {
    if (errorOut) *errorOut = mPlan->Code();
    return nullptr;
  }
  CFile *f = mInner->Open(path, mode, errorOut);
  return f ? new CFaultFile(f, 1, mPlan) : nullptr;
}

// ---- CFaultPtrPool ------------------------------------------------------------

void *CFaultPtrPool::Allocate(u32 size) {
  return mPlan->Hit(kFaultAlloc) ? nullptr : mInner->Allocate(size);
}

void *CFaultPtrPool::Reallocate(void *p, u32 size) {
  return mPlan->Hit(kFaultAlloc) ? nullptr : mInner->Reallocate(p, size);
}

void CFaultPtrPool::Free(void *p) { mInner->Free(p); }
u32 CFaultPtrPool::GetSize(void *p) { return mInner->GetSize(p); }

ScopedFaultPtrPool::ScopedFaultPtrPool(CFaultPlan *plan)
    : mReal(gPtrPool), mFault(new CFaultPtrPool(gPtrPool, plan)) {
  gPtrPool = mFault;
}

ScopedFaultPtrPool::~ScopedFaultPtrPool() {
  gPtrPool = mReal;
  delete mFault;
}
