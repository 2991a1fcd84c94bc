// The patcher's platform layer on Win32: the game's registry key, message
// boxes, the modal progress dialog (resource 101) with its worker thread, the
// single-instance mutex, the Start-menu Programs folder, shell links and
// starting the installer. The game is a 32-bit program, so its key lives in
// the 32-bit view of HKEY_LOCAL_MACHINE; the calls ask for that view, so that
// a 64-bit build of the patcher reads and writes the same key.
#include "patcher/platform_win32.h"

#include <cstdlib>
#include <cstring>

#include "core/endian.h"
#include "core/win32.h"
#include "patcher/platform.h"
// The shell's headers come after the tamed Windows headers above.
#include <commctrl.h>
#include <objidl.h>
#include <shlobj.h>

namespace {

const char kGameKey[] = "SOFTWARE\\Lorvenest\\Vask";

// Posted by the worker when its work is done: the dialog is ended on the
// thread that owns it, and only after the whole walk.
const UINT kWorkDoneMessage = WM_APP + 1;

// Copies `text` into `size` bytes; false (and nothing copied) when it does
// not fit with its terminating zero.
bool CopyFitting(char *buffer, u32 size, const char *text) {
  size_t length = strlen(text);
  if (size == 0 || length >= size) return false;
  memcpy(buffer, text, length + 1);
  return true;
}

HKEY ToHkey(PlatformRegKey *key) { return reinterpret_cast<HKEY>(key); }

// The bar of the dialog now up, and where it stands; set on the main thread
// before the worker starts, then used by the worker alone.
HWND sProgressBar;
int sProgressPosition;

// What the progress dialog and its worker share. Lives on the stack of
// PlatformRunProgressDialog, which outlives both.
struct ProgressJob {
  const char *caption;
  const char *text;
  void (*work)(void *);
  void *arg;
  HWND window;
  HANDLE thread;
  bool started;
};

DWORD WINAPI ProgressWorker(LPVOID param) {
  ProgressJob *job = static_cast<ProgressJob *>(param);
  job->work(job->arg);
  PostMessageA(job->window, kWorkDoneMessage, 0, 0);
  return 0;
}

// Sets the texts and starts the worker when the dialog comes up; ends the
// dialog when the worker says it is done. The user has no way to close it.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ProgressJob *job = reinterpret_cast<ProgressJob *>(lParam);
    SetWindowTextA(window, job->caption);
    SetDlgItemTextA(window, kProgressTextId, job->text);
    sProgressBar = GetDlgItem(window, kProgressBarId);
    sProgressPosition = 0;
    SendMessageA(sProgressBar, PBM_SETRANGE32, 0, kProgressBarRange);
    job->window = window;
    job->thread = CreateThread(nullptr, 0, ProgressWorker, job, 0, nullptr);
    if (job->thread == nullptr) {
      EndDialog(window, 0);
    } else {
      job->started = true;
    }
    // No keyboard focus is set: the dialog has nothing to focus.
    return FALSE;
  }
  if (message == kWorkDoneMessage) {
    EndDialog(window, 1);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

bool ParseQuotedProgramPath(const char *commandLine, char *buffer, u32 size) {
  if (commandLine == nullptr || commandLine[0] != '"') return false;
  const char *start = commandLine + 1;
  const char *end = strchr(start, '"');
  if (end == nullptr || end == start) return false;
  size_t length = static_cast<size_t>(end - start);
  if (size == 0 || length >= size) return false;
  memcpy(buffer, start, length);
  buffer[length] = '\0';
  return true;
}

bool PlatformGetExecutablePath(char *buffer, u32 size) {
  if (ParseQuotedProgramPath(GetCommandLineA(), buffer, size)) return true;
  // Started without the shell's quoted form (or with a path that does not
  // fit): the module's own file name is the same file.
  if (size == 0) return false;
  DWORD length = GetModuleFileNameA(nullptr, buffer, size);
  return length != 0 && length < size;
}

PlatformRegKey *PlatformRegOpen(bool forWriting) {
  HKEY key = nullptr;
  REGSAM access = (forWriting ? KEY_SET_VALUE : KEY_READ) | KEY_WOW64_32KEY;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGameKey, 0, access, &key) !=
      ERROR_SUCCESS) {
    return nullptr;
  }
  return reinterpret_cast<PlatformRegKey *>(key);
}

