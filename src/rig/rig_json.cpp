// The rig's own JSON reader. It validates a whole text once and then hands out spans into it;
// accessors walk them lazily, so decoding a rig file allocates nothing here. The writer is in
// rig_json_write.cpp.
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "rig/rig_format.h"

namespace {

// Iterator positions carry two flags: a container handed out lazily that still has to be
// skipped, and an iteration that reached its closing bracket. Texts stay below 1 GB for them.
constexpr uint32_t kPending = 0x80000000u;
constexpr uint32_t kDone = 0x40000000u;
constexpr uint32_t kPosMask = 0x3FFFFFFFu;

inline bool is_ws(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

inline int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void put_msg(char* msg, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void put_msg(char* msg, size_t size, const char* fmt, ...) {
  if (!msg || size == 0) return;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(msg, size, fmt, ap);
  va_end(ap);
  if (n >= (int)size) msg[text_utf8_boundary(msg, size - 1)] = 0;
}

// --- Validation -------------------------------------------------------------------------

struct Scan {
  const unsigned char* t;
  size_t n;
  size_t p;
  bool done;  // the root value is complete
  size_t root_end;
  char* msg;
  size_t msg_size;
};

int fail_truncated(Scan* s) {
  put_msg(s->msg, s->msg_size, "truncated at byte %llu", (unsigned long long)s->n);
  return -1;
}

int fail_at(Scan* s, size_t at) {
  if (at >= s->n) return fail_truncated(s);
  unsigned char c = s->t[at];
  const char* after = s->done ? " (after the value)" : "";
  if (c >= 0x20 && c < 0x7F)
    put_msg(s->msg, s->msg_size, "unexpected '%c' at byte %llu%s", c, (unsigned long long)at, after);
  else
    put_msg(s->msg, s->msg_size, "unexpected byte 0x%02X at byte %llu%s", c,
            (unsigned long long)at, after);
  return -1;
}

inline void skip_ws(Scan* s) {
  while (s->p < s->n && is_ws(s->t[s->p])) s->p++;
}

// Bytes a string cannot simply hold: controls, the quote and the backslash.
struct StringStops {
  bool stop[256];
  constexpr StringStops() : stop() {
    for (int c = 0; c < 0x20; c++) stop[c] = true;
    stop[(unsigned char)'"'] = stop[(unsigned char)'\\'] = true;
  }
};
constexpr StringStops kStringStops;

// The offset of the first quote, backslash or control byte among 8, or 8 for none. A borrow
// can only mark bytes after the first true match, so the lowest mark is exact.
inline unsigned first_stop8(const unsigned char* at) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  uint64_t x;
  memcpy(&x, at, 8);
  uint64_t q = x ^ (kOnes * '"'), b = x ^ (kOnes * '\\');
  uint64_t m = ((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((x - kOnes * 0x20) & ~x);
  m &= kHigh;
  return m ? (unsigned)__builtin_ctzll(m) / 8 : 8;
}

// Whether 8 bytes are plain ASCII with no backslash: copied as they stand.
inline bool plain8(const unsigned char* at) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  uint64_t x;
  memcpy(&x, at, 8);
  uint64_t b = x ^ (kOnes * '\\');
  return ((x | ((b - kOnes) & ~b)) & kHigh) == 0;
}

int scan_string(Scan* s) {
  const unsigned char* t = s->t;
  size_t p = s->p + 1, n = s->n;
  for (;;) {
    while (p + 8 <= n) {
      unsigned k = first_stop8(t + p);
      p += k;
      if (k < 8) break;
    }
    while (p < n && !kStringStops.stop[t[p]]) p++;
    if (p >= n) return fail_truncated(s);
    unsigned char c = t[p];
    if (c == '"') {
      s->p = p + 1;
      return 0;
    }
    if (c < 0x20) return fail_at(s, p);
    // A backslash.
    if (p + 1 >= n) return fail_truncated(s);
    unsigned char e = t[p + 1];
    if (e == 'u') {
      for (size_t k = 2; k < 6; k++) {
        if (p + k >= n) return fail_truncated(s);
        if (hex_value(t[p + k]) < 0) return fail_at(s, p + k);
      }
      p += 6;
    } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' ||
               e == 't') {
      p += 2;
    } else {
      return fail_at(s, p + 1);
    }
  }
}

int scan_number(Scan* s) {
  const unsigned char* t = s->t;
  size_t p = s->p, n = s->n;
  if (t[p] == '-') p++;
  if (p >= n) return fail_truncated(s);
  if (t[p] == '0') {
    p++;
  } else if (is_digit(t[p])) {
    while (p < n && is_digit(t[p])) p++;
  } else {
    return fail_at(s, p);
  }
  if (p < n && t[p] == '.') {
    p++;
    if (p >= n) return fail_truncated(s);
    if (!is_digit(t[p])) return fail_at(s, p);
    while (p < n && is_digit(t[p])) p++;
  }
  if (p < n && (t[p] == 'e' || t[p] == 'E')) {
    p++;
    if (p < n && (t[p] == '+' || t[p] == '-')) p++;
    if (p >= n) return fail_truncated(s);
    if (!is_digit(t[p])) return fail_at(s, p);
    while (p < n && is_digit(t[p])) p++;
  }
  s->p = p;
  return 0;
}

int scan_literal(Scan* s, const char* word) {
  for (size_t k = 0; word[k]; k++) {
    if (s->p + k >= s->n) return fail_truncated(s);
    if (s->t[s->p + k] != (unsigned char)word[k]) return fail_at(s, s->p + k);
  }
  s->p += strlen(word);
  return 0;
}

// The member name and colon of an object, leaving p at the value.
int scan_key(Scan* s) {
  if (s->p >= s->n) return fail_truncated(s);
  if (s->t[s->p] != '"') return fail_at(s, s->p);
  if (scan_string(s) != 0) return -1;
  skip_ws(s);
  if (s->p >= s->n) return fail_truncated(s);
  if (s->t[s->p] != ':') return fail_at(s, s->p);
  s->p++;
  skip_ws(s);
  return 0;
}

int scan_all(Scan* s) {
  char stack[RIGJSON_MAX_DEPTH];  // the closing bracket of each open container
  int depth = 0;
  for (;;) {
    // A value starts at p (white space already skipped).
    if (s->p >= s->n) return fail_truncated(s);
    unsigned char c = s->t[s->p];
    bool opened = false;
    switch (c) {
      case '{':
      case '[':
        if (depth == RIGJSON_MAX_DEPTH) {
          put_msg(s->msg, s->msg_size, "nested deeper than %d at byte %llu", RIGJSON_MAX_DEPTH,
                  (unsigned long long)s->p);
          return -1;
        }
        stack[depth++] = c == '{' ? '}' : ']';
        s->p++;
        skip_ws(s);
        if (s->p >= s->n) return fail_truncated(s);
        if (s->t[s->p] == (unsigned char)stack[depth - 1]) {
          s->p++;
          depth--;
        } else {
          if (c == '{' && scan_key(s) != 0) return -1;
          opened = true;
        }
        break;
      case '"':
        if (scan_string(s) != 0) return -1;
        break;
      case 't':
        if (scan_literal(s, "true") != 0) return -1;
        break;
      case 'f':
        if (scan_literal(s, "false") != 0) return -1;
        break;
      case 'n':
        if (scan_literal(s, "null") != 0) return -1;
        break;
      default:
        if (c == '-' || is_digit(c)) {
          if (scan_number(s) != 0) return -1;
        } else {
          return fail_at(s, s->p);
        }
    }
    if (opened) continue;
    // After a complete value: close containers or move to the next element.
    for (;;) {
      if (depth == 0) {
        s->done = true;
        s->root_end = s->p;
        skip_ws(s);
        if (s->p != s->n) return fail_at(s, s->p);
        return 0;
      }
      skip_ws(s);
      if (s->p >= s->n) return fail_truncated(s);
      c = s->t[s->p];
      if (c == ',') {
        s->p++;
        skip_ws(s);
        if (stack[depth - 1] == '}' && scan_key(s) != 0) return -1;
        break;
      }
      if (c != (unsigned char)stack[depth - 1]) return fail_at(s, s->p);
      s->p++;
      depth--;
    }
  }
}

RigJsonType type_of(unsigned char c) {
  switch (c) {
    case '{':
      return RIGJSON_OBJECT;
    case '[':
      return RIGJSON_ARRAY;
    case '"':
      return RIGJSON_STRING;
    case 't':
      return RIGJSON_TRUE;
    case 'f':
      return RIGJSON_FALSE;
    case 'n':
      return RIGJSON_NULL;
    default:
      return RIGJSON_NUMBER;
  }
}

// --- Walking validated text -------------------------------------------------------------

// Byte classes for skipping: outside strings 1 a quote, 2 an opening bracket, 3 a closing
// one; and the bytes a number is made of.
struct SkipTable {
  unsigned char outside[256];
  bool number[256];
  constexpr SkipTable() : outside(), number() {
    for (const char* c = "0123456789+-.eE"; *c; c++) number[(unsigned char)*c] = true;
    outside[(unsigned char)'"'] = 1;
    outside[(unsigned char)'{'] = outside[(unsigned char)'['] = 2;
    outside[(unsigned char)'}'] = outside[(unsigned char)']'] = 3;
  }
};
constexpr SkipTable kSkip;

// The end of the validated string whose opening quote is at p. Its closing quote is there
// to be found, so the search needs no bound; a quote after an odd run of backslashes is escaped.
// Member names and short texts end within a few bytes, before a library call would pay off.
inline size_t end_of_string(const unsigned char* t, size_t p) {
  size_t from = p + 1;
  for (size_t k = from; k < from + 16; k++) {
    if (t[k] == '"') return k + 1;
    if (t[k] == '\\') break;
  }
  for (;;) {
    size_t q = (size_t)((const unsigned char*)rawmemchr(t + from, '"') - t);
    size_t b = q;
    while (b > from && t[b - 1] == '\\') b--;
    if ((q - b) % 2 == 0) return q + 1;
    from = q + 1;
  }
}

// The end of the validated value starting at p.
size_t end_of_value(const unsigned char* t, size_t p) {
  unsigned char c = t[p];
  switch (c) {
    case '"':
      return end_of_string(t, p);
    case '{':
    case '[': {
      int depth = 0;
      for (;;) {
        while (!kSkip.outside[t[p]]) p++;
        unsigned char k = kSkip.outside[t[p]];
        if (k == 1) {
          p = end_of_string(t, p);
        } else {
          p++;
          depth += k == 2 ? 1 : -1;
          if (depth == 0) return p;
        }
      }
    }
    case 't':
    case 'n':
      return p + 4;
    case 'f':
      return p + 5;
    default:
      while (kSkip.number[t[p]]) p++;
      return p;
  }
}

inline void skip_ws_at(const unsigned char* t, size_t* p) {
  while (is_ws(t[*p])) (*p)++;
}

// One unescaped piece of a string: up to 4 bytes of UTF-8, or raw bytes as they stand.
struct Piece {
  unsigned char b[4];
  int n;
  bool replaced;
};

inline int encode_utf8(uint32_t cp, unsigned char* b) {
  if (cp < 0x80) {
    b[0] = (unsigned char)cp;
    return 1;
  }
  if (cp < 0x800) {
    b[0] = (unsigned char)(0xC0 | (cp >> 6));
    b[1] = (unsigned char)(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    b[0] = (unsigned char)(0xE0 | (cp >> 12));
    b[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
    b[2] = (unsigned char)(0x80 | (cp & 0x3F));
    return 3;
  }
  b[0] = (unsigned char)(0xF0 | (cp >> 18));
  b[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
  b[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
  b[3] = (unsigned char)(0x80 | (cp & 0x3F));
  return 4;
}

inline uint32_t hex4(const unsigned char* s) {
  return (uint32_t)(hex_value(s[0]) << 12 | hex_value(s[1]) << 8 | hex_value(s[2]) << 4 |
                    hex_value(s[3]));
}

// Decodes the escape at p (a backslash) into a piece; returns the position after it. A lone
// surrogate and \u0000 (which a zero-terminated field cannot hold) become U+FFFD.
size_t unescape_at(const unsigned char* t, size_t p, size_t end, Piece* out) {
  out->replaced = false;
  unsigned char e = t[p + 1];
  uint32_t cp;
  switch (e) {
    case 'b':
      cp = '\b';
      break;
    case 'f':
      cp = '\f';
      break;
    case 'n':
      cp = '\n';
      break;
    case 'r':
      cp = '\r';
      break;
    case 't':
      cp = '\t';
      break;
    case 'u': {
      cp = hex4(t + p + 2);
      size_t next = p + 6;
      if (cp >= 0xD800 && cp <= 0xDBFF && next + 6 <= end && t[next] == '\\' &&
          t[next + 1] == 'u') {
        uint32_t lo = hex4(t + next + 2);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          out->n = encode_utf8(cp, out->b);
          return next + 6;
        }
      }
      if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0) {
        cp = 0xFFFD;
        out->replaced = true;
      }
      out->n = encode_utf8(cp, out->b);
      return next;
    }
    default:
      cp = e;  // " \ /
  }
  out->b[0] = (unsigned char)cp;
  out->n = 1;
  return p + 2;
}

int64_t parse_plain_int(const unsigned char* s, size_t n, bool* plain, bool* fits) {
  *plain = false;
  *fits = false;
  size_t i = 0;
  bool neg = false;
  if (i < n && s[i] == '-') {
    neg = true;
    i++;
  }
  if (i >= n) return 0;
  uint64_t v = 0;
  const uint64_t limit = neg ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX;
  bool over = false;
  for (; i < n; i++) {
    if (!is_digit(s[i])) return 0;
    uint64_t d = s[i] - '0';
    if (v > (limit - d) / 10) over = true;
    if (!over) v = v * 10 + d;
  }
  *plain = true;
  if (over) return 0;
  *fits = true;
  if (neg) return v == (uint64_t)INT64_MAX + 1 ? INT64_MIN : -(int64_t)v;
  return (int64_t)v;
}

// Whether a number too big or too small for its type overflows (rather than underflows): its
// decimal point position after the first significant digit, plus its exponent, is positive.
bool number_overflows(const unsigned char* s, size_t n) {
  size_t i = 0;
  if (i < n && s[i] == '-') i++;
  long long point = 0;  // digits before the point, counted from the first significant one
  bool seen = false, after_point = false;
  for (; i < n && s[i] != 'e' && s[i] != 'E'; i++) {
    if (s[i] == '.') {
      after_point = true;
      continue;
    }
    if (s[i] != '0') seen = true;
    if (!seen) {
      if (after_point) point--;
      continue;
    }
    if (!after_point) point++;
  }
  if (!seen) return false;
  long long e = 0;
  if (i < n) {
    i++;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    for (; i < n; i++)
      if (e < 100000000) e = e * 10 + (s[i] - '0');
    if (neg) e = -e;
  }
  return point + e > 0;
}

// Exact powers of ten for the short-number path: each is a double and, up to 1e10, a float.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Short plain numbers ("0.25", "-12.5", "786100000.25") as an exact integer divided by an
// exact power of ten: one correctly rounded operation, so the same value from_chars gives.
template <typename T>
bool short_number(const char* s, size_t n, T* out) {
  constexpr uint64_t kMaxMantissa = sizeof(T) == 4 ? (1u << 24) : (1ull << 53);
  constexpr int kMaxPow = sizeof(T) == 4 ? 10 : 22;
  size_t i = 0;
  bool neg = s[0] == '-';
  if (neg) i++;
  uint64_t m = 0;
  int frac = -1;
  for (; i < n; i++) {
    char c = s[i];
    if (c == '.') {
      frac = 0;
      continue;
    }
    if (c < '0' || c > '9') return false;  // an exponent
    m = m * 10 + (uint64_t)(c - '0');
    if (m > kMaxMantissa) return false;  // too many digits to be exact
    if (frac >= 0) frac++;
  }
  if (frac > kMaxPow) return false;
  T x = (T)m;
  if (frac > 0) x = x / (T)kPow10[frac];
  *out = neg ? -x : x;
  return true;
}

template <typename T>
bool read_number(const RigJsonValue* v, T* out) {
  if (!v || v->type != RIGJSON_NUMBER) return false;
  const char* s = v->text + v->start;
  if (short_number(s, v->length, out)) return true;
  T x = 0;
  auto r = std::from_chars(s, s + v->length, x);
  if (r.ec == std::errc::result_out_of_range) {
    bool over = number_overflows((const unsigned char*)s, v->length);
    x = over ? HUGE_VAL : 0;
    if (s[0] == '-') x = -x;
  } else if (r.ec != std::errc()) {
    return false;
  }
  *out = x;
  return true;
}

}  // namespace

// --- Reader -------------------------------------------------------------------------------

int rigjson_validate(const char* text, size_t length, RigJsonValue* root, char* msg,
                     size_t msg_size) {
  if (msg && msg_size) msg[0] = 0;
  if (!text) length = 0;
  if (length > kPosMask) {
    put_msg(msg, msg_size, "bigger than 1 GB (%llu bytes)", (unsigned long long)length);
    return -1;
  }
  Scan s{(const unsigned char*)text, length, 0, false, 0, msg, msg_size};
  if (length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) s.p = 3;
  skip_ws(&s);
  if (s.p >= length) {
    put_msg(msg, msg_size, "no JSON value (empty)");
    return -1;
  }
  size_t start = s.p;
  if (scan_all(&s) != 0) return -1;
  if (root) {
    root->text = text;
    root->start = (uint32_t)start;
    root->length = (uint32_t)(s.root_end - start);
    root->type = type_of((unsigned char)text[start]);
  }
  return 0;
}

void rigjson_iter(const RigJsonValue* container, RigJsonIter* it) {
  if (!it) return;
  it->container = container ? *container : RigJsonValue{nullptr, 0, 0, RIGJSON_NULL};
  it->pos = container ? container->start + 1 : 0;
}

namespace {

bool next_value(RigJsonIter* it, RigJsonValue* name, RigJsonValue* value, bool lazy) {
  if (!it) return false;
  const RigJsonValue& c = it->container;
  if (c.type != RIGJSON_ARRAY && c.type != RIGJSON_OBJECT) return false;
  if (it->pos & kDone) return false;
  const unsigned char* t = (const unsigned char*)c.text;
  size_t p = it->pos & kPosMask;
  if (it->pos & kPending) p = end_of_value(t, p);  // handed out lazily and not walked
  skip_ws_at(t, &p);
  if (t[p] == ']' || t[p] == '}') {
    it->pos = (uint32_t)(p + 1) | kDone;
    return false;
  }
  if (t[p] == ',') {
    p++;
    skip_ws_at(t, &p);
  }
  if (c.type == RIGJSON_OBJECT) {
    size_t e = end_of_string(t, p);
    if (name) *name = RigJsonValue{c.text, (uint32_t)p, (uint32_t)(e - p), RIGJSON_STRING};
    p = e;
    skip_ws_at(t, &p);
    p++;  // the colon
    skip_ws_at(t, &p);
  }
  RigJsonType type = type_of(t[p]);
  if (lazy && (type == RIGJSON_ARRAY || type == RIGJSON_OBJECT)) {
    if (value) *value = RigJsonValue{c.text, (uint32_t)p, 0, type};
    it->pos = (uint32_t)p | kPending;
    return true;
  }
  size_t e = end_of_value(t, p);
  if (value) *value = RigJsonValue{c.text, (uint32_t)p, (uint32_t)(e - p), type};
  it->pos = (uint32_t)e;
  return true;
}

}  // namespace

bool rigjson_next(RigJsonIter* it, RigJsonValue* name, RigJsonValue* value) {
  return next_value(it, name, value, false);
}

bool rigjson_next_lazy(RigJsonIter* it, RigJsonValue* name, RigJsonValue* value) {
  return next_value(it, name, value, true);
}

void rigjson_iter_past(RigJsonIter* it, const RigJsonIter* child) {
  if (!it || !child || !(it->pos & kPending) || !(child->pos & kDone)) return;
  if ((it->pos & kPosMask) != child->container.start) return;
  it->pos = child->pos & kPosMask;
}

uint32_t rigjson_length(const RigJsonValue* v) {
  if (!v || !v->text) return 0;
  if (v->length) return v->length;
  return (uint32_t)(end_of_value((const unsigned char*)v->text, v->start) - v->start);
}

int rigjson_count(const RigJsonValue* v) {
  if (!v || (v->type != RIGJSON_ARRAY && v->type != RIGJSON_OBJECT)) return 0;
  RigJsonIter it;
  rigjson_iter(v, &it);
  int n = 0;
  while (rigjson_next(&it, nullptr, nullptr)) n++;
  return n;
}

bool rigjson_string_equals(const RigJsonValue* v, const char* s) {
  if (!v || v->type != RIGJSON_STRING || !s) return false;
  const unsigned char* t = (const unsigned char*)v->text;
  size_t p = v->start + 1, end = (size_t)v->start + v->length - 1;
  const unsigned char* q = (const unsigned char*)s;
  while (p < end) {
    if (t[p] != '\\') {
      if (*q != t[p]) return false;
      q++;
      p++;
      continue;
    }
    Piece piece;
    p = unescape_at(t, p, end, &piece);
    for (int k = 0; k < piece.n; k++, q++)
      if (*q != piece.b[k]) return false;
  }
  return *q == 0;
}

bool rigjson_string(const RigJsonValue* v, char* out, size_t size, bool* cut, bool* replaced) {
  if (cut) *cut = false;
  if (replaced) *replaced = false;
  if (!v || v->type != RIGJSON_STRING || !out || size == 0) return false;
  const unsigned char* t = (const unsigned char*)v->text;
  size_t p = v->start + 1, end = (size_t)v->start + v->length - 1;
  size_t o = 0, room = size - 1;
  bool was_cut = false, was_replaced = false;
  static const unsigned char kReplacement[3] = {0xEF, 0xBF, 0xBD};
  while (p < end) {
    unsigned char c = t[p];
    if (c < 0x80 && c != '\\') {
      size_t q = p + 1;
      while (q + 8 <= end && plain8(t + q)) q += 8;
      while (q < end && t[q] < 0x80 && t[q] != '\\') q++;
      size_t n = q - p;
      if (n > room - o) {
        memcpy(out + o, t + p, room - o);
        o = room;
        was_cut = true;
        break;
      }
      memcpy(out + o, t + p, n);
      o += n;
      p = q;
      continue;
    }
    Piece piece;
    const unsigned char* bytes = piece.b;
    if (c == '\\') {
      p = unescape_at(t, p, end, &piece);
      if (piece.replaced) was_replaced = true;
    } else {
      size_t bad = 1;
      int k = text_utf8_sequence((const char*)t + p, end - p, &bad);
      if (k == 0) {
        bytes = kReplacement;
        piece.n = 3;
        was_replaced = true;
        p += bad;
      } else {
        bytes = t + p;
        piece.n = k;
        p += (size_t)k;
      }
    }
    if (o + (size_t)piece.n > room) {
      was_cut = true;
      break;
    }
    memcpy(out + o, bytes, (size_t)piece.n);
    o += (size_t)piece.n;
  }
  memset(out + o, 0, size - o);
  if (cut) *cut = was_cut;
  if (replaced) *replaced = was_replaced;
  return true;
}

bool rigjson_double(const RigJsonValue* v, double* out) {
  return read_number(v, out);
}

bool rigjson_float(const RigJsonValue* v, float* out) {
  return read_number(v, out);
}

bool rigjson_int(const RigJsonValue* v, int64_t* out) {
  if (!v || v->type != RIGJSON_NUMBER) return false;
  bool plain, fits;
  int64_t x = parse_plain_int((const unsigned char*)v->text + v->start, v->length, &plain, &fits);
  if (plain) {
    if (!fits) return false;  // beyond int64, so beyond 9.2e18 too
    if (out) *out = x;
    return true;
  }
  double d;
  if (!rigjson_double(v, &d)) return false;
  if (!(std::fabs(d) < 9.2e18) || d != std::floor(d)) return false;
  if (out) *out = (int64_t)d;
  return true;
}

bool rigjson_bool(const RigJsonValue* v, bool* out) {
  if (!v || (v->type != RIGJSON_TRUE && v->type != RIGJSON_FALSE)) return false;
  if (out) *out = v->type == RIGJSON_TRUE;
  return true;
}
