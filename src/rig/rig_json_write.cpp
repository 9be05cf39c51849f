// The rig's JSON writer: an output cursor that counts past its capacity, shortest round-trip
// numbers in the ECMAScript layout, and strings escaped as the rig file wants them.
#include <charconv>
#include <cmath>
#include <cstring>

#include "base/text.h"
#include "rig/rig_format.h"

namespace {

// --- Writing numbers ----------------------------------------------------------------------

// Reshapes the scientific form "-d.ddde+XX" that to_chars gives into the written layout.
void shaped_out(RigJsonOut* o, const char* sci, size_t len) {
  char digits[24];
  int k = 0;
  size_t i = 0;
  bool neg = sci[0] == '-';
  if (neg) i++;
  for (; i < len && sci[i] != 'e'; i++)
    if (sci[i] != '.') digits[k++] = sci[i];
  int e = 0;
  if (i < len) {
    i++;
    bool eneg = sci[i] == '-';
    if (sci[i] == '+' || sci[i] == '-') i++;
    for (; i < len; i++) e = e * 10 + (sci[i] - '0');
    if (eneg) e = -e;
  }
  char buf[48];
  int n = 0;
  if (neg) buf[n++] = '-';
  if (e >= 0 && e <= 20) {
    for (int d = 0; d < k || d <= e; d++) {
      if (d == e + 1) buf[n++] = '.';
      buf[n++] = d < k ? digits[d] : '0';
    }
  } else if (e < 0 && e >= -7) {
    buf[n++] = '0';
    buf[n++] = '.';
    for (int z = 0; z < -e - 1; z++) buf[n++] = '0';
    for (int d = 0; d < k; d++) buf[n++] = digits[d];
  } else {
    buf[n++] = digits[0];
    if (k > 1) {
      buf[n++] = '.';
      for (int d = 1; d < k; d++) buf[n++] = digits[d];
    }
    buf[n++] = 'e';
    buf[n++] = e < 0 ? '-' : '+';
    auto r = std::to_chars(buf + n, buf + sizeof buf, e < 0 ? -e : e);
    n = (int)(r.ptr - buf);
  }
  rigjson_raw(o, buf, (size_t)n);
}

template <typename T>
void real_out(RigJsonOut* o, T v) {
  if (!std::isfinite(v)) {
    rigjson_char(o, '0');
    return;
  }
  if (v == 0) {
    if (std::signbit(v))
      rigjson_raw(o, "-0", 2);
    else
      rigjson_char(o, '0');
    return;
  }
  char sci[48];
  auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  shaped_out(o, sci, (size_t)(r.ptr - sci));
}

}  // namespace

// --- Writer -------------------------------------------------------------------------------

void rigjson_raw(RigJsonOut* o, const char* s, size_t n) {
  if (!o || !s) return;
  if (o->buf && o->pos < o->cap) {
    size_t room = o->cap - o->pos;
    memcpy(o->buf + o->pos, s, n < room ? n : room);
  }
  o->pos += n;
}

void rigjson_char(RigJsonOut* o, char c) {
  if (!o) return;
  if (o->buf && o->pos < o->cap) o->buf[o->pos] = c;
  o->pos++;
}

void rigjson_bool_out(RigJsonOut* o, bool v) {
  if (v)
    rigjson_raw(o, "true", 4);
  else
    rigjson_raw(o, "false", 5);
}

void rigjson_int_out(RigJsonOut* o, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  rigjson_raw(o, buf, (size_t)(r.ptr - buf));
}

void rigjson_float_out(RigJsonOut* o, float v) {
  real_out(o, v);
}

void rigjson_double_out(RigJsonOut* o, double v) {
  real_out(o, v);
}

void rigjson_string_out(RigJsonOut* o, const char* s) {
  if (!o) return;
  if (!s) s = "";
  rigjson_char(o, '"');
  const unsigned char* p = (const unsigned char*)s;
  for (;;) {
    // Runs that need no escaping go out whole.
    const unsigned char* run = p;
    while (*p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\') p++;
    if (p > run) rigjson_raw(o, (const char*)run, (size_t)(p - run));
    unsigned char c = *p;
    if (c == 0) break;
    if (c >= 0x80) {
      size_t avail = 1;
      while (avail < 4 && p[avail]) avail++;
      size_t bad = 1;
      int k = text_utf8_sequence((const char*)p, avail, &bad);
      if (k == 0) {
        rigjson_raw(o, "\xEF\xBF\xBD", 3);
        p += bad;
      } else {
        rigjson_raw(o, (const char*)p, (size_t)k);
        p += k;
      }
      continue;
    }
    p++;
    switch (c) {
      case '"':
        rigjson_raw(o, "\\\"", 2);
        break;
      case '\\':
        rigjson_raw(o, "\\\\", 2);
        break;
      case '\b':
        rigjson_raw(o, "\\b", 2);
        break;
      case '\t':
        rigjson_raw(o, "\\t", 2);
        break;
      case '\n':
        rigjson_raw(o, "\\n", 2);
        break;
      case '\f':
        rigjson_raw(o, "\\f", 2);
        break;
      case '\r':
        rigjson_raw(o, "\\r", 2);
        break;
      default: {
        static const char kHex[] = "0123456789abcdef";
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        rigjson_raw(o, esc, 6);
      }
    }
  }
  rigjson_char(o, '"');
}
