#include "store/filenames.h"

#include <atomic>
#include <cstring>
#include <string>

#if __has_include(<unicode/uchar.h>)
#include <unicode/uchar.h>
#define KELP_HAVE_ICU 1
#else
#define KELP_HAVE_ICU 0
#endif

#ifdef _WIN32
#include <windows.h>
#else
#include <locale.h>

#include <cwctype>
#endif

namespace {

std::atomic<bool> g_builtin{false};

constexpr uint32_t kReplacement = 0xFFFD;
constexpr int kSidecarCharacters = 40;
constexpr int kExportUnits = 200;
constexpr size_t kWavExt = 4;  // ".wav"

// Next code point of s[*i..n); an invalid, overlong, surrogate or out-of-range sequence gives
// U+FFFD and consumes a single byte.
uint32_t utf8_next(const unsigned char* s, size_t n, size_t* i) {
  const unsigned char c = s[*i];
  int more;
  uint32_t cp, min;
  if (c < 0x80) {
    (*i)++;
    return c;
  } else if (c >= 0xC2 && c <= 0xDF) {
    more = 1, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    more = 2, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    more = 3, cp = c & 0x07, min = 0x10000;
  } else {
    (*i)++;
    return kReplacement;
  }
  if (*i + (size_t)more >= n) {
    (*i)++;
    return kReplacement;
  }
  for (int k = 1; k <= more; k++) {
    const unsigned char b = s[*i + k];
    if ((b & 0xC0) != 0x80) {
      (*i)++;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    (*i)++;
    return kReplacement;
  }
  *i += (size_t)more + 1;
  return cp;
}

void utf8_append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += (char)cp;
  } else if (cp < 0x800) {
    out += (char)(0xC0 | (cp >> 6));
    out += (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += (char)(0xE0 | (cp >> 12));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  } else {
    out += (char)(0xF0 | (cp >> 18));
    out += (char)(0x80 | ((cp >> 12) & 0x3F));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  }
}

size_t utf8_length(uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

bool system_alnum(uint32_t cp) {
#ifdef _WIN32
  return IsCharAlphaNumericW((WCHAR)cp) != 0;
#else
  // The process's own locale may be "C"; ask a UTF-8 one so letters beyond ASCII count.
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  if (utf8) return iswalnum_l((wint_t)cp, utf8) != 0;
  return cp < 0x80 && ((cp >= '0' && cp <= '9') || ((cp | 0x20) >= 'a' && (cp | 0x20) <= 'z'));
#endif
}

bool builtin_mark(uint32_t cp) {
  static const uint32_t ranges[][2] = {
      {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
      {0x0900, 0x0903}, {0x093A, 0x094F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF},
      {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}};
  for (const auto& r : ranges)
    if (cp >= r[0] && cp <= r[1]) return true;
  return false;
}

enum Hangul { H_NONE, H_L, H_V, H_T, H_LV, H_LVT };

Hangul hangul_type(uint32_t cp) {
  if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0xA960 && cp <= 0xA97C)) return H_L;
  if ((cp >= 0x1160 && cp <= 0x11A7) || (cp >= 0xD7B0 && cp <= 0xD7C6)) return H_V;
  if ((cp >= 0x11A8 && cp <= 0x11FF) || (cp >= 0xD7CB && cp <= 0xD7FB)) return H_T;
  if (cp >= 0xAC00 && cp <= 0xD7A3) return (cp - 0xAC00) % 28 == 0 ? H_LV : H_LVT;
  return H_NONE;
}

bool hangul_continues(Hangul prev, Hangul cur) {
  switch (prev) {
    case H_L:
      return cur == H_L || cur == H_V || cur == H_LV || cur == H_LVT;
    case H_V:
    case H_LV:
      return cur == H_V || cur == H_T;
    case H_T:
    case H_LVT:
      return cur == H_T;
    default:
      return false;
  }
}

bool forbidden_in_export(uint32_t cp) {
  return cp < 0x20 || cp == 0x7F || cp == '"' || cp == '*' || cp == '/' || cp == ':' || cp == '<' ||
         cp == '>' || cp == '?' || cp == '\\' || cp == '|';
}

// The side-car name for a buffer of budget bytes (budget includes the terminator).
std::string sidecar_build(const char* title, size_t budget) {
  const unsigned char* s = (const unsigned char*)title;
  const size_t n = strlen(title);
  std::string out;
  int characters = 0;
  Hangul prev = H_NONE;
  for (size_t i = 0; i < n;) {
    const uint32_t cp = utf8_next(s, n, &i);
    const int cls = filename_char_class(cp);
    const Hangul h = hangul_type(cp);
    const bool continues = cls == FILENAME_MARK || hangul_continues(prev, h);
    if (!continues && characters == kSidecarCharacters) break;
    const size_t len = cls == FILENAME_REPLACE ? 1 : utf8_length(cp);
    if (out.size() + len + kWavExt + 1 > budget) break;
    if (cls == FILENAME_REPLACE)
      out += '_';
    else
      utf8_append(out, cp);
    if (!continues) characters++;
    prev = h;
  }
  if (out.empty()) return "recording.wav";
  if (is_reserved_device_name(out.data(), out.size()) && out.size() + 1 + kWavExt + 1 <= budget)
    out += '_';
  return out + ".wav";
}

std::string export_build(const char* title, bool loop, size_t budget, bool* gotAny) {
  if (!*title) title = "sketch";
  const unsigned char* s = (const unsigned char*)title;
  const size_t n = strlen(title);
  const size_t suffix = loop ? 9 : 4;
  std::string out;
  int units = 0;
  for (size_t i = 0; i < n;) {
    const uint32_t cp = utf8_next(s, n, &i);
    const int u = cp > 0xFFFF ? 2 : 1;
    if (units + u > kExportUnits) break;
    const bool dash = forbidden_in_export(cp);
    const size_t len = dash ? 1 : utf8_length(cp);
    if (out.size() + len + suffix + 1 > budget) break;
    if (dash)
      out += '-';
    else
      utf8_append(out, cp);
    units += u;
  }
  *gotAny = !out.empty();
  if (loop) {
    out += " loop";
  } else if (is_reserved_device_name(out.data(), out.size()) &&
             out.size() + 1 + kWavExt + 1 <= budget) {
    out += '_';
  }
  return out + ".wav";
}

// Hands name out when it fits; else "" and the size the uncut name needs.
int hand_out(bool fits, const std::string& name, const std::string& uncut, char* buffer,
             size_t size) {
  if (fits && name.size() + 1 <= size) {
    memcpy(buffer, name.c_str(), name.size() + 1);
    return 0;
  }
  if (buffer && size > 0) buffer[0] = 0;
  return (int)uncut.size() + 1;
}

}  // namespace

