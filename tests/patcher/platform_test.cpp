// The POSIX platform layer, on real files, processes and terminals.
#include "patcher/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "support/temp_dir.h"

namespace {

const char kKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]";

// Sets (or, with null, removes) an environment variable for one scope.
struct ScopedEnv {
  ScopedEnv(const char *n, const char *value) : name(n), had(getenv(n)), old(had ? getenv(n) : "") {
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { had ? setenv(name, old.c_str(), 1) : unsetenv(name); }
  const char *name;
  bool had;
  std::string old;
};

struct ChildRun {
  int code;  // exit status, -1 when the child did not exit normally
  std::string out;
};

// Runs fn in a child process whose standard input reads `input` and whose
// standard output goes to a file; the child exits with fn's result.
ChildRun RunChild(const std::string &input, const std::function<int()> &fn) {
  TempDir dir;
  WriteWholeFile(dir / "in", input);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open((dir / "in").c_str(), O_RDONLY);
    int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    int code = fn();
    fflush(stdout);
    _exit(code & 255);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeText(dir / "out")};
}

// ---- Message box ----

TEST(MessageBoxTest, AnswerIsTheFirstLetterOfAButtonAskedUntilGiven) {
  const char *kAri = "[A]bort/[R]etry/[I]gnore\n";
  struct Case {
    const char *input, *text, *caption;
    u32 type;
    int answer;
    std::string out;  // empty when not checked
  } cases[] = {
      {"yes please\n", "Install the patch?\nNow.", "Vask Patch", 68, kIdYes,
       "== Vask Patch ==\nInstall the patch?\nNow.\n[Y]es/[N]o\n"},
      {"  N\r\n", "", "", 68, kIdNo, ""},
      {"\n", "Done.", "Vask", kMbOk, kIdOk, "== Vask ==\nDone.\n[O]K\n"},
      {"o\n", "", "", 16, kIdOk, ""},
      // Unknown answers ask again.
      {"x\n\nr\n", "Failed", "Error", 34, kIdRetry,
       std::string("== Error ==\nFailed\n") + kAri + kAri + kAri},
      {"i", "", "", 34, kIdIgnore, ""},  // a last line without a line feed
      {"A\n", "", "", 34, kIdAbort, ""},
      // The end of the input answers 0.
      {"", "?", "", kMbYesNo, 0, ""},
      {"maybe\n", "?", "", kMbYesNo, 0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.input);
    ChildRun r = RunChild(c.input, [&] { return PlatformMessageBox(c.text, c.caption, c.type); });
    EXPECT_EQ(c.answer, r.code);
    EXPECT_EQ(c.out.empty() ? r.out : c.out, r.out);
  }
}

// ---- Progress dialog ----

// The work runs once, on another thread; the run returns 0 when it did.
pthread_t gMain;
int gRuns;
void CopySomeFiles(void *) {
  gRuns += !pthread_equal(gMain, pthread_self());
  PlatformProgress(nullptr, 0, 100000);
  PlatformProgress(nullptr, 30000, 100000);
  PlatformProgress("PACKS\\DATA2.WDT", 30000, 100000);
  PlatformProgress("PACKS\\DATA2.WDT", 100000, 100000);
  PlatformProgress("EMPTY.TXT", 100000, 100000);
}
int ShowProgress() {
  gMain = pthread_self(), gRuns = 0;
  return PlatformRunProgressDialog("Vask Patch", "Updating...", CopySomeFiles, nullptr) && gRuns == 1 ? 0 : 1;
}

TEST(ProgressDialogTest, RunsTheWorkOnAnotherThreadWithOneLinePerFile) {
  ChildRun r = RunChild("", ShowProgress);
  EXPECT_EQ(0, r.code);
  EXPECT_EQ("== Vask Patch ==\nUpdating...\n[  0%] checking the patch (0 of 100000 bytes)\n"
            "[ 30%] PACKS\\DATA2.WDT (30000 of 100000 bytes)\n[100%] EMPTY.TXT (100000 of 100000 bytes)\n",
            r.out);
}

TEST(ProgressDialogTest, OnATerminalOneLineIsRedrawn) {
  int master = -1;
  fflush(nullptr);
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int code = ShowProgress() || PlatformMessageBox("After", "Box", kMbOk) != kIdOk;
    fflush(stdout);
    _exit(code);
  }
  std::string out;
  char buffer[512];
  bool answered = false;
  for (;;) {
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
    if (!answered && out.find("[O]K") != std::string::npos) answered = write(master, "\n", 1) == 1;
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  // The shorter line blanks what is left of the longer one.
  for (const char *line : {"\r[--------------------]   0%  0 of 100000 bytes  checking the patch",
                           "\r[######--------------]  30%  30000 of 100000 bytes  PACKS\\DATA2.WDT",
                           "\r[####################] 100%  100000 of 100000 bytes  EMPTY.TXT   ",
                           "== Box =="})
    EXPECT_NE(std::string::npos, out.find(line)) << line << " in\n" << out;
}

