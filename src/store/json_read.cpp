#include "store/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store/json_number.h"

// ---------------------------------------------------------------------------------------------
// Document memory
//
// A document is three pieces: the copy of its input, the block of values, and blocks of decoded
// strings. All three go back to the thread's cache when the document is freed, so the next parse
// writes into memory that is already mapped.

struct JsonStringBlock {
  JsonStringBlock* previous;
  size_t size;  // usable bytes after this header
  size_t used;
};

struct JsonDoc {
  char* text;  // the input, copied and terminated
  size_t text_capacity;
  size_t length;      // input length in bytes
  JsonValue* values;  // values[0] is the root
  size_t value_count;
  size_t value_capacity;
  JsonStringBlock* strings;  // newest first
};

// A cached document bigger than this is freed rather than kept for the thread's next parse.
static const size_t kCacheMaxBytes = (size_t)64 << 20;
// The copy's terminator and the zero bytes after it: string scans read a word at a time.
static const size_t kTextEnd = 8;
static const size_t kFirstStringBlock = 4096;
static const size_t kMaxStringBlock = (size_t)1 << 20;

static size_t doc_bytes(const JsonDoc* doc) {
  size_t n = doc->text_capacity + doc->value_capacity * sizeof(JsonValue);
  for (const JsonStringBlock* b = doc->strings; b; b = b->previous) n += b->size;
  return n;
}

static void free_string_blocks(JsonStringBlock* b) {
  while (b) {
    JsonStringBlock* previous = b->previous;
    free(b);
    b = previous;
  }
}

static void doc_destroy(JsonDoc* doc) {
  if (!doc) return;
  free(doc->text);
  free(doc->values);
  free_string_blocks(doc->strings);
  free(doc);
}

namespace {

struct ParseCache {
  JsonDoc* doc = nullptr;
  bool closed = false;  // the thread is ending: nothing more is kept
  ~ParseCache() {
    closed = true;
    doc_destroy(doc);
    doc = nullptr;
  }
};

thread_local ParseCache t_parse_cache;

}  // namespace

// Values a text of length bytes usually needs: meta.json spends about six bytes a value on
// numbers and separators. A denser text grows the block.
static size_t value_estimate(size_t length) {
  return length / 6 + 16;
}

// The thread's cached document (or a new one) with room for length bytes of text.
static JsonDoc* doc_take(size_t length) {
  ParseCache& cache = t_parse_cache;
  JsonDoc* doc = cache.closed ? nullptr : cache.doc;
  if (doc) {
    cache.doc = nullptr;
  } else {
    doc = (JsonDoc*)calloc(1, sizeof(JsonDoc));
    if (!doc) return nullptr;
  }
  doc->length = 0;
  doc->value_count = 0;
  if (doc->text_capacity < length + kTextEnd) {
    // the old text is not needed: no copy
    free(doc->text);
    doc->text = (char*)malloc(length + kTextEnd);
    doc->text_capacity = doc->text ? length + kTextEnd : 0;
  }
  size_t want = value_estimate(length);
  if (doc->value_capacity < want) {
    free(doc->values);
    doc->values = (JsonValue*)malloc(want * sizeof(JsonValue));
    doc->value_capacity = doc->values ? want : 0;
  }
  if (!doc->text || !doc->values) {
    doc_destroy(doc);
    return nullptr;
  }
  return doc;
}

// Keeps doc's memory for the thread's next parse while the whole stays under the cap; of two
// documents the larger is kept. Several string blocks become one that holds them all, so the
// next document like this one needs no new block.
static void doc_keep(JsonDoc* doc) {
  ParseCache& cache = t_parse_cache;
  JsonStringBlock* b = doc->strings;
  if (b && b->previous) {
    size_t used = 0;
    for (const JsonStringBlock* o = b; o; o = o->previous) used += o->used;
    if (used > b->size) {
      free_string_blocks(b);
      b = (JsonStringBlock*)malloc(sizeof(JsonStringBlock) + used);
      if (b) b->size = used;
    } else {
      free_string_blocks(b->previous);
    }
    if (b) b->previous = nullptr;
    doc->strings = b;
  }
  if (b) b->used = 0;
  size_t bytes = doc_bytes(doc);
  if (cache.closed || bytes > kCacheMaxBytes) {
    doc_destroy(doc);
    return;
  }
  if (cache.doc && doc_bytes(cache.doc) < bytes) {
    JsonDoc* smaller = cache.doc;
    cache.doc = doc;
    doc = smaller;
  }
  if (!cache.doc) {
    cache.doc = doc;
    return;
  }
  doc_destroy(doc);
}

