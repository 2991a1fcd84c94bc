#include "config/catalogue.h"

#include <cstring>

#include "config/message_box.h"

CHashIni *gPatchIni = nullptr;

namespace {

const char kSection[] = "str";
const u32 kMaxFieldWidth = 1000000;

char sTextBuffer[kTextBufferSize];
char sCaptionBuffer[kCaptionBufferSize];

// Copies the title into the caption buffer before the message text is looked
// up, since both lookups share the text buffer.
const char *LoadCaption() {
  const char *title = GetText("title");
  size_t n = strlen(title);
  if (n > kCaptionBufferSize - 1) n = kCaptionBufferSize - 1;
  memcpy(sCaptionBuffer, title, n);
  sCaptionBuffer[n] = 0;
  return sCaptionBuffer;
}

// Bounded output: keeps room for the terminating zero and drops the rest.
class Sink {
 public:
  Sink(char *buffer, u32 size) : mBuffer(buffer), mSize(size) {}
  u32 Room() const { return mSize == 0 ? 0 : mSize - 1 - mPos; }
  void Put(char c) {
    if (Room() > 0) mBuffer[mPos++] = c;
  }
  void Repeat(char c, u32 count) {
    if (count > Room()) count = Room();
    memset(mBuffer + mPos, c, count);
    mPos += count;
  }
  void Append(const char *text, u32 length) {
    if (length > Room()) length = Room();
    memcpy(mBuffer + mPos, text, length);
    mPos += length;
  }
  u32 Finish() {
    if (mSize != 0) mBuffer[mPos] = 0;
    return mPos;
  }

