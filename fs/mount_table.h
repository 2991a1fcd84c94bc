// The process-wide mount table and the eleven path entry points. Each entry
// point routes a path to the service whose mount name is its longest leading
// part (names end with '\' and match case-insensitively; the host service has
// the empty name), strips that part and calls the service.
#pragma once

#include "fs/file_service.h"

// Allocates a table of `capacity` entries. No memory: ALLOCFAIL (the table
// then refuses every registration).
Error MountTableInit(u16 capacity);
// Destroys every service still registered, in table order, and frees the
// table.
Error MountTableShutdown();
// Inserts `service` under `name`. The pointer is kept, not copied; with
// `ownsName` set the table gives the name back to gPtrPool when the entry
// goes. A name equal to an existing one goes after it, so the older entry
// keeps winning. Refused with OUTOFRANGE when the table is full and with
// WHATAMESS when there is no table; on refusal the caller keeps both.
Error RegisterService(const char *name, CFileService *service,
                      u32 ownsName = 0);
// Removes the entry whose name the whole of `name` matches and hands its
// service back (not destroyed); null when there is none.
CFileService *UnregisterService(const char *name);
// The service for `path`, with *rest pointing past the mount name; null when
// no entry matches.
CFileService *ResolveMount(const char *path, const char **rest);
// The name under which `service` is registered, or null.
const char *MountNameOf(CFileService *service);

// Registers the host file service under the empty name.
Error HostFsInit();
// Unregisters and destroys it.
Error HostFsShutdown();

CFile *FsOpen(const char *path, u32 mode, Error *errorOut);
Error FsDelete(const char *path);
Error FsMove(const char *fromPath, const char *toPath);
Error FsFindFirst(FindRecord *record, const char *dirPath);
Error FsFindNext(FindRecord *record);
Error FsFindClose(FindRecord *record);
Error FsMakeDir(const char *parentPath, const char *relativePath);
Error FsRemoveDir(const char *parentPath, const char *relativePath);
u32 FsExists(const char *path);
Error FsQuery(const char *path, u32 queryId, char *buffer);
Error FsExtension(const char *path, u32 a, u32 b);

// The entry points as one table, in their fixed order.
struct FileApi {
  CFile *(*Open)(const char *, u32, Error *);
  Error (*Delete)(const char *);
  Error (*Move)(const char *, const char *);
  Error (*FindFirst)(FindRecord *, const char *);
  Error (*FindNext)(FindRecord *);
  Error (*FindClose)(FindRecord *);
  Error (*MakeDir)(const char *, const char *);
  Error (*RemoveDir)(const char *, const char *);
  u32 (*Exists)(const char *);
  Error (*Query)(const char *, u32, char *);
  Error (*Extension)(const char *, u32, u32);
};
extern const FileApi gFileApi;
