#include "patcher/regedit4.h"

#include <string.h>

#include "core/endian.h"

namespace {

const char kHeader4[] = "REGEDIT4";
const char kHeader5[] = "Windows Registry Editor Version 5.00";

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One physical line: content [start, end) without its CR LF or LF; the next
// line starts at `next` (== end when the text ends without a line feed).
struct Line {
  u32 start, end, next;
};

Line PhysicalLine(const char *t, u32 size, u32 pos) {
  Line l;
  l.start = pos;
  u32 i = pos;
  while (i < size && t[i] != '\n') ++i;
  l.next = i < size ? i + 1 : size;
  // A CR before the line feed, or at the very end, belongs to the line end.
  if (i > pos && t[i - 1] == '\r') --i;
  l.end = i;
  return l;
}

// True when [a, b) holds `word` (case-insensitive) followed only by blanks.
bool SpanIsWord(const char *t, u32 a, u32 b, const char *word) {
  u32 n = static_cast<u32>(strlen(word));
  while (b > a && IsBlank(t[b - 1])) --b;
  if (b - a != n) return false;
  for (u32 i = 0; i < n; ++i)
    if (Lower(t[a + i]) != Lower(word[i])) return false;
  return true;
}

// True when [a, b) starts with `prefix`, case-insensitive.
bool SpanStarts(const char *t, u32 a, u32 b, const char *prefix) {
  u32 n = static_cast<u32>(strlen(prefix));
  if (b - a < n) return false;
  for (u32 i = 0; i < n; ++i)
    if (Lower(t[a + i]) != Lower(prefix[i])) return false;
  return true;
}

// The header line: where the body starts (0 when the text is no export) and
// the line end it uses.
u32 ParseHeader(const char *t, u32 size, const char **eol) {
  u32 p = 0;
  if (size >= 3 && static_cast<u8>(t[0]) == 0xEF &&
      static_cast<u8>(t[1]) == 0xBB && static_cast<u8>(t[2]) == 0xBF)
    p = 3;
  Line l = PhysicalLine(t, size, p);
  if (!SpanIsWord(t, l.start, l.end, kHeader4) &&
      !SpanIsWord(t, l.start, l.end, kHeader5))
    return 0;
  if (eol)
    *eol = (l.next > l.end + 1) ? "\r\n" : (l.next > l.end ? "\n" : "\r\n");
  return l.next > 0 ? l.next : size;
}

enum EntryType { kBlankLine, kSectionLine, kValueLine, kOtherLine };

// One logical line: a value line of hex data takes in the lines it goes on
// to. Content runs [start, end) (end without the last line's CR LF); the
// next entry starts at `next`.
struct Entry {
  u32 start, end, next;
  EntryType type;
  u32 nameStart, nameEnd;  // key of a section; escaped name of a value
  u32 data;                // value: first byte after '=' and blanks
};

// True when a value line of hex data ends in a backslash, so that the line
// after it, if any, belongs to it.
bool GoesOn(const char *t, const Entry &e) {
  if (e.type != kValueLine || !SpanStarts(t, e.data, e.end, "hex")) return false;
  u32 b = e.end;
  while (b > e.data && IsBlank(t[b - 1])) --b;
  return b > e.data && t[b - 1] == '\\';
}

Entry NextEntry(const char *t, u32 size, u32 pos) {
  Line l = PhysicalLine(t, size, pos);
  Entry e;
  e.start = l.start;
  e.end = l.end;
  e.next = l.next;
  e.type = kOtherLine;
  e.nameStart = e.nameEnd = e.data = l.end;
  u32 p = l.start;
  while (p < l.end && IsBlank(t[p])) ++p;
  if (p == l.end) {
    e.type = kBlankLine;
    return e;
  }
  if (t[p] == '[') {
    u32 q = l.end;
    while (q > p + 1 && t[q - 1] != ']') --q;
    if (q > p + 1) {
      e.type = kSectionLine;
      e.nameStart = p + 1;
      e.nameEnd = q - 1;
    }
    return e;
  }
  u32 j;
  if (t[p] == '"') {
    u32 i = p + 1;
    while (i < l.end && t[i] != '"') i += (t[i] == '\\') ? 2 : 1;
    if (i >= l.end) return e;
    e.nameStart = p + 1;
    e.nameEnd = i;
    j = i + 1;
  } else if (t[p] == '@') {
    e.nameStart = e.nameEnd = p + 1;
    j = p + 1;
  } else {
    return e;
  }
  while (j < l.end && IsBlank(t[j])) ++j;
  if (j >= l.end || t[j] != '=') return e;
  ++j;
  while (j < l.end && IsBlank(t[j])) ++j;
  e.type = kValueLine;
  e.data = j;
  // Binary data goes on while a line ends in a backslash.
  while (GoesOn(t, e) && e.next < size && e.next != e.end) {
    Line more = PhysicalLine(t, size, e.next);
    e.end = more.end;
    e.next = more.next;
  }
  return e;
}

// Escaped name [a, b) equals `name`, ignoring ASCII case.
bool NameEquals(const char *t, u32 a, u32 b, const char *name) {
  u32 i = a;
  while (i < b) {
    char c = t[i];
    if (c == '\\' && i + 1 < b) {
      c = t[i + 1];
      i += 2;
    } else {
      ++i;
    }
    if (*name == 0 || Lower(c) != Lower(*name)) return false;
    ++name;
  }
  return *name == 0;
}

bool KeyEquals(const char *t, u32 a, u32 b, const char *key) {
  u32 n = static_cast<u32>(strlen(key));
  if (b - a != n) return false;
  for (u32 i = 0; i < n; ++i)
    if (Lower(t[a + i]) != Lower(key[i])) return false;
  return true;
}

bool OnlyBlanks(const char *t, u32 a, u32 b) {
  for (; a < b; ++a)
    if (!IsBlank(t[a])) return false;
  return true;
}

// Data sink that counts everything and stores what fits.
struct Sink {
  u8 *out;
  u32 capacity;
  u64 size;
  void Put(u8 b) {
    if (size < capacity) out[size] = b;
    ++size;
  }
};

enum Decoded {
  kDecodedBad,
  kDecodedRemoved,
  kDecodedString,
  kDecodedDword,
  kDecodedBinary
};

Decoded DecodeValue(const char *t, const Entry &e, Sink *sink) {
  u32 i = e.data, end = e.end;
  if (i >= end) return kDecodedBad;
  if (t[i] == '"') {
    for (++i;;) {
      if (i >= end) return kDecodedBad;
      char c = t[i];
      if (c == '"') break;
      if (c == '\\') {
        if (i + 1 >= end) return kDecodedBad;
        c = t[i + 1];
        i += 2;
      } else {
        ++i;
      }
      sink->Put(static_cast<u8>(c));
    }
    if (!OnlyBlanks(t, i + 1, end)) return kDecodedBad;
    sink->Put(0);
    return kDecodedString;
  }
  if (t[i] == '-')
    return OnlyBlanks(t, i + 1, end) ? kDecodedRemoved : kDecodedBad;
  if (SpanStarts(t, i, end, "dword:")) {
    i += 6;
    u32 v = 0, digits = 0;
    for (; i < end && HexDigit(t[i]) >= 0; ++i, ++digits) {
      if (digits == 8) return kDecodedBad;
      v = (v << 4) | static_cast<u32>(HexDigit(t[i]));
    }
    if (digits == 0 || !OnlyBlanks(t, i, end)) return kDecodedBad;
    u8 le[4];
    PutU32LE(le, v);
    for (u8 b : le) sink->Put(b);
    return kDecodedDword;
  }
  if (!SpanStarts(t, i, end, "hex")) return kDecodedBad;
  i += 3;
  if (i < end && t[i] == '(') {
    u32 digits = 0;
    for (++i; i < end && HexDigit(t[i]) >= 0; ++i) ++digits;
    if (digits == 0 || digits > 8 || i >= end || t[i] != ')')
      return kDecodedBad;
    ++i;
  }
  if (i >= end || t[i] != ':') return kDecodedBad;
  ++i;
  bool needComma = false;
  while (i < end) {
    char c = t[i];
    if (IsBlank(c) || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '\\') {
      // Only blanks may follow on this line.
      for (++i; i < end && (IsBlank(t[i]) || t[i] == '\r'); ++i) {
      }
      if (i < end && t[i] != '\n') return kDecodedBad;
    } else if (c == ',') {
      if (!needComma) return kDecodedBad;
      needComma = false;
      ++i;
    } else {
      int hi = HexDigit(c);
      if (hi < 0 || needComma) return kDecodedBad;
      ++i;
      int lo = i < end ? HexDigit(t[i]) : -1;
      u32 b = static_cast<u32>(hi);
      if (lo >= 0) {
        b = (b << 4) | static_cast<u32>(lo);
        ++i;
      }
      sink->Put(static_cast<u8>(b));
      needComma = true;
    }
  }
  return kDecodedBinary;
}

// Text sink that counts everything and stores what fits.
struct TextSink {
  char *out;
  u64 capacity;
  u64 size;
  void Put(const char *p, u64 n) {
    if (out && n && size + n <= capacity) memcpy(out + size, p, n);
    size += n;
  }
  void Put(const char *s) { Put(s, strlen(s)); }
};

void PutDwordLine(TextSink *s, const char *name, u32 value) {
  if (*name == 0) {
    s->Put("@");
  } else {
    s->Put("\"");
    for (const char *p = name; *p; ++p) {
      if (*p == '\\' || *p == '"') s->Put("\\");
      s->Put(p, 1);
    }
    s->Put("\"");
  }
  static const char kHex[] = "0123456789abcdef";
  char digits[8];
  for (int k = 0; k < 8; ++k) digits[k] = kHex[(value >> (28 - 4 * k)) & 15];
  s->Put("=dword:");
  s->Put(digits, 8);
}

}  // namespace

