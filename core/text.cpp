#include <cstring>

#include "core/text.h"

bool CopyText(char *out, u32 size, const char *text) {
  if (size == 0) return false;
  out[0] = 0;
  return AppendText(out, size, text);
}

bool AppendText(char *out, u32 size, const char *text) {
  size_t have = strnlen(out, size);
  if (have >= size) return false;
  size_t add = strlen(text);
  if (add >= size - have) return false;
  memcpy(out + have, text, add + 1);
  return true;
}

bool AppendSeparator(char *out, u32 size) {
  size_t n = strnlen(out, size);
  if (n == 0 || out[n - 1] == '\\') return true;
  return AppendText(out, size, "\\");
}

namespace {

char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Windows drops trailing dots and spaces from a name, so ". ." or ".. "
// would name the folder itself or its parent there.
bool IsOnlyDotsAndSpaces(const char *name, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (name[i] != '.' && name[i] != ' ') return false;
  return true;
}

// CON, NUL, COM1 ... name devices on Windows whatever their extension.
bool IsDeviceName(const char *name, size_t n) {
  size_t base = 0;
  while (base < n && name[base] != '.') base++;
  while (base > 0 && name[base - 1] == ' ') base--;
  char b[5] = {0};
  if (base < 3 || base > 4) return false;
  for (size_t i = 0; i < base; i++) b[i] = FoldAscii(name[i]);
  if (base == 3)
    return !strcmp(b, "CON") || !strcmp(b, "PRN") || !strcmp(b, "AUX") ||
           !strcmp(b, "NUL");
  return (!strncmp(b, "COM", 3) || !strncmp(b, "LPT", 3)) && b[3] >= '1' &&
         b[3] <= '9';
}

}  // namespace

bool IsSafeRelativePath(const char *path) {
  if (!path || !*path) return false;
  const char *component = path;
  for (const char *p = path;; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == 0 || c == '\\' || c == '/') {
      size_t n = static_cast<size_t>(p - component);
      if (IsOnlyDotsAndSpaces(component, n) || IsDeviceName(component, n))
        return false;
      if (c == 0) return true;
      component = p + 1;
      continue;
    }
    if (c < 0x20 || c == ':' || c == 0x7F) return false;
  }
}
