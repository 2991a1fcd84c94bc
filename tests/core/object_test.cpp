#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/errors.h"
#include "core/handle_pool.h"
#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/file_window.h"

TEST(ObjectTest, CastFindsOwnClassByPointerOnly) {
  CFile file(nullptr, 0);
  EXPECT_EQ(file.Cast(CFile::sClassName), static_cast<void *>(&file));
  EXPECT_EQ(file.Cast(CObject::sClassName),
            static_cast<void *>(static_cast<CObject *>(&file)));
  char sameText[] = "CFile";
  EXPECT_EQ(file.Cast(sameText), nullptr);
  EXPECT_EQ(file.Cast(CPtrPool::sClassName), nullptr);
}

TEST(ObjectTest, UnnamedClassesAnswerTheirNearestNamedBase) {
  CFileWindow window(nullptr, 0, 0, 0);
  EXPECT_EQ(window.GetClassName(), CFile::sClassName);
  EXPECT_EQ(window.Cast(CFile::sClassName),
            static_cast<void *>(static_cast<CFile *>(&window)));
  CSizedPtrPool sized;
  EXPECT_EQ(sized.GetClassName(), CPtrPool::sClassName);
  EXPECT_STREQ(gPtrPool->GetClassName(), "CPtrPool");
  EXPECT_STREQ(gHandlePool->GetClassName(), "CHandlePool");
}

TEST(ObjectTest, CastThroughVirtualBaseGivesTheRightAddress) {
  CSizedPtrPool sized;
  CPtrPool *asPool = &sized;
  EXPECT_EQ(sized.Cast(CPtrPool::sClassName), static_cast<void *>(asPool));
  EXPECT_EQ(sized.Cast(CObject::sClassName),
            static_cast<void *>(static_cast<CObject *>(&sized)));
  EXPECT_EQ(sized.Cast(CHandlePool::sClassName), nullptr);
}

TEST(ErrorTest, DomainTablesAreInTheirOrder) {
  const char *object[] = {"\"Unknown error\"", "\"Not implemented yet\"",
                          "ALLOCFAIL", "LOCKFAIL", "REALLOCFAIL", "NOTLOCKED",
                          "INDEXOUTOFRANGE", "BUFFERTOOSMALL", "BADPARAMS",
                          "OUTOFRANGE", "NOTFOUND", "INVALIDFORMAT",
                          "WHATAMESS"};
  for (int i = 0; i < 13; i++) EXPECT_STREQ(kObjectErrors[i], object[i]);
  const char *file[] = {"FILE", "NOTENOUGHMEM", "READFAIL", "WRITEFAIL", "EOF",
                        "BADOPENMODE", "SEEKFAIL", "FILENOTFOUND",
                        "BADFILEFORMAT", "OPENFAIL", "TRUNCFAIL", "FLUSHFAIL",
                        "PATHNOTFOUND", "ACCESSDENIED", "FILEEXIST",
                        "NOMOREFILES", "NOTREADY", "VOLUMENOTFOUND",
                        "TOOMANYOPENFILES", "WRITEPROTECTED", "BADVOLUME",
                        "DISKFULL", "SHARING", "ALREADYEXISTS", "UNKNOWNPID"};
  for (int i = 0; i < 25; i++) EXPECT_STREQ(kFileErrors[i], file[i]);
  const char *pool[] = {"POOL", "COMPACTED", "OVERMAXSIZE", "NOTCREATED",
                        "NOTPOOLFILE", "ZEROSIZE", "NOTENOUGHMEMORY",
                        "NULLPOINTER", "SIZEOUTOFRANGE"};
  for (int i = 0; i < 9; i++) EXPECT_STREQ(kPoolErrors[i], pool[i]);
  EXPECT_STREQ(kHashIniErrors[0], "HASHINI");
  EXPECT_STREQ(kHashIniErrors[2], "NOTINLIST");
  EXPECT_STREQ(kLzssErrors[0], "NOSUCHBITLENGTHS");
}

TEST(ErrorTest, CodesWithTheSameTextAreDifferentCodes) {
  // The file domain's generic code and a local string with its text.
  char text[] = "FILE";
  Error local = text;
  EXPECT_NE(local, static_cast<Error>(FERR_FILE));
  EXPECT_EQ(static_cast<Error>(FERR_FILE), kFileErrors[0]);
  EXPECT_EQ(static_cast<Error>(ERR_UNKNOWN), kObjectErrors[0]);
  EXPECT_EQ(static_cast<Error>(ERR_NOTIMPL), kObjectErrors[1]);
}