bool PlatformRegQueryString(PlatformRegKey *key, const char *name, char *buffer,
                            u32 size) {
  if (key == nullptr || size == 0) return false;
  DWORD length = size;
  if (RegQueryValueExA(ToHkey(key), name, nullptr, nullptr,
                       reinterpret_cast<BYTE *>(buffer),
                       &length) != ERROR_SUCCESS) {
    return false;
  }
  // A string value usually carries its zero, but need not: terminate it
  // here, and refuse one that fills the buffer without room for it.
  if (length < size) {
    buffer[length] = '\0';
    return true;
  }
  return buffer[size - 1] == '\0';
}

bool PlatformRegQueryDword(PlatformRegKey *key, const char *name, u32 *value) {
  if (key == nullptr) return false;
  u8 bytes[4];
  DWORD length = sizeof(bytes);
  if (RegQueryValueExA(ToHkey(key), name, nullptr, nullptr, bytes, &length) !=
          ERROR_SUCCESS ||
      length != sizeof(bytes)) {
    return false;
  }
  *value = GetU32LE(bytes);
  return true;
}

bool PlatformRegSetDword(PlatformRegKey *key, const char *name, u32 value) {
  if (key == nullptr) return false;
  u8 bytes[4];
  PutU32LE(bytes, value);
  return RegSetValueExA(ToHkey(key), name, 0, REG_DWORD, bytes,
                        sizeof(bytes)) == ERROR_SUCCESS;
}

void PlatformRegClose(PlatformRegKey *key) {
  if (key != nullptr) RegCloseKey(ToHkey(key));
}

int PlatformCreateMutex(const char *name) {
  // The handle is never closed: the name must exist for as long as the
  // process runs.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) return -1;
  return GetLastError() == ERROR_ALREADY_EXISTS ? 0 : 1;
}

bool PlatformRunProgressDialog(const char *caption, const char *text,
                               void (*work)(void *), void *arg) {
  ProgressJob job = {caption, text, work, arg, nullptr, nullptr, false};
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  INT_PTR result = DialogBoxParamA(
      GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kProgressDialogId), nullptr,
      ProgressDialogProc, reinterpret_cast<LPARAM>(&job));
  if (job.thread != nullptr) {
    // The worker has posted its last message; let it finish returning so
    // that `job` outlives it.
    WaitForSingleObject(job.thread, INFINITE);
    CloseHandle(job.thread);
  }
  sProgressBar = nullptr;
  return job.started && result == 1;
}

void PlatformProgress(const char *item, u64 done, u64 total) {
  // The texts stay as they are; the bar moves, posted so that the worker
  // never waits for the dialog, and only when it has somewhere to go.
  if (sProgressBar == nullptr) return;
  int position = total == 0 || done >= total
                     ? kProgressBarRange
                     : static_cast<int>(done * kProgressBarRange / total);
  if (position == sProgressPosition) return;
  sProgressPosition = position;
  PostMessageA(sProgressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

bool PlatformGetProgramsFolder(char *buffer, u32 size) {
  LPITEMIDLIST list = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &list)) ||
      list == nullptr) {
    return false;
  }
  char path[MAX_PATH];
  BOOL found = SHGetPathFromIDListA(list, path);
  CoTaskMemFree(list);
  return found && CopyFitting(buffer, size, path);
}

const char *PlatformShortcutExtension() { return ".lnk"; }

bool PlatformWriteShortcut(const char *linkPath, const char *target,
                           const char *workingDir, const char *iconPath,
                           const char *description) {
  WCHAR widePath[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, MAX_PATH) == 0) {
    return false;  // does not fit in MAX_PATH
  }
  // COM is brought up around each link; a thread that already runs another
  // apartment model keeps it, and then it is not ours to shut down.
  HRESULT init = CoInitialize(nullptr);
  bool ok = false;
  IShellLinkA *link = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IShellLinkA,
                                 reinterpret_cast<void **>(&link)))) {
    IPersistFile *file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile,
                                       reinterpret_cast<void **>(&file)))) {
      link->SetWorkingDirectory(workingDir);
      link->SetPath(target);
      link->SetIconLocation(iconPath, 0);
      link->SetDescription(description);
      ok = SUCCEEDED(file->Save(widePath, TRUE));
      file->Release();
    }
    link->Release();
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return ok;
}

void PlatformStartProgram(const char *commandLine) {
  WinExec(commandLine, SW_SHOW);
}

void PlatformMakeWritable(const char *path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  }
}

bool PlatformReplaceFile(const char *from, const char *to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}