void json_cache_release() {
  ParseCache& cache = t_parse_cache;
  doc_destroy(cache.doc);
  cache.doc = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Reader

namespace {

enum : uint8_t { CH_SPACE = 1, CH_STRING_STOP = 2, CH_DIGIT = 4 };

struct CharTable {
  uint8_t c[256];
  constexpr CharTable() : c() {
    c[(int)' '] = c[(int)'\t'] = c[(int)'\n'] = c[(int)'\r'] = CH_SPACE;
    for (int i = 0; i < 0x20; i++) c[i] |= CH_STRING_STOP;
    c[(int)'"'] |= CH_STRING_STOP;
    c[(int)'\\'] |= CH_STRING_STOP;
    for (int i = '0'; i <= '9'; i++) c[i] |= CH_DIGIT;
  }
};
constexpr CharTable kChars;

inline bool is_space(char c) {
  return kChars.c[(uint8_t)c] & CH_SPACE;
}
inline bool is_digit(char c) {
  return kChars.c[(uint8_t)c] & CH_DIGIT;
}
inline bool is_string_stop(char c) {
  return kChars.c[(uint8_t)c] & CH_STRING_STOP;
}

struct Parser {
  const char* raw;  // start of the copy (input offset 0); terminated at end
  const char* end;
  JsonDoc* doc;
  JsonValue* values;  // the document's block, grown as values are added
  size_t count;
  size_t capacity;
  int depth;
  const char* error_at;  // null: out of memory
  const char* error;
};

inline const char* skip_space(const char* p) {
  while (is_space(*p)) p++;
  return p;
}

inline bool fail(Parser* P, const char* at, const char* message) {
  P->error_at = at;
  P->error = message;
  return false;
}

inline bool fail_memory(Parser* P) {
  P->error_at = nullptr;
  P->error = "out of memory";
  return false;
}

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hexadecimal digits at s, or -1. Stops at the first non-digit, so never reads past the
// terminator.
inline int hex4(const char* s) {
  int v = 0;
  for (int i = 0; i < 4; i++) {
    int d = hex_digit(s[i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

inline char* put_utf8(char* o, uint32_t cp) {
  if (cp < 0x80) {
    *o++ = (char)cp;
  } else if (cp < 0x800) {
    *o++ = (char)(0xC0 | (cp >> 6));
    *o++ = (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *o++ = (char)(0xE0 | (cp >> 12));
    *o++ = (char)(0x80 | ((cp >> 6) & 0x3F));
    *o++ = (char)(0x80 | (cp & 0x3F));
  } else {
    *o++ = (char)(0xF0 | (cp >> 18));
    *o++ = (char)(0x80 | ((cp >> 12) & 0x3F));
    *o++ = (char)(0x80 | ((cp >> 6) & 0x3F));
    *o++ = (char)(0x80 | (cp & 0x3F));
  }
  return o;
}

// Makes room for at least one more value. Values are found by index while a container is open,
// so the block may move.
static bool grow_values(Parser* P) {
  size_t cap = P->capacity * 2;
  if (cap < 64) cap = 64;
  if (cap > SIZE_MAX / sizeof(JsonValue)) return false;
  JsonValue* v = (JsonValue*)realloc(P->values, cap * sizeof(JsonValue));
  if (!v) return false;
  P->values = P->doc->values = v;
  P->capacity = P->doc->value_capacity = cap;
  return true;
}

inline JsonValue* push_value(Parser* P, const char* at) {
  if (P->count == P->capacity && !grow_values(P)) return nullptr;
  JsonValue* v = &P->values[P->count++];
  v->offset = (uint32_t)(at - P->raw);
  return v;
}

// n bytes for a decoded string, from the newest string block or a new one.
char* string_block(Parser* P, size_t n) __attribute__((noinline));
char* string_block(Parser* P, size_t n) {
  JsonStringBlock* b = P->doc->strings;
  size_t size =
      b ? (b->size >= kMaxStringBlock / 2 ? kMaxStringBlock : b->size * 2) : kFirstStringBlock;
  if (size < n) size = n;
  if (size > SIZE_MAX - sizeof(JsonStringBlock)) return nullptr;
  JsonStringBlock* nb = (JsonStringBlock*)malloc(sizeof(JsonStringBlock) + size);
  if (!nb) return nullptr;
  nb->previous = b;
  nb->size = size;
  nb->used = n;
  P->doc->strings = nb;
  return (char*)(nb + 1);
}

inline char* string_space(Parser* P, size_t n) {
  JsonStringBlock* b = P->doc->strings;
  if (!b || b->size - b->used < n) return string_block(P, n);
  char* p = (char*)(b + 1) + b->used;
  b->used += n;
  return p;
}

// Space for a decoded string of at most bound bytes and its terminator; a long one gets its
// length field in front.
char* string_start(Parser* P, size_t bound) {
  bool isLong = bound >= JSON_V_LONG_STRING;
  if (bound > SIZE_MAX - 16) return nullptr;
  char* p = string_space(P, bound + 1 + (isLong ? sizeof(uint64_t) : 0));
  return p && isLong ? p + sizeof(uint64_t) : p;
}

void string_finish(JsonValue* v, char* text, size_t n, uint32_t flags) {
  text[n] = 0;
  uint32_t field = n < JSON_V_LONG_STRING ? (uint32_t)n : JSON_V_LONG_STRING;
  if (field == JSON_V_LONG_STRING) {
    uint64_t stored = n;
    memcpy(text - sizeof stored, &stored, sizeof stored);
  }
  v->bits = JSON_STRING | flags | (field << JSON_V_LENGTH_SHIFT);
  v->as.string = text;
}

// The first '"', '\\' or control character (the terminator among them) at or after s. Reads a
// word at a time: the copy is padded so that the word holding the terminator lies inside it.
inline const char* string_stop(const char* s) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const uint64_t ones = 0x0101010101010101u;
  for (;; s += 8) {
    uint64_t w;
    memcpy(&w, s, sizeof w);
    uint64_t quote = w ^ (ones * '"');
    uint64_t slash = w ^ (ones * '\\');
    // a byte's high bit is set where it is zero (or below 0x20); borrows only ever mark bytes
    // above the first such byte, so the lowest mark is exact
    uint64_t found =
        ((quote - ones) & ~quote) | ((slash - ones) & ~slash) | ((w - ones * 0x20) & ~w);
    found &= ones * 0x80;
    if (found) return s + (__builtin_ctzll(found) >> 3);
  }
#else
  while (!is_string_stop(*s)) s++;
  return s;
#endif
}

bool parse_string_escaped(Parser* P, const char*& p, JsonValue* v, uint32_t flags, const char* q)
    __attribute__((noinline));

// p at the opening quote. Fills v (a string, or a key) with the decoded text.
inline bool parse_string(Parser* P, const char*& p, JsonValue* v, uint32_t flags) {
  const char* s = p + 1;
  const char* q = string_stop(s);
  size_t n = (size_t)(q - s);
  if (*q != '"' || n >= JSON_V_LONG_STRING) return parse_string_escaped(P, p, v, flags, q);
  p = q + 1;
  if (n == 0) {
    v->bits = JSON_STRING | flags;
    v->as.string = "";
    return true;
  }
  char* base = string_space(P, n + 1);
  if (!base) return fail_memory(P);
  memcpy(base, s, n);
  base[n] = 0;
  v->bits = JSON_STRING | flags | ((uint32_t)n << JSON_V_LENGTH_SHIFT);
  v->as.string = base;
  return true;
}

// A string with escapes (or errors, or one too long for the length field), from q, where the
// plain run from p + 1 stops. Every escape is at least as long as what it stands for, so the
// text's length bounds the decoded length.
bool parse_string_escaped(Parser* P, const char*& p, JsonValue* v, uint32_t flags, const char* q) {
  const char* s = p + 1;
  size_t bound = (size_t)(q - s);
  if (*q != '"') {
    // escapes: find the closing quote to bound the decoded text
    const char* e = q;
    while (e < P->end && *e != '"') e += (*e == '\\' && e + 1 < P->end) ? 2 : 1;
    bound = (size_t)(e - s);
  }
  char* base = string_start(P, bound);
  if (!base) return fail_memory(P);
  memcpy(base, s, (size_t)(q - s));
  if (*q == '"') {
    string_finish(v, base, (size_t)(q - s), flags);
    p = q + 1;
    return true;
  }
  char* o = base + (q - s);
  for (;;) {
    char c = *q;
    if (!is_string_stop(c)) {
      *o++ = c;
      q++;
      continue;
    }
    if (c == '"') break;
    if (c != '\\') {
      if (q == P->end) return fail(P, q, "unterminated string");
      return fail(P, q, "control character in a string");
    }
    const char* esc = q;
    switch (q[1]) {
      case '"':
        *o++ = '"';
        break;
      case '/':
        *o++ = '/';
        break;
      case '\\':
        *o++ = '\\';
        break;
      case 'b':
        *o++ = '\b';
        break;
      case 'f':
        *o++ = '\f';
        break;
      case 'n':
        *o++ = '\n';
        break;
      case 'r':
        *o++ = '\r';
        break;
      case 't':
        *o++ = '\t';
        break;
      case 'u': {
        int cp = hex4(q + 2);
        if (cp < 0) return fail(P, esc, "bad \\u escape");
        q += 6;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          int lo = (q[0] == '\\' && q[1] == 'u') ? hex4(q + 2) : -1;
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            q += 6;
          } else {
            cp = 0xFFFD;
          }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
          cp = 0xFFFD;
        }
        o = put_utf8(o, (uint32_t)cp);
        continue;
      }
      default:
        if (q + 1 == P->end) return fail(P, P->end, "unterminated string");
        return fail(P, esc, "bad escape in a string");
    }
    q += 2;
  }
  string_finish(v, base, (size_t)(o - base), flags);
  p = q + 1;
  return true;
}

bool parse_number(Parser* P, const char*& p, JsonValue* v, uint32_t flags) {
  const char* s = p;
  bool neg = false;
  if (*p == '-') {
    neg = true;
    p++;
  }
  uint64_t mant = 0;  // every digit, the point ignored, while at most 19 were seen
  int digits = 0;
  if (*p == '0') {
    p++;
    digits = 1;
  } else if (*p >= '1' && *p <= '9') {
    do {
      if (digits < 19) mant = mant * 10 + (uint64_t)(*p - '0');
      digits++;
      p++;
    } while (is_digit(*p));
  } else {
    return fail(P, p, "bad number");
  }
  int intDigits = digits;
  int fracDigits = 0;
  bool fraction = false, exponent = false;
  if (*p == '.') {
    p++;
    if (!is_digit(*p)) return fail(P, p, "bad number: a digit must follow '.'");
    fraction = true;
    do {
      if (digits < 19) mant = mant * 10 + (uint64_t)(*p - '0');
      digits++;
      fracDigits++;
      p++;
    } while (is_digit(*p));
  }
  long exp10 = 0;
  if (*p == 'e' || *p == 'E') {
    p++;
    bool eneg = false;
    if (*p == '+' || *p == '-') eneg = *p++ == '-';
    if (!is_digit(*p)) return fail(P, p, "bad number: a digit must follow the exponent");
    exponent = true;
    do {
      if (exp10 < 100000000) exp10 = exp10 * 10 + (*p - '0');
      p++;
    } while (is_digit(*p));
    if (eneg) exp10 = -exp10;
  }
  if (!fraction && !exponent && intDigits <= 19 &&
      mant <= (neg ? (uint64_t)1 << 63 : ((uint64_t)1 << 63) - 1)) {
    // the double is made on demand: int64 -> double rounds to nearest, exactly as the decimal
    // conversion would
    v->bits = JSON_NUMBER | flags | JSON_V_INTEGER | (neg && mant == 0 ? JSON_V_MINUS_ZERO : 0);
    v->as.integer = neg ? (int64_t)(0 - mant) : (int64_t)mant;
    return true;
  }
  v->bits = JSON_NUMBER | flags;
  // Exact fast path: both the digits and the power of ten are exact doubles, so one correctly
  // rounded operation gives the correctly rounded result.
  long e = exp10 - fracDigits;
  if (digits <= 19 && mant <= ((uint64_t)1 << 53) && e >= -22 && e <= 22) {
    double d = (double)mant;
    d = e < 0 ? d / kJsonPow10[-e] : d * kJsonPow10[e];
    v->as.number = neg ? -d : d;
    return true;
  }
  v->as.number = json_text_to_double(s, (size_t)(p - s));
  return true;
}

bool parse_value(Parser* P, const char*& p, uint32_t flags);

// index: the array's own value, whose count and span are known once it closes.
bool parse_array(Parser* P, const char*& p, size_t index, uint32_t flags) {
  if (P->depth == JSON_MAX_DEPTH) return fail(P, p, "nesting deeper than 64");
  P->depth++;
  p = skip_space(p + 1);
  uint32_t n = 0;
  if (*p == ']') {
    p++;
  } else {
    for (;;) {
      p = skip_space(p);
      if (!parse_value(P, p, 0)) return false;
      n++;
      p = skip_space(p);
      if (*p == ',') {
        p++;
        continue;
      }
      if (*p == ']') {
        p++;
        break;
      }
      return fail(P, p, "expected ',' or ']'");
    }
  }
  JsonValue* v = &P->values[index];
  v->bits = JSON_ARRAY | flags;
  v->as.children.count = n;
  // a text under 4 GiB holds fewer than 2^32 values
  v->as.children.span = (uint32_t)(P->count - index);
  P->depth--;
  return true;
}

bool parse_object(Parser* P, const char*& p, size_t index, uint32_t flags) {
  if (P->depth == JSON_MAX_DEPTH) return fail(P, p, "nesting deeper than 64");
  P->depth++;
  p = skip_space(p + 1);
  uint32_t n = 0;
  if (*p == '}') {
    p++;
  } else {
    for (;;) {
      p = skip_space(p);
      if (*p != '"') return fail(P, p, "expected a string key");
      JsonValue* key = push_value(P, p);
      if (!key) return fail_memory(P);
      if (!parse_string(P, p, key, 0)) return false;
      p = skip_space(p);
      if (*p != ':') return fail(P, p, "expected ':'");
      p = skip_space(p + 1);
      if (!parse_value(P, p, JSON_V_MEMBER)) return false;
      n++;
      p = skip_space(p);
      if (*p == ',') {
        p++;
        continue;
      }
      if (*p == '}') {
        p++;
        break;
      }
      return fail(P, p, "expected ',' or '}'");
    }
  }
  JsonValue* v = &P->values[index];
  v->bits = JSON_OBJECT | flags;
  v->as.children.count = n;
  v->as.children.span = (uint32_t)(P->count - index);
  P->depth--;
  return true;
}

inline bool literal(const char* p, const char* word) {
  // The text is terminated, and the comparison stops at the first difference.
  for (; *word; word++, p++)
    if (*p != *word) return false;
  return true;
}

bool parse_value(Parser* P, const char*& p, uint32_t flags) {
  size_t index = P->count;
  JsonValue* v = push_value(P, p);
  if (!v) return fail_memory(P);
  switch (*p) {
    case '"':
      return parse_string(P, p, v, flags);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return parse_number(P, p, v, flags);
    case '{':
      return parse_object(P, p, index, flags);
    case '[':
      return parse_array(P, p, index, flags);
    case 't':
      if (!literal(p, "true")) return fail(P, p, "expected a value");
      v->bits = JSON_BOOL | JSON_V_TRUE | flags;
      p += 4;
      return true;
    case 'f':
      if (!literal(p, "false")) return fail(P, p, "expected a value");
      v->bits = JSON_BOOL | flags;
      p += 5;
      return true;
    case 'n':
      if (!literal(p, "null")) return fail(P, p, "expected a value");
      v->bits = JSON_NULL | flags;
      p += 4;
      return true;
    default:
      if (p == P->end) return fail(P, p, "expected a value, found the end of the text");
      return fail(P, p, "expected a value");
  }
}

void set_message(char* message, size_t size, const char* text) {
  if (message && size > 0) snprintf(message, size, "%s", text);
}

// Bytes of the number text at s (the text is terminated).
size_t number_length(const char* s) {
  const char* p = s;
  if (*p == '-') p++;
  while (is_digit(*p)) p++;
  if (*p == '.') {
    p++;
    while (is_digit(*p)) p++;
  }
  if (*p == 'e' || *p == 'E') {
    p++;
    if (*p == '+' || *p == '-') p++;
    while (is_digit(*p)) p++;
  }
  return (size_t)(p - s);
}

// Offset just past the value's text; past the input's length when the value does not belong to
// this text.
size_t value_end(const JsonDoc* doc, const JsonValue* v) {
  const char* t = doc->text;
  size_t at = v->offset;
  if (at >= doc->length) return doc->length + 1;
  switch (v->bits & JSON_V_TYPE) {
    case JSON_NULL:
      return at + 4;
    case JSON_BOOL:
      return at + ((v->bits & JSON_V_TRUE) ? 4 : 5);
    case JSON_NUMBER:
      return at + number_length(t + at);
    case JSON_STRING: {
      size_t q = at + 1;
      while (q < doc->length && t[q] != '"') q += t[q] == '\\' ? 2 : 1;
      return q + 1;
    }
    default: {
      uint32_t n = v->as.children.count;
      size_t from = n == 0 ? at + 1 : value_end(doc, json_at(v, n - 1));
      if (from >= doc->length) return doc->length + 1;
      return (size_t)(skip_space(t + from) - t) + 1;  // through the closing bracket
    }
  }
}

}  // namespace

void json_free(JsonDoc* doc) {
  if (doc) doc_keep(doc);
}

JsonDoc* json_parse(const char* text, size_t length, char* message, size_t messageSize) {
  if (message && messageSize > 0) message[0] = 0;
  if (!text && length > 0) {
    set_message(message, messageSize, "no text");
    return nullptr;
  }
  // offsets are kept in 32 bits
  if (length > UINT32_MAX || length > SIZE_MAX - kTextEnd) {
    set_message(message, messageSize, "text of 4 GiB or more");
    return nullptr;
  }
  if (!text) text = "";
  JsonDoc* doc = doc_take(length);
  if (!doc) {
    set_message(message, messageSize, "out of memory");
    return nullptr;
  }
  doc->length = length;
  memcpy(doc->text, text, length);
  memset(doc->text + length, 0, kTextEnd);

  Parser P = {};
  P.raw = doc->text;
  P.end = doc->text + length;
  P.doc = doc;
  P.values = doc->values;
  P.capacity = doc->value_capacity;

  const char* p = doc->text;
  if (length > 2 && (uint8_t)p[0] == 0xEF && (uint8_t)p[1] == 0xBB && (uint8_t)p[2] == 0xBF) p += 3;
  p = skip_space(p);
  bool ok;
  if (p == P.end) {
    ok = fail(&P, p, "empty document");
  } else {
    ok = parse_value(&P, p, 0);
    if (ok) {
      p = skip_space(p);
      if (p != P.end) ok = fail(&P, p, "unexpected text after the value");
    }
  }
  doc->value_count = P.count;
  if (ok) return doc;

  if (message && messageSize > 0) {
    if (!P.error_at) {
      set_message(message, messageSize, P.error);
    } else {
      size_t line = 1, col = 1;
      for (const char* c = doc->text; c < P.error_at; c++) {
        if (*c == '\n') {
          line++;
          col = 1;
        } else {
          col++;
        }
      }
      snprintf(message, messageSize, "line %zu col %zu: %s", line, col, P.error);
    }
  }
  json_free(doc);
  return nullptr;
}

const JsonValue* json_root(const JsonDoc* doc) {
  return doc && doc->value_count > 0 ? doc->values : nullptr;
}

const char* json_text(const JsonDoc* doc, size_t* length) {
  if (length) *length = doc ? doc->length : 0;
  return doc ? doc->text : nullptr;
}

bool json_is(const JsonValue* value, JsonType type) {
  return value && (value->bits & JSON_V_TYPE) == type;
}

const JsonValue* json_at(const JsonValue* container, uint32_t index) {
  uint32_t n = json_count(container);
  if (index >= n) return nullptr;
  bool object = (container->bits & JSON_V_TYPE) == JSON_OBJECT;
  uint32_t stride = object ? 2 : 1;
  // no child holds other values: they sit a fixed stride apart
  if (container->as.children.span == 1 + (uint64_t)stride * n)
    return container + 1 + (size_t)stride * index + (object ? 1 : 0);
  const JsonValue* v = json_first(container);
  for (; index > 0; index--) v = json_next(container, v);
  return v;
}

bool json_key_is(const JsonValue* value, const char* key, size_t length) {
  size_t n;
  const char* k = json_key(value, &n);
  return k && n == length && memcmp(k, key, length) == 0;
}

const JsonValue* json_get(const JsonValue* object, const char* key) {
  if (!json_is(object, JSON_OBJECT) || !key) return nullptr;
  size_t n = strlen(key);
  for (const JsonValue* c = json_first(object); c; c = json_next(object, c))
    if (json_string_length(c - 1) == n && memcmp(c[-1].as.string, key, n) == 0) return c;
  return nullptr;
}

int64_t json_int(const JsonValue* value, int64_t fallback) {
  if (!json_is(value, JSON_NUMBER)) return fallback;
  if (value->bits & JSON_V_INTEGER) return value->as.integer;
  double d = value->as.number;
  // -2^63 <= d < 2^63; NaN fails both comparisons
  if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) return (int64_t)d;
  return fallback;
}

const char* json_string(const JsonValue* value, const char* fallback) {
  return json_is(value, JSON_STRING) ? value->as.string : fallback;
}

// The float nearest mant / 10^frac when the double quotient settles it: the quotient is
// correctly rounded, so it lies on the same side of every point halfway between two floats as the
// exact value does, unless it lands on one. False then, and outside the normal float range.
static bool float_from_quotient(uint64_t mant, int frac, float* out) {
  if (mant > ((uint64_t)1 << 53) || frac > 22) return false;
  double d = (double)mant / kJsonPow10[frac];
  if (!(d >= 1.1754943508222875e-38 && d <= 3.4028234663852886e+38)) return false;
  uint64_t bits;
  memcpy(&bits, &d, sizeof bits);
  // the 29 mantissa bits a float drops: exactly one half of its last place
  if ((bits & ((1u << 29) - 1)) == (1u << 28)) return false;
  *out = (float)d;
  return true;
}

float json_float(const JsonDoc* doc, const JsonValue* value) {
  if (!json_is(value, JSON_NUMBER)) return 0.0f;
  if (!doc || value->offset >= doc->length) return (float)json_number(value, 0);
  const char* s = doc->text + value->offset;
  // Fast paths for short decimals like 0.4837: digits and a point, nothing after them.
  const char* p = s + (*s == '-');
  uint64_t mant = 0;
  int digits = 0, frac = 0;
  bool point = false;
  for (;; p++) {
    char c = *p;
    if (c == '.') {
      point = true;
    } else if (is_digit(c) && digits < 19) {
      mant = mant * 10 + (uint64_t)(c - '0');
      digits++;
      frac += point;
    } else {
      break;
    }
  }
  char c = *p;
  if (!is_digit(c) && c != '.' && c != 'e' && c != 'E') {
    float f;
    if (mant <= (1u << 24) && frac <= 10) {
      // both exact floats: one correctly rounded division
      f = (float)mant / kJsonPow10f[frac];
      return *s == '-' ? -f : f;
    }
    if (float_from_quotient(mant, frac, &f)) return *s == '-' ? -f : f;
  }
  size_t n = number_length(s);
  if (n > 79) return (float)json_number(value, 0);
  return json_text_to_float(s, n);
}

size_t json_source_length(const JsonDoc* doc, const JsonValue* value) {
  size_t n = 0;
  json_source(doc, value, &n);
  return n;
}

const char* json_source(const JsonDoc* doc, const JsonValue* value, size_t* length) {
  if (length) *length = 0;
  if (!doc || !value || !doc->text || value->offset >= doc->length) return nullptr;
  size_t end = value_end(doc, value);
  if (end > doc->length) return nullptr;
  if (length) *length = end - value->offset;
  return doc->text + value->offset;
}

const char* json_key_source(const JsonDoc* doc, const JsonValue* value, size_t* length) {
  if (length) *length = 0;
  if (!value || !(value->bits & JSON_V_MEMBER)) return nullptr;
  return json_source(doc, value - 1, length);
}

char* json_raw_text(const JsonDoc* doc, const JsonValue* value) {
  size_t n;
  const char* s = json_source(doc, value, &n);
  if (!s) return nullptr;
  char* out = (char*)malloc(n + 1);
  if (!out) return nullptr;
  memcpy(out, s, n);
  out[n] = 0;
  return out;
}
