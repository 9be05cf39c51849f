#include "base/text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

size_t text_utf8_boundary(const char* s, size_t n) {
  if (n == 0) return 0;
  size_t i = n;
  // Step back over continuation bytes to the lead byte of the last sequence.
  size_t back = 0;
  while (i > 0 && back < 4 && ((unsigned char)s[i - 1] & 0xC0) == 0x80) {
    i--;
    back++;
  }
  if (i == 0) return 0;
  unsigned char lead = (unsigned char)s[i - 1];
  size_t need = 1;
  if (lead >= 0xF0)
    need = 4;
  else if (lead >= 0xE0)
    need = 3;
  else if (lead >= 0xC0)
    need = 2;
  if (lead >= 0xC0 && back + 1 < need) return i - 1;  // incomplete: drop it
  return n;
}

size_t text_utf8_cut(char* s, size_t max_bytes) {
  size_t n = strlen(s);
  if (n <= max_bytes) return n;
  n = text_utf8_boundary(s, max_bytes);
  s[n] = 0;
  return n;
}

bool text_copy(char* dst, size_t size, const char* src) {
  if (!dst || size == 0) return false;
  if (!src) src = "";
  size_t n = strnlen(src, size);
  const bool fits = n < size;
  if (!fits) n = size - 1;
  n = text_utf8_boundary(src, n);
  memmove(dst, src, n);
  memset(dst + n, 0, size - n);  // fixed fields compare and copy whole
  return fits;
}

int text_utf8_sequence(const char* text, size_t n, size_t* bad) {
  size_t scratch;
  if (!bad) bad = &scratch;
  *bad = 1;
  if (!text || n == 0) return 0;
  const unsigned char* s = (const unsigned char*)text;
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogate
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (int k = 1; k < need; k++) {
    if ((size_t)k >= n) return 0;
    unsigned char b = s[k];
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return 0;
    *bad = (size_t)k + 1;
  }
  return need;
}

char* text_utf8_repair(const char* s, size_t length, size_t* outLength, bool* replaced) {
  if (!s) length = 0;
  size_t bad = 0;
  for (size_t i = 0; i < length;) {
    int k = text_utf8_sequence(s + i, length - i);
    if (k == 0) {
      bad++;
      k = 1;
    }
    i += (size_t)k;
  }
  if (bad > (SIZE_MAX - length - 1) / 2) return nullptr;
  size_t total = length + bad * 2;
  char* out = (char*)malloc(total + 1);
  if (!out) return nullptr;
  char* o = out;
  for (size_t i = 0; i < length;) {
    int k = text_utf8_sequence(s + i, length - i);
    if (k == 0) {
      memcpy(o, "\xEF\xBF\xBD", 3);
      o += 3;
      i++;
    } else {
      memcpy(o, s + i, (size_t)k);
      o += k;
      i += (size_t)k;
    }
  }
  *o = 0;
  if (outLength) *outLength = total;
  if (replaced) *replaced = bad > 0;
  return out;
}

size_t text_copy_valid(char* dst, size_t dst_size, const char* src, size_t n, bool* cut,
                       bool* replaced) {
  if (cut) *cut = false;
  if (replaced) *replaced = false;
  if (!dst || dst_size == 0) return 0;
  size_t out = 0;
  if (src) {
    const unsigned char* s = (const unsigned char*)src;
    size_t i = 0;
    while (i < n && s[i] != 0) {
      size_t avail = n - i;
      for (size_t k = 1; k < 4 && k < avail; k++)
        if (s[i + k] == 0) avail = k;  // a zero byte ends the text
      size_t bad = 1;
      size_t len = (size_t)text_utf8_sequence((const char*)s + i, avail, &bad);
      const unsigned char* piece = s + i;
      static const unsigned char kReplacement[3] = {0xEF, 0xBF, 0xBD};
      if (len == 0) {
        piece = kReplacement;
        len = 3;
        if (replaced) *replaced = true;
        i += bad;
      } else {
        i += len;
      }
      if (out + len > dst_size - 1) {
        if (cut) *cut = true;
        break;
      }
      memcpy(dst + out, piece, len);
      out += len;
    }
  }
  memset(dst + out, 0, dst_size - out);
  return out;
}