// ---- Mutex ----

TEST(MutexTest, ANameHeldByAnotherProcessAlreadyExists) {
  TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path().c_str());
  std::string name = "Vask_Test_" + std::to_string(getpid());
  int toParent[2], toChild[2];
  ASSERT_EQ(0, pipe(toParent));
  ASSERT_EQ(0, pipe(toChild));
  fflush(nullptr);
  pid_t holder = fork();
  if (holder == 0) {
    char r = static_cast<char>(PlatformCreateMutex(name.c_str()));
    (void)!write(toParent[1], &r, 1);
    (void)!read(toChild[0], &r, 1);
    _exit(0);
  }
  char held = 0;
  ASSERT_EQ(1, read(toParent[0], &held, 1));
  EXPECT_EQ(1, held);
  EXPECT_TRUE(PathExists(tmp / (name + ".lock")));
  EXPECT_EQ(0, PlatformCreateMutex(name.c_str()));
  // Once the holder has ended, the name is free again.
  ASSERT_EQ(1, write(toChild[1], "x", 1));
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(1, PlatformCreateMutex(name.c_str()));
  EXPECT_EQ(0, RunChild("", [&] { return PlatformCreateMutex(name.c_str()); }).code);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
  // Slashes in the name stay in the temporary folder.
  EXPECT_EQ(1, PlatformCreateMutex("a/b"));
  EXPECT_TRUE(PathExists(tmp / "a_b.lock"));
  EXPECT_EQ(-1, PlatformCreateMutex(std::string(5000, 'n').c_str())) << "a name that cannot fit";
}

// ---- Registry ----

class RegistryTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string file = dir / "registry.reg";
  ScopedEnv env{"VASKPATCH_REGISTRY", file.c_str()};
  const std::string sample = std::string("REGEDIT4\r\n\r\n") + kKey +
                             "\r\n\"Path\"=\"/games/My \\\"Vask\\\"\\\\\"\r\n"
                             "\"GameVersion\"=dword:0001000a\r\n\"Language\"=\"English\"\r\n"
                             "\"Short\"=\"Abc\"\r\n\"Big\"=dword:ff000001\r\n\r\n[HKEY_CURRENT_"
                             "USER\\X]\r\n\"A\"=hex:01\r\n";
};

TEST_F(RegistryTest, MissingFileOrKeyIsAMissingKey) {
  EXPECT_EQ(nullptr, PlatformRegOpen(false));
  WriteWholeFile(file, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest]\r\n");
  EXPECT_EQ(nullptr, PlatformRegOpen(false));
  WriteWholeFile(file, "garbage");
  EXPECT_EQ(nullptr, PlatformRegOpen(true));
  // Without the variable the file is in the home folder.
  ScopedEnv noFile("VASKPATCH_REGISTRY", nullptr);
  ScopedEnv home("HOME", dir.path().c_str());
  ASSERT_EQ(0, mkdir((dir / ".vaskpatch").c_str(), 0700));
  WriteWholeFile(dir / ".vaskpatch/registry.reg", sample);
  PlatformRegKey *key = PlatformRegOpen(false);
  ASSERT_NE(nullptr, key);
  PlatformRegClose(key);
}

TEST_F(RegistryTest, SettingTheVersionRewritesOneLineInPlace) {
  WriteWholeFile(file, sample);
  ASSERT_EQ(0, chmod(file.c_str(), 0640));
  PlatformRegKey *key = PlatformRegOpen(false);
  ASSERT_NE(nullptr, key);
  EXPECT_FALSE(PlatformRegSetDword(key, "GameVersion", 1)) << "opened for reading";
  PlatformRegClose(key);
  EXPECT_EQ(sample, ReadWholeText(file));
  key = PlatformRegOpen(true);
  ASSERT_NE(nullptr, key);
  ASSERT_TRUE(PlatformRegSetDword(key, "GameVersion", 0x10003));
  std::string expected = sample;
  expected.replace(expected.find("0001000a"), 8, "00010003");
  EXPECT_EQ(expected, ReadWholeText(file));
  PlatformRegClose(key);
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777u);
  int entries = 0;
  for (auto &e : std::filesystem::directory_iterator(dir.path())) entries += e.is_regular_file();
  EXPECT_EQ(1, entries) << "no temporary file left behind";
  // Through a link, the file it names is edited and the link stays.
  ASSERT_EQ(0, rename(file.c_str(), (dir / "real.reg").c_str()));
  ASSERT_EQ(0, symlink((dir / "real.reg").c_str(), file.c_str()));
  key = PlatformRegOpen(true);
  ASSERT_NE(nullptr, key);
  ASSERT_TRUE(PlatformRegSetDword(key, "GameVersion", 2));
  PlatformRegClose(key);
  EXPECT_TRUE(lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_NE(std::string::npos, ReadWholeText(dir / "real.reg").find("dword:00000002"));
}