 private:
  char *mBuffer;
  u32 mSize;
  u32 mPos = 0;
};

struct Directive {
  bool left = false, plus = false, space = false, zero = false, alt = false;
  u32 width = 0;
  bool hasPrecision = false;
  u32 precision = 0;
  char conversion = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

u32 ParseCount(const char *&p) {
  u32 n = 0;
  while (IsDigit(*p)) {
    n = n * 10 + static_cast<u32>(*p - '0');
    if (n > kMaxFieldWidth) n = kMaxFieldWidth;
    ++p;
  }
  return n;
}

// Parses the directive after '%'; on success `p` is past its conversion
// letter. False when the text does not form a directive the formatter
// knows (the caller then copies it as it stands).
bool ParseDirective(const char *&p, Directive *d) {
  for (;; ++p) {
    if (*p == '-') d->left = true;
    else if (*p == '+') d->plus = true;
    else if (*p == ' ') d->space = true;
    else if (*p == '0') d->zero = true;
    else if (*p == '#') d->alt = true;
    else break;
  }
  d->width = ParseCount(p);
  if (*p == '.') {
    ++p;
    d->hasPrecision = true;
    d->precision = ParseCount(p);
  }
  if (*p == 'l') ++p;
  if (*p == 0 || !strchr("diuxXocs", *p)) return false;
  d->conversion = *p++;
  return true;
}

void Pad(Sink *out, u32 width, u32 length) {
  if (width > length) out->Repeat(' ', width - length);
}

void EmitText(Sink *out, const Directive &d, const char *text) {
  u32 n = 0;
  u32 limit = d.hasPrecision ? d.precision : 0xFFFFFFFFu;
  while (n < limit && text[n]) ++n;
  if (!d.left) Pad(out, d.width, n);
  out->Append(text, n);
  if (d.left) Pad(out, d.width, n);
}

void EmitInteger(Sink *out, const Directive &d, i32 value) {
  if (d.conversion == 'c') {
    char c = static_cast<char>(value);
    u32 n = c ? 1 : 0;
    if (!d.left) Pad(out, d.width, n);
    if (c) out->Put(c);
    if (d.left) Pad(out, d.width, n);
    return;
  }
  bool isSigned = d.conversion == 'd' || d.conversion == 'i';
  u32 magnitude = static_cast<u32>(value);
  char sign = 0;
  if (isSigned) {
    if (value < 0) {
      sign = '-';
      magnitude = 0u - magnitude;
    } else if (d.plus) {
      sign = '+';
    } else if (d.space) {
      sign = ' ';
    }
  }
  u32 base = 10;
  const char *digitSet = "0123456789abcdef";
  if (d.conversion == 'x') base = 16;
  if (d.conversion == 'X') {
    base = 16;
    digitSet = "0123456789ABCDEF";
  }
  if (d.conversion == 'o') base = 8;

  char digits[16];
  u32 count = 0;
  for (u32 m = magnitude; m != 0; m /= base)
    digits[count++] = digitSet[m % base];
  // Precision is the least number of digits; the default is one, and an
  // explicit precision of 0 prints nothing for the value 0.
  u32 precision = d.hasPrecision ? d.precision : 1;
  u32 zeros = precision > count ? precision - count : 0;
  if (d.alt && base == 8 && zeros == 0) zeros = 1;  // octal starts with 0
  const char *prefix = "";
  if (d.alt && base == 16 && magnitude != 0)
    prefix = d.conversion == 'x' ? "0x" : "0X";
  u32 prefixLength = static_cast<u32>(strlen(prefix)) + (sign ? 1 : 0);
  u64 body = static_cast<u64>(prefixLength) + zeros + count;
  u32 fill = d.width > body ? static_cast<u32>(d.width - body) : 0;
  bool zeroFill = d.zero && !d.left && !d.hasPrecision;

  if (!d.left && !zeroFill) out->Repeat(' ', fill);
  if (sign) out->Put(sign);
  out->Append(prefix, static_cast<u32>(strlen(prefix)));
  if (zeroFill) out->Repeat('0', fill);
  out->Repeat('0', zeros);
  while (count > 0) out->Put(digits[--count]);
  if (d.left) out->Repeat(' ', fill);
}

}  // namespace

const char *GetText(const char *key) {
  if (!gPatchIni ||
      gPatchIni->GetValue(kSection, key, sTextBuffer, kTextBufferSize - 1)) {
    sTextBuffer[0] = 0;
    return sTextBuffer;
  }
  for (char *p = sTextBuffer; *p; ++p)
    if (*p == '|') *p = '\n';
  return sTextBuffer;
}

int AskUser(const char *key, u32 type) {
  const char *caption = LoadCaption();
  return PlatformMessageBox(GetText(key), caption, type);
}

int AskUserText(const char *text, u32 type) {
  // The caption lookup reuses the text buffer: keep a text that lives there.
  char copy[kTextBufferSize];
  if (text == sTextBuffer) {
    memcpy(copy, sTextBuffer, kTextBufferSize);
    text = copy;
  }
  const char *caption = LoadCaption();
  return PlatformMessageBox(text, caption, type);
}

void FatalMessage(const char *key) {
  AskUser(key, kMbIconError);
  PlatformExitProcess(-1);
}

u32 ParseHexVersion(const char *text) {
  if (!text) return 0;
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  u64 value = 0;
  for (;; ++p) {
    u32 digit;
    if (*p >= '0' && *p <= '9') digit = static_cast<u32>(*p - '0');
    else if (*p >= 'a' && *p <= 'f') digit = static_cast<u32>(*p - 'a' + 10);
    else if (*p >= 'A' && *p <= 'F') digit = static_cast<u32>(*p - 'A' + 10);
    else break;
    value = value * 16 + digit;
    if (value > 0x80000000u) value = 0x80000000u;  // past any result
  }
  if (negative) return 0u - static_cast<u32>(value);
  return value > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<u32>(value);
}

u32 GetHexNumber(const char *key) { return ParseHexVersion(GetText(key)); }

bool GetFlag(const char *key) { return strcmp(GetText(key), "1") == 0; }

u32 FormatText(char *buffer, u32 size, const char *format,
               const FormatArg *args, u32 argCount, FormatOutcome *outcome) {
  Sink out(buffer, size);
  u32 next = 0, left = 0;
  const char *p = format ? format : "";
  while (*p) {
    if (*p != '%') {
      out.Put(*p++);
      continue;
    }
    if (p[1] == '%') {
      out.Put('%');
      p += 2;
      continue;
    }
    const char *start = p++;
    Directive d;
    bool known = ParseDirective(p, &d);
    const FormatArg *arg = next < argCount ? &args[next] : nullptr;
    if (known && arg && d.conversion == 's' && arg->kind == FormatArg::kText) {
      EmitText(&out, d, arg->text ? arg->text : "");
      ++next;
    } else if (known && arg && d.conversion != 's' &&
               arg->kind == FormatArg::kInteger) {
      EmitInteger(&out, d, arg->integer);
      ++next;
    } else {
      // Not honoured: the directive stays visible as written. An unknown
      // letter is copied with it so that it cannot start a new directive.
      if (!known && *p) ++p;
      out.Append(start, static_cast<u32>(p - start));
      ++left;
    }
  }
  if (outcome) *outcome = FormatOutcome{next, left};
  return out.Finish();
}

bool FormatWelcome2(char *buffer, u32 size, i32 major, i32 minor,
                    const char *folder, FormatOutcome *outcome) {
  FormatArg args[3] = {FormatArg::Int(major), FormatArg::Int(minor),
                       FormatArg::Text(folder)};
  const char *format = GetText("welcome2");
  FormatText(buffer, size, format, args, 3, outcome);
  return format[0] != 0;
}

void FormatErrCopy(char *buffer, u32 size, const char *path,
                   FormatOutcome *outcome) {
  FormatArg arg = FormatArg::Text(path);
  FormatText(buffer, size, GetText("errcopy"), &arg, 1, outcome);
}
