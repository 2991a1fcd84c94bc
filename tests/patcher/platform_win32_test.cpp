// The Win32 platform layer of the patcher, on a real (Wine) desktop: what
// the patcher scenarios cannot reach (bounds, missing keys, failures, the
// resources). Message boxes, the written version, the shortcut, the mutex and
// read-only files are met there, through the real patcher.
#include "patcher/platform_win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/win32.h"
#include "patcher/platform.h"
#include "support/temp_dir.h"

namespace {

const char kGameKey[] = "SOFTWARE\\Lorvenest\\Vask";

// --- Command line -------------------------------------------------------

TEST(QuotedProgramPathTest, TakesTheQuotedPathAndLeavesOutTheArguments) {
  struct Case {
    const char *line, *path;
  } cases[] = {
      {"\"C:\\Games\\VaskPatch.exe\"", "C:\\Games\\VaskPatch.exe"},
      {"\"C:\\A B\\VaskPatch.exe\" x", "C:\\A B\\VaskPatch.exe"},
      {"\"C:\\VaskPatch.exe\" \"a b\" \"c\"", "C:\\VaskPatch.exe"},
      // Unquoted, quoted after a space, unclosed, empty.
      {"C:\\VaskPatch.exe", nullptr},
      {" \"C:\\VaskPatch.exe\"", nullptr},
      {"\"C:\\VaskPatch.exe", nullptr},
      {"\"\"", nullptr},
      {"", nullptr},
      {nullptr, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line ? c.line : "(null)");
    char path[256];
    ASSERT_EQ(c.path != nullptr, ParseQuotedProgramPath(c.line, path, sizeof(path)));
    if (c.path) { EXPECT_STREQ(c.path, path); }
  }
  // The path and its zero must fit.
  std::string line = "\"" + std::string(256, 'a') + "\"";
  char path[256];
  EXPECT_FALSE(ParseQuotedProgramPath(line.c_str(), path, sizeof(path)));
  line = "\"" + std::string(255, 'a') + "\"";
  ASSERT_TRUE(ParseQuotedProgramPath(line.c_str(), path, sizeof(path)));
  EXPECT_EQ(255u, strlen(path));
}

// The patcher's own path (quoted or, started by cmd, unquoted) and the
// Programs folder are found by the scenarios; here buffers too small.
TEST(PathsTest, TooSmallBuffersFail) {
  char small[4];
  EXPECT_FALSE(PlatformGetExecutablePath(small, sizeof(small)));
  EXPECT_FALSE(PlatformGetProgramsFolder(small, sizeof(small)));
}

// --- Registry -----------------------------------------------------------

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kGameKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key,
                                             nullptr));
    const char path[] = "C:\\Games\\Vask\\";
    RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE *>(path), sizeof(path));
    const BYTE version[4] = {0x01, 0x00, 0x01, 0x00};
    RegSetValueExA(key, "GameVersion", 0, REG_DWORD, version, 4);
    const BYTE wide[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    RegSetValueExA(key, "Wide", 0, REG_BINARY, wide, 8);
    const char bare[3] = {'a', 'b', 'c'};  // stored without a zero
    RegSetValueExA(key, "Bare", 0, REG_BINARY, reinterpret_cast<const BYTE *>(bare), 3);
    RegCloseKey(key);
  }
  void TearDown() override {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kGameKey, KEY_WOW64_32KEY, 0);
  }
};

