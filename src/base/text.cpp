#include "base/text.h"

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
