#include "fs/file_service.h"

static const char kCFileServiceName[] = "CFileService";
const char *const CFileService::sClassName = kCFileServiceName;

const char *CFileService::GetClassName() const { return sClassName; }

void *CFileService::Cast(const char *name) {
  if (name == sClassName) return this;
  return CObject::Cast(name);
}

CFileService::~CFileService() {}
CFile *CFileService::Open(const char *, u32, Error *) { return nullptr; }
u32 CFileService::Exists(const char *) { return 0; }
Error CFileService::Delete(const char *) { return ERR_NOTIMPL; }
Error CFileService::Move(const char *, const char *) { return ERR_NOTIMPL; }
Error CFileService::MakeDir(const char *, const char *) { return ERR_NOTIMPL; }
Error CFileService::RemoveDir(const char *, const char *) {
  return ERR_NOTIMPL;
}
Error CFileService::FindFirst(FindRecord *, const char *) {
  return ERR_NOTIMPL;
}
Error CFileService::FindNext(FindRecord *) { return ERR_NOTIMPL; }
Error CFileService::FindClose(FindRecord *) { return ERR_NOTIMPL; }
Error CFileService::Query(const char *, u32, char *) { return ERR_NOTIMPL; }
Error CFileService::Extension(const char *, u32, u32) { return ERR_NOTIMPL; }
u32 CFileService::GetDataOffset(const char *, Error *errorOut) {
  if (errorOut) *errorOut = nullptr;
  return 0;
}