TEST_F(RegistryTest, ReadsTextAndVersionThatFitTheirBuffers) {
  PlatformRegKey *key = PlatformRegOpen(false);
  ASSERT_NE(nullptr, key);
  char text[256];
  ASSERT_TRUE(PlatformRegQueryString(key, "Path", text, sizeof(text)));
  EXPECT_STREQ("C:\\Games\\Vask\\", text);
  EXPECT_FALSE(PlatformRegQueryString(key, "Path", text, 8));  // too long
  EXPECT_FALSE(PlatformRegQueryString(key, "Missing", text, sizeof(text)));
  // Text stored without a zero gets one, which must fit.
  memset(text, 'x', sizeof(text));
  ASSERT_TRUE(PlatformRegQueryString(key, "Bare", text, 8));
  EXPECT_STREQ("abc", text);
  EXPECT_FALSE(PlatformRegQueryString(key, "Bare", text, 3));

  u32 version = 0;
  ASSERT_TRUE(PlatformRegQueryDword(key, "GameVersion", &version));
  EXPECT_EQ(0x10001u, version);
  version = 7;  // values of other than four bytes are refused
  EXPECT_FALSE(PlatformRegQueryDword(key, "Wide", &version));
  EXPECT_FALSE(PlatformRegQueryDword(key, "Bare", &version));
  EXPECT_FALSE(PlatformRegQueryDword(key, "Missing", &version));
  EXPECT_EQ(7u, version);
  PlatformRegClose(key);
}

TEST(RegistryMissingTest, MissingKeyDoesNotOpen) {
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kGameKey, KEY_WOW64_32KEY, 0);
  EXPECT_EQ(nullptr, PlatformRegOpen(false));
  EXPECT_EQ(nullptr, PlatformRegOpen(true));
  char text[16];
  u32 version;
  EXPECT_FALSE(PlatformRegQueryString(nullptr, "Path", text, sizeof(text)));
  EXPECT_FALSE(PlatformRegQueryDword(nullptr, "GameVersion", &version));
  EXPECT_FALSE(PlatformRegSetDword(nullptr, "GameVersion", 1));
  PlatformRegClose(nullptr);
}

// --- Files and shell ----------------------------------------------------

// A written link's fields are read back by the complete scenario.
TEST(ShortcutTest, ExistingLinkIsReplacedAndBadPathsFail) {
  TempDir dir;
  std::string link = dir / "client.lnk";
  WriteWholeFile(link, std::string("not a link at all"));
  ASSERT_TRUE(PlatformWriteShortcut(link.c_str(), "C:\\zel\\zelclient.exe", "C:\\zel",
                                    "C:\\zel\\zelclient.exe", "Client"));
  // A shell link starts with its header size, 0x4C.
  std::vector<unsigned char> bytes = ReadWholeFile(link);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(0x4C000000u, bytes[0] << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]);
  // Into a missing folder, and longer than MAX_PATH.
  for (const std::string &bad :
       {dir / "no\\such\\folder\\client.lnk", "C:\\" + std::string(300, 'a') + ".lnk"}) {
    EXPECT_FALSE(PlatformWriteShortcut(bad.c_str(), "C:\\x.exe", "C:\\", "C:\\x.exe", "x"));
  }
}

TEST(StartProgramTest, ProgramStartsWithoutWaiting) {
  TempDir dir;
  std::string marker = dir / "started.txt";
  std::string command = "cmd.exe /c echo started> \"" + marker + "\"";
  PlatformStartProgram(command.c_str());
  for (int i = 0; i < 200 && !PathExists(marker); ++i) Sleep(50);
  EXPECT_TRUE(PathExists(marker));
  PlatformStartProgram("C:\\no\\such\\installer.exe");  // silent
}

// --- Windows on the desktop ---------------------------------------------

struct DialogState {
  DWORD workerThread = 0;
  bool found = false;
  bool hasSystemMenu = true;
  bool hasCaption = false;
  RECT client = {};
  bool workDone = false;
};

void InspectDialog(void *arg) {
  DialogState *state = static_cast<DialogState *>(arg);
  state->workerThread = GetCurrentThreadId();
  HWND dialog = nullptr;
  for (int i = 0; i < 100 && dialog == nullptr; ++i) {
    dialog = FindWindowA("#32770", "Vask Patch Test");
    if (dialog == nullptr) Sleep(20);
  }
  if (dialog != nullptr) {
    state->found = true;
    LONG style = GetWindowLongA(dialog, GWL_STYLE);
    state->hasSystemMenu = (style & WS_SYSMENU) != 0;
    state->hasCaption = (style & WS_CAPTION) == WS_CAPTION;
    GetClientRect(dialog, &state->client);
  }
  Sleep(200);  // the dialog must wait for the work, however long
  state->workDone = true;
}