bool RegTextIsExport(const char *text, u32 size) {
  return text && ParseHeader(text, size, nullptr) != 0;
}

bool RegTextHasKey(const char *text, u32 size, const char *key) {
  if (!text || !key) return false;
  u32 pos = ParseHeader(text, size, nullptr);
  if (pos == 0) return false;
  while (pos < size) {
    Entry e = NextEntry(text, size, pos);
    if (e.type == kSectionLine && KeyEquals(text, e.nameStart, e.nameEnd, key))
      return true;
    pos = e.next;
  }
  return false;
}

RegValueKind RegTextGetValue(const char *text, u32 size, const char *key,
                             const char *name, u8 *data, u32 capacity,
                             u32 *dataSize) {
  if (dataSize) *dataSize = 0;
  if (!text || !key || !name) return kRegMissing;
  u32 pos = ParseHeader(text, size, nullptr);
  if (pos == 0) return kRegMissing;
  bool inKey = false, found = false;
  Entry last{};
  while (pos < size) {
    Entry e = NextEntry(text, size, pos);
    pos = e.next;
    if (e.type == kSectionLine) {
      inKey = KeyEquals(text, e.nameStart, e.nameEnd, key);
    } else if (inKey && e.type == kValueLine &&
               NameEquals(text, e.nameStart, e.nameEnd, name)) {
      Sink probe{nullptr, 0, 0};
      Decoded d = DecodeValue(text, e, &probe);
      if (d == kDecodedRemoved) {
        found = false;
      } else if (d != kDecodedBad) {
        found = true;
        last = e;
      }
    }
  }
  if (!found) return kRegMissing;
  Sink sink{data, data ? capacity : 0, 0};
  Decoded d = DecodeValue(text, last, &sink);
  // The data of a text of at most 4 GiB fits 32 bits but for a string's NUL.
  if (sink.size > 0xFFFFFFFFu) return kRegMissing;
  if (dataSize) *dataSize = static_cast<u32>(sink.size);
  switch (d) {
    case kDecodedString:
      return kRegString;
    case kDecodedDword:
      return kRegDword;
    case kDecodedBinary:
      return kRegBinary;
    default:
      return kRegMissing;
  }
}

