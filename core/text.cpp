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

bool IsSafeRelativePath(const char *path) {
  if (!path || !*path) return false;
  const char *component = path;
  for (const char *p = path;; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == 0 || c == '\\' || c == '/') {
      size_t n = static_cast<size_t>(p - component);
      if (n == 0) return false;
      if (n == 1 && component[0] == '.') return false;
      if (n == 2 && component[0] == '.' && component[1] == '.') return false;
      if (c == 0) return true;
      component = p + 1;
      continue;
    }
    if (c < 0x20 || c == ':' || c == 0x7F) return false;
  }
}