// ---- Programs folder and shortcuts ----

TEST(ProgramsFolderTest, FollowsTheEnvironment) {
  TempDir dir;
  char buffer[4096];
  {
    ScopedEnv programs("VASKPATCH_PROGRAMS", dir.path().c_str());
    ASSERT_TRUE(PlatformGetProgramsFolder(buffer, sizeof buffer));
    EXPECT_EQ(dir.path(), buffer);
    EXPECT_FALSE(PlatformGetProgramsFolder(buffer, 4));
  }
  {
    ScopedEnv programs("VASKPATCH_PROGRAMS", (dir / "missing").c_str());
    EXPECT_FALSE(PlatformGetProgramsFolder(buffer, sizeof buffer));
  }
  ScopedEnv programs("VASKPATCH_PROGRAMS", nullptr);
  ScopedEnv home("HOME", (dir / "home").c_str());
  {
    ScopedEnv data("XDG_DATA_HOME", (dir / "data").c_str());
    ASSERT_TRUE(PlatformGetProgramsFolder(buffer, sizeof buffer));
    EXPECT_EQ(dir / "data/applications", buffer);
    EXPECT_TRUE(std::filesystem::is_directory(buffer));
  }
  for (const char *data : {static_cast<const char *>(nullptr), "relative/data"}) {
    ScopedEnv xdg("XDG_DATA_HOME", data);
    ASSERT_TRUE(PlatformGetProgramsFolder(buffer, sizeof buffer));
    EXPECT_EQ(dir / "home/.local/share/applications", buffer);
    EXPECT_TRUE(std::filesystem::is_directory(buffer));
  }
}

// Host paths found without regard to case; what the format reserves escaped;
// 8-bit text made UTF-8 unless it already is.
TEST(ShortcutTest, WritesADesktopEntry) {
  TempDir dir;
  std::filesystem::create_directories(dir / "Game Dir/ZEL");
  ASSERT_EQ(0, mkdir((dir / "vask").c_str(), 0700));
  std::string game = dir.path() + "game dir\\", exe = game + "zel\\zelclient.exe";
  WriteWholeFile(dir / "vask/Zel Client.desktop", "old");
  ASSERT_TRUE(PlatformWriteShortcut((dir.path() + "VASK\\Zel Client.desktop").c_str(), exe.c_str(),
                                    (game + "zel").c_str(), exe.c_str(), "Zel Client"));
  std::string program = dir.path() + "Game Dir/ZEL/zelclient.exe";
  EXPECT_EQ("[Desktop Entry]\nType=Application\nName=Zel Client\nComment=Zel Client\nExec=\"" + program +
                "\"\nPath=" + dir.path() + "Game Dir/ZEL\nIcon=" + program + "\n",
            ReadWholeText(dir / "vask/Zel Client.desktop"));
  std::string link = dir / "x.desktop";
  ASSERT_TRUE(PlatformWriteShortcut(link.c_str(), "/opt/a$b%c", "/opt", "/opt/i.png", "Caf\xe9\nTwo\\"));
  EXPECT_EQ("[Desktop Entry]\nType=Application\nName=Caf\xc3\xa9\\nTwo\\\\\nComment=Caf\xc3\xa9\\nTwo\\\\\n"
            "Exec=\"/opt/a\\\\$b%%c\"\nPath=/opt\nIcon=/opt/i.png\n",
            ReadWholeText(link));
  ASSERT_TRUE(PlatformWriteShortcut(link.c_str(), "/opt/plain", "/opt", "", "Caf\xc3\xa9"));
  EXPECT_EQ("[Desktop Entry]\nType=Application\nName=Caf\xc3\xa9\nComment=Caf\xc3\xa9\nExec=/opt/plain\n"
            "Path=/opt\nIcon=\n",
            ReadWholeText(link));
  EXPECT_FALSE(PlatformWriteShortcut((dir / "missing/x.desktop").c_str(), "/a", "/", "", "x"));
}

}  // namespace