int filename_char_class_builtin(uint32_t cp) {
  if (builtin_mark(cp)) return FILENAME_MARK;
  if (cp < 0x10000 && system_alnum(cp)) return FILENAME_KEEP;
  return FILENAME_REPLACE;
}

bool filename_have_icu() {
  return KELP_HAVE_ICU && !g_builtin.load(std::memory_order_relaxed);
}

void filename_force_builtin(bool on) {
  g_builtin.store(on, std::memory_order_relaxed);
}

int filename_char_class(uint32_t cp) {
#if KELP_HAVE_ICU
  if (!g_builtin.load(std::memory_order_relaxed)) {
    const int t = u_charType((UChar32)cp);
    if (t >= U_NON_SPACING_MARK && t <= U_COMBINING_SPACING_MARK) return FILENAME_MARK;
    if ((t >= U_UPPERCASE_LETTER && t <= U_OTHER_LETTER) ||
        (t >= U_DECIMAL_DIGIT_NUMBER && t <= U_OTHER_NUMBER))
      return FILENAME_KEEP;
    return FILENAME_REPLACE;
  }
#endif
  return filename_char_class_builtin(cp);
}

bool is_reserved_device_name(const char* text, size_t length) {
  if (!text) return false;
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '.')) length--;
  if (length != 3 && length != 4) return false;
  char u[4];
  for (size_t i = 0; i < length; i++) {
    char c = text[i];
    u[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
  }
  if (length == 3)
    return !memcmp(u, "CON", 3) || !memcmp(u, "PRN", 3) || !memcmp(u, "AUX", 3) ||
           !memcmp(u, "NUL", 3);
  return (!memcmp(u, "COM", 3) || !memcmp(u, "LPT", 3)) && u[3] >= '1' && u[3] <= '9';
}

int sidecar_wav_name(const char* title, char* buffer, size_t size) {
  if (!title) title = "";
  if (!buffer) size = 0;
  const std::string name = sidecar_build(title, size);
  if (name.size() + 1 <= size) return hand_out(true, name, name, buffer, size);
  return hand_out(false, name, sidecar_build(title, SIZE_MAX), buffer, size);
}

int export_wav_name(const char* title, bool loop, char* buffer, size_t size) {
  if (!title) title = "";
  if (!buffer) size = 0;
  bool any = false;
  const std::string name = export_build(title, loop, size, &any);
  if (any && name.size() + 1 <= size) return hand_out(true, name, name, buffer, size);
  return hand_out(false, name, export_build(title, loop, SIZE_MAX, &any), buffer, size);
}