// Its caption, text and bar are read by the copy scenarios; here its frame
// and that it waits for a worker on another thread.
TEST(ProgressDialogTest, FrameAndWorkerThread) {
  DialogState state;
  ASSERT_TRUE(PlatformRunProgressDialog("Vask Patch Test", "Copying files", InspectDialog, &state));
  EXPECT_TRUE(state.workDone);
  EXPECT_NE(GetCurrentThreadId(), state.workerThread);
  ASSERT_TRUE(state.found);
  EXPECT_FALSE(state.hasSystemMenu);
  EXPECT_TRUE(state.hasCaption);
  // 172 x 44 dialog units of an 8-point font: wider than high, roughly 4:1.
  LONG width = state.client.right - state.client.left;
  LONG height = state.client.bottom - state.client.top;
  EXPECT_GT(width, 3 * height);
  EXPECT_LT(width, 5 * height);
  EXPECT_EQ(nullptr, FindWindowA("#32770", "Vask Patch Test"));
}

void NoWork(void *arg) { *static_cast<int *>(arg) += 1; }

TEST(ProgressDialogTest, EmptyWorkClosesAtOnce) {
  int runs = 0;
  EXPECT_TRUE(PlatformRunProgressDialog("Vask Patch Test", "", NoWork, &runs));
  EXPECT_EQ(1, runs);
}

INT_PTR CALLBACK IdleDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST(ProgressDialogTest, DefaultTextIsInTheResource) {
  HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kProgressDialogId),
                                   nullptr, IdleDialogProc, 0);
  ASSERT_NE(nullptr, dialog);
  char text[256];
  GetWindowTextA(dialog, text, sizeof(text));
  EXPECT_STREQ("Vask Patch", text);
  GetDlgItemTextA(dialog, kProgressTextId, text, sizeof(text));
  EXPECT_STREQ("Updating VASK. Please, wait...", text);
  DestroyWindow(dialog);
}

// The icon group holds a 32 x 32 and a 16 x 16 image.
TEST(ResourcesTest, IconGroupHasBothSizes) {
  HINSTANCE module = GetModuleHandleA(nullptr);
  for (int size : {32, 16}) {
    HICON icon =
        static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(102), IMAGE_ICON, size, size, 0));
    ASSERT_NE(nullptr, icon) << size;
    ICONINFO info;
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap;
    ASSERT_NE(0, GetObjectA(info.hbmColor, sizeof(bitmap), &bitmap));
    EXPECT_EQ(size, bitmap.bmWidth);
    EXPECT_EQ(size, bitmap.bmHeight);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
}

std::string ResourceText(LPCSTR name, LPCSTR type) {
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC found = FindResourceA(module, name, type);
  if (found == nullptr) return std::string();
  HGLOBAL loaded = LoadResource(module, found);
  const char *bytes = static_cast<const char *>(LockResource(loaded));
  return std::string(bytes, SizeofResource(module, found));
}

TEST(ResourcesTest, ManifestAndVersionBlockAreThere) {
  std::string manifest = ResourceText(MAKEINTRESOURCEA(1), RT_MANIFEST);
  for (const char *part : {"level=\"requireAdministrator\"",
                           "name=\"Microsoft.Windows.Common-Controls\"", "supportedOS"})
    EXPECT_NE(std::string::npos, manifest.find(part)) << part;
  // The version block's texts are UTF-16; look for the name as such.
  std::string version = ResourceText(MAKEINTRESOURCEA(1), RT_VERSION), wide;
  for (char c : std::string("VaskPatch.exe")) wide += std::string(1, c) + '\0';
  EXPECT_NE(std::string::npos, version.find(wide));
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