bool RegTextSetDword(const char *text, u32 size, const char *key,
                     const char *name, u32 value, char *out, u32 capacity,
                     u32 *outSize) {
  if (outSize) *outSize = 0;
  if (!text || !key || !name) return false;
  const char *eol = "\r\n";
  u32 pos = ParseHeader(text, size, &eol);
  if (pos == 0) return false;

  // Find the last line of the value, else the end of the key's last
  // section (after its last line that is not blank).
  bool inKey = false, haveValue = false, haveSection = false, lastBlank = false;
  Entry value_{};
  u32 sectionEnd = 0, sectionLastStart = 0;
  bool sectionEndHasEol = true, sectionLastGoesOn = false;
  while (pos < size) {
    Entry e = NextEntry(text, size, pos);
    pos = e.next;
    lastBlank = e.type == kBlankLine;
    if (e.type == kSectionLine)
      inKey = KeyEquals(text, e.nameStart, e.nameEnd, key);
    if (!inKey || e.type == kBlankLine) continue;
    if (e.type == kValueLine &&
        NameEquals(text, e.nameStart, e.nameEnd, name)) {
      haveValue = true;
      value_ = e;
    }
    haveSection = true;
    sectionEnd = e.next;
    sectionEndHasEol = e.next > e.end && text[e.next - 1] == '\n';
    sectionLastStart = e.start;
    sectionLastGoesOn = GoesOn(text, e);
  }

  TextSink s{nullptr, 0, 0};
  for (int pass = 0; pass < 2; ++pass) {
    s.size = 0;
    if (haveValue) {
      s.Put(text, value_.start);
      PutDwordLine(&s, name, value);
      s.Put(text + value_.end, size - value_.end);
    } else if (haveSection && sectionLastGoesOn) {
      // The text ends inside binary data that goes on: a line after it
      // would be read as more of that data, so the new one goes before it.
      s.Put(text, sectionLastStart);
      PutDwordLine(&s, name, value);
      s.Put(eol);
      s.Put(text + sectionLastStart, size - sectionLastStart);
    } else if (haveSection) {
      s.Put(text, sectionEnd);
      if (!sectionEndHasEol) s.Put(eol);
      PutDwordLine(&s, name, value);
      if (sectionEndHasEol) s.Put(eol);
      s.Put(text + sectionEnd, size - sectionEnd);
    } else {
      s.Put(text, size);
      if (size > 0 && text[size - 1] != '\n') s.Put(eol);
      if (!lastBlank) s.Put(eol);
      s.Put("[");
      s.Put(key);
      s.Put("]");
      s.Put(eol);
      PutDwordLine(&s, name, value);
      s.Put(eol);
    }
    if (pass == 0) {
      if (s.size > 0xFFFFFFFFu) return false;
      if (outSize) *outSize = static_cast<u32>(s.size);
      if (!out || s.size > capacity) return true;
      s.out = out;
      s.capacity = capacity;
    }
  }
  return true;
}
