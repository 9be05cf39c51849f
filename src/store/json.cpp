#include "store/json.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <locale.h>
typedef _locale_t CLocale;
static CLocale c_locale_create() {
  return _create_locale(LC_ALL, "C");
}
static void c_locale_free(CLocale l) {
  _free_locale(l);
}
static double c_strtod(const char* s, CLocale l) {
  return _strtod_l(s, nullptr, l);
}
static float c_strtof(const char* s, CLocale l) {
  return _strtof_l(s, nullptr, l);
}
#else
#include <locale.h>
typedef locale_t CLocale;
static CLocale c_locale_create() {
  return newlocale(LC_ALL_MASK, "C", (locale_t)0);
}
static void c_locale_free(CLocale l) {
  freelocale(l);
}
static double c_strtod(const char* s, CLocale l) {
  return strtod_l(s, nullptr, l);
}
static float c_strtof(const char* s, CLocale l) {
  return strtof_l(s, nullptr, l);
}
#endif

// ---------------------------------------------------------------------------------------------
// Number conversion. Decimal text is converted with the exact, locale-free std::from_chars; the
// rare texts it refuses (results that overflow to infinity or underflow to zero) go through the
// C locale's own conversion, so the outcome is always that of the C locale's strtod/strtof.

static std::atomic<CLocale> g_c_locale{(CLocale)0};

static CLocale c_locale() {
  CLocale l = g_c_locale.load(std::memory_order_acquire);
  if (l) return l;
  CLocale mine = c_locale_create();
  if (!mine) return (CLocale)0;
  CLocale expected = (CLocale)0;
  if (g_c_locale.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) return mine;
  c_locale_free(mine);  // another thread published first
  return expected;
}

// Whether a valid number text names a magnitude above 1 (used only for out-of-range results).
static bool text_is_large(const char* s, size_t n) {
  size_t i = 0;
  if (i < n && s[i] == '-') i++;
  long lead = 0;  // decimal exponent of the first non-zero digit
  bool seen = false, point = false;
  long exp10 = 0;
  for (; i < n; i++) {
    char c = s[i];
    if (c == '.') {
      point = true;
    } else if (c >= '0' && c <= '9') {
      if (!seen && c != '0') {
        seen = true;
      } else if (!seen && point) {
        lead--;
      }
      if (seen && !point) lead++;
    } else {
      break;
    }
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    i++;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    for (; i < n && s[i] >= '0' && s[i] <= '9'; i++)
      if (exp10 < 100000000) exp10 = exp10 * 10 + (s[i] - '0');
    if (neg) exp10 = -exp10;
  }
  return seen && lead + exp10 > 0;
}

template <typename T>
static T convert_text(const char* s, size_t n) {
  T v = 0;
  std::from_chars_result r = std::from_chars(s, s + n, v);
  if (r.ec == std::errc() && r.ptr == s + n) return v;
  CLocale loc = c_locale();
  if (loc) {
    char small[128];
    char* buf = n < sizeof small ? small : (char*)malloc(n + 1);
    if (buf) {
      memcpy(buf, s, n);
      buf[n] = 0;
      if constexpr (sizeof(T) == sizeof(float)) {
        v = c_strtof(buf, loc);
      } else {
        v = c_strtod(buf, loc);
      }
      if (buf != small) free(buf);
      return v;
    }
  }
  // No locale to ask: an out-of-range result is infinity or zero.
  bool neg = n > 0 && s[0] == '-';
  T mag = text_is_large(s, n) ? (T)INFINITY : (T)0;
  return neg ? -mag : mag;
}

static const double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
static const float kPow10f[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                  1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// ---------------------------------------------------------------------------------------------
// Arena

struct JsonArenaBlock {
  JsonArenaBlock* previous;
  size_t size;  // usable bytes after this header
  size_t used;
};

static const size_t kArenaFirstBlock = 64 * 1024;
static const size_t kArenaMaxBlock = 8 * 1024 * 1024;

static void* arena_alloc(JsonArena* a, size_t n) {
  n = (n + 7) & ~(size_t)7;
  JsonArenaBlock* b = a->newest;
  if (b && b->size - b->used >= n) {
    void* p = (char*)(b + 1) + b->used;
    b->used += n;
    return p;
  }
  size_t size = a->nextBlockSize ? a->nextBlockSize : kArenaFirstBlock;
  if (size < n) size = n;
  JsonArenaBlock* nb = (JsonArenaBlock*)malloc(sizeof(JsonArenaBlock) + size);
  if (!nb) return nullptr;
  nb->previous = b;
  nb->size = size;
  nb->used = n;
  a->newest = nb;
  a->nextBlockSize = size >= kArenaMaxBlock / 2 ? kArenaMaxBlock : size * 2;
  return nb + 1;
}

static void arena_free(JsonArena* a) {
  JsonArenaBlock* b = a->newest;
  while (b) {
    JsonArenaBlock* prev = b->previous;
    free(b);
    b = prev;
  }
  a->newest = nullptr;
  a->nextBlockSize = 0;
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
  const char* raw;  // start of the raw copy (input offset 0); terminated at end
  const char* end;
  char* dec;  // decoded copy, same offsets as raw
  JsonArena* arena;
  int depth;
  const char* errorAt;  // null: out of memory
  const char* error;
};

inline const char* skip_space(const char* p) {
  while (is_space(*p)) p++;
  return p;
}

inline bool fail(Parser* P, const char* at, const char* message) {
  P->errorAt = at;
  P->error = message;
  return false;
}

inline bool fail_memory(Parser* P) {
  P->errorAt = nullptr;
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

// p at the opening quote. Decodes into the decoded copy at the same offset; every escape is at
// least as long as what it stands for, so the output never overtakes the input.
bool parse_string(Parser* P, const char*& p, const char** out, uint32_t* outLength) {
  const char* s = p + 1;
  const char* q = s;
  while (!is_string_stop(*q)) q++;
  char* base = P->dec + (s - P->raw);
  // Lengths are kept in 32 bits; a longer string is more than this reader is built for.
  if ((uint64_t)(q - s) > UINT32_MAX) return fail_memory(P);
  memcpy(base, s, (size_t)(q - s));
  if (*q == '"') {
    base[q - s] = 0;
    *out = base;
    *outLength = (uint32_t)(q - s);
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
  if ((uint64_t)(o - base) > UINT32_MAX) return fail_memory(P);
  *o = 0;
  *out = base;
  *outLength = (uint32_t)(o - base);
  p = q + 1;
  return true;
}

bool parse_number(Parser* P, const char*& p, JsonValue* v) {
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
  v->type = JSON_NUMBER;
  if (!fraction && !exponent && intDigits <= 19 &&
      mant <= (neg ? (uint64_t)1 << 63 : ((uint64_t)1 << 63) - 1)) {
    v->isInteger = 1;
    v->integer = neg ? (int64_t)(0 - mant) : (int64_t)mant;
    // int64 -> double rounds to nearest, exactly as the decimal conversion would
    v->number = (neg && mant == 0) ? -0.0 : (double)v->integer;
    return true;
  }
  // Exact fast path: both the digits and the power of ten are exact doubles, so one correctly
  // rounded operation gives the correctly rounded result.
  long e = exp10 - fracDigits;
  if (digits <= 19 && mant <= ((uint64_t)1 << 53) && e >= -22 && e <= 22) {
    double d = (double)mant;
    d = e < 0 ? d / kPow10[-e] : d * kPow10[e];
    v->number = neg ? -d : d;
    return true;
  }
  v->number = convert_text<double>(s, (size_t)(p - s));
  return true;
}

bool parse_value(Parser* P, const char*& p, JsonValue** out);

inline JsonValue* new_value(Parser* P, const char* at) {
  JsonValue* v = (JsonValue*)arena_alloc(P->arena, sizeof(JsonValue));
  if (v) {
    *v = JsonValue{};
    v->sourceOffset = (uint64_t)(at - P->raw);
  }
  return v;
}

bool parse_array(Parser* P, const char*& p, JsonValue* v) {
  v->type = JSON_ARRAY;
  if (P->depth == JSON_MAX_DEPTH) return fail(P, p, "nesting deeper than 64");
  P->depth++;
  p = skip_space(p + 1);
  if (*p == ']') {
    p++;
    P->depth--;
    return true;
  }
  JsonValue** tail = &v->firstChild;
  for (;;) {
    p = skip_space(p);
    JsonValue* c;
    if (!parse_value(P, p, &c)) return false;
    *tail = c;
    tail = &c->next;
    if (++v->count == 0) return fail_memory(P);
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
  P->depth--;
  return true;
}

bool parse_object(Parser* P, const char*& p, JsonValue* v) {
  v->type = JSON_OBJECT;
  if (P->depth == JSON_MAX_DEPTH) return fail(P, p, "nesting deeper than 64");
  P->depth++;
  p = skip_space(p + 1);
  if (*p == '}') {
    p++;
    P->depth--;
    return true;
  }
  JsonValue** tail = &v->firstChild;
  for (;;) {
    p = skip_space(p);
    if (*p != '"') return fail(P, p, "expected a string key");
    const char* key;
    uint32_t keyLength;
    if (!parse_string(P, p, &key, &keyLength)) return false;
    p = skip_space(p);
    if (*p != ':') return fail(P, p, "expected ':'");
    p = skip_space(p + 1);
    JsonValue* c;
    if (!parse_value(P, p, &c)) return false;
    c->key = key;
    c->keyLength = keyLength;
    *tail = c;
    tail = &c->next;
    if (++v->count == 0) return fail_memory(P);
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
  P->depth--;
  return true;
}

inline bool literal(const char* p, const char* word) {
  // The text is terminated, and the comparison stops at the first difference.
  for (; *word; word++, p++)
    if (*p != *word) return false;
  return true;
}

bool parse_value(Parser* P, const char*& p, JsonValue** out) {
  JsonValue* v = new_value(P, p);
  if (!v) return fail_memory(P);
  *out = v;
  const char* start = p;
  bool ok = true;
  switch (*p) {
    case '"':
      v->type = JSON_STRING;
      ok = parse_string(P, p, &v->string, &v->stringLength);
      break;
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
      ok = parse_number(P, p, v);
      break;
    case '{':
      ok = parse_object(P, p, v);
      break;
    case '[':
      ok = parse_array(P, p, v);
      break;
    case 't':
      if (!literal(p, "true")) return fail(P, p, "expected a value");
      v->type = JSON_BOOL;
      v->boolean = 1;
      p += 4;
      break;
    case 'f':
      if (!literal(p, "false")) return fail(P, p, "expected a value");
      v->type = JSON_BOOL;
      p += 5;
      break;
    case 'n':
      if (!literal(p, "null")) return fail(P, p, "expected a value");
      p += 4;
      break;
    default:
      if (p == P->end) return fail(P, p, "expected a value, found the end of the text");
      return fail(P, p, "expected a value");
  }
  v->sourceLength = (uint64_t)(p - start);
  return ok;
}

void set_message(char* message, size_t size, const char* text) {
  if (message && size > 0) snprintf(message, size, "%s", text);
}

}  // namespace

void json_free(JsonDoc* doc) {
  if (!doc) return;
  arena_free(&doc->arena);
  free(doc->text);
  free(doc->decoded);
  free(doc);
}

JsonDoc* json_parse(const char* text, size_t length, char* message, size_t messageSize) {
  if (message && messageSize > 0) message[0] = 0;
  if (!text && length > 0) {
    set_message(message, messageSize, "no text");
    return nullptr;
  }
  if (!text) text = "";
  JsonDoc* doc = (JsonDoc*)calloc(1, sizeof(JsonDoc));
  if (!doc || length == SIZE_MAX) {
    free(doc);
    set_message(message, messageSize, "out of memory");
    return nullptr;
  }
  doc->length = length;
  doc->text = (char*)malloc(length + 1);
  doc->decoded = (char*)malloc(length + 1);
  if (!doc->text || !doc->decoded) {
    json_free(doc);
    set_message(message, messageSize, "out of memory");
    return nullptr;
  }
  memcpy(doc->text, text, length);
  doc->text[length] = 0;
  // decoded is filled string by string; pages that hold only numbers are never touched
  doc->decoded[length] = 0;

  Parser P = {};
  P.raw = doc->text;
  P.end = doc->text + length;
  P.dec = doc->decoded;
  P.arena = &doc->arena;

  const char* p = doc->text;
  if (length > 2 && (uint8_t)p[0] == 0xEF && (uint8_t)p[1] == 0xBB && (uint8_t)p[2] == 0xBF) p += 3;
  p = skip_space(p);
  bool ok;
  if (p == P.end) {
    ok = fail(&P, p, "empty document");
  } else {
    ok = parse_value(&P, p, &doc->root);
    if (ok) {
      p = skip_space(p);
      if (p != P.end) ok = fail(&P, p, "unexpected text after the value");
    }
  }
  if (ok) return doc;

  if (message && messageSize > 0) {
    if (!P.errorAt) {
      set_message(message, messageSize, P.error);
    } else {
      size_t line = 1, col = 1;
      for (const char* c = doc->text; c < P.errorAt; c++) {
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
  return doc ? doc->root : nullptr;
}

const JsonValue* json_get(const JsonValue* object, const char* key) {
  if (!object || object->type != JSON_OBJECT || !key) return nullptr;
  size_t n = strlen(key);
  for (const JsonValue* c = object->firstChild; c; c = c->next)
    if (c->keyLength == n && memcmp(c->key, key, n) == 0) return c;
  return nullptr;
}

bool json_is(const JsonValue* value, JsonType type) {
  return value && value->type == type;
}

int64_t json_int(const JsonValue* value, int64_t fallback) {
  if (!value || value->type != JSON_NUMBER) return fallback;
  if (value->isInteger) return value->integer;
  double d = value->number;
  // -2^63 <= d < 2^63; NaN fails both comparisons
  if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) return (int64_t)d;
  return fallback;
}

const char* json_string(const JsonValue* value, const char* fallback) {
  return value && value->type == JSON_STRING ? value->string : fallback;
}

float json_float(const JsonDoc* doc, const JsonValue* value) {
  if (!value || value->type != JSON_NUMBER) return 0.0f;
  if (!doc || value->sourceLength < 1 || value->sourceLength > 79 ||
      value->sourceOffset > doc->length || value->sourceLength > doc->length - value->sourceOffset)
    return (float)value->number;
  const char* s = doc->text + value->sourceOffset;
  size_t n = (size_t)value->sourceLength;
  // Exact fast path for short decimals like 0.4837.
  size_t i = 0;
  bool neg = s[0] == '-';
  if (neg) i++;
  uint32_t mant = 0;
  int digits = 0, frac = 0;
  bool point = false;
  for (; i < n; i++) {
    char c = s[i];
    if (c == '.') {
      point = true;
    } else if (c >= '0' && c <= '9' && digits < 9) {
      mant = mant * 10 + (uint32_t)(c - '0');
      digits++;
      frac += point;
    } else {
      break;
    }
  }
  if (i == n && mant <= (1u << 24) && frac <= 10) {
    float f = (float)mant / kPow10f[frac];
    return neg ? -f : f;
  }
  return convert_text<float>(s, n);
}

char* json_raw_text(const JsonDoc* doc, const JsonValue* value) {
  if (!doc || !value || !doc->text) return nullptr;
  if (value->sourceOffset > doc->length || value->sourceLength > doc->length - value->sourceOffset)
    return nullptr;
  size_t n = (size_t)value->sourceLength;
  char* out = (char*)malloc(n + 1);
  if (!out) return nullptr;
  memcpy(out, doc->text + value->sourceOffset, n);
  out[n] = 0;
  return out;
}

// ---------------------------------------------------------------------------------------------
// UTF-8

static inline bool utf8_cont(uint8_t b) {
  return (b & 0xC0) == 0x80;
}

int utf8_sequence_length(const char* text, size_t n) {
  if (!text || n == 0) return 0;
  const uint8_t* s = (const uint8_t*)text;
  uint8_t c = s[0];
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return n >= 2 && utf8_cont(s[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (n < 3 || !utf8_cont(s[1]) || !utf8_cont(s[2])) return 0;
    if (c == 0xE0 && s[1] < 0xA0) return 0;   // overlong
    if (c == 0xED && s[1] >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (n < 4 || !utf8_cont(s[1]) || !utf8_cont(s[2]) || !utf8_cont(s[3])) return 0;
    if (c == 0xF0 && s[1] < 0x90) return 0;   // overlong
    if (c == 0xF4 && s[1] >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

char* utf8_repair(const char* s, size_t length, size_t* outLength, bool* replaced) {
  if (!s) length = 0;
  size_t bad = 0;
  for (size_t i = 0; i < length;) {
    int k = utf8_sequence_length(s + i, length - i);
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
    int k = utf8_sequence_length(s + i, length - i);
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

// ---------------------------------------------------------------------------------------------
// Writer

int jw_init(JsonWriter* w, size_t capacityHint) {
  if (!w) return -1;
  memset(w, 0, sizeof *w);
  size_t cap = capacityHint > 64 ? capacityHint : 64;
  w->data = (char*)malloc(cap);
  if (!w->data) {
    w->failed = true;
    return -1;
  }
  w->capacity = cap;
  w->data[0] = 0;
  return 0;
}

void jw_free(JsonWriter* w) {
  if (!w) return;
  free(w->data);
  memset(w, 0, sizeof *w);
}

// Makes room for extra more bytes plus the terminator. False (failed set) when it can't.
static bool jw_reserve(JsonWriter* w, size_t extra) {
  if (w->failed) return false;
  if (extra > SIZE_MAX - w->length - 1) {
    w->failed = true;
    return false;
  }
  size_t need = w->length + extra + 1;
  if (need <= w->capacity && w->data) return true;
  size_t cap = w->capacity < 256 ? 256 : w->capacity;
  while (cap < need) {
    if (cap > SIZE_MAX / 2) {
      w->failed = true;
      return false;
    }
    cap *= 2;
  }
  char* d = (char*)realloc(w->data, cap);
  if (!d) {
    w->failed = true;
    return false;
  }
  w->data = d;
  w->capacity = cap;
  return true;
}

static inline void jw_put(JsonWriter* w, const char* s, size_t n) {
  if (!jw_reserve(w, n)) return;
  memcpy(w->data + w->length, s, n);
  w->length += n;
  w->data[w->length] = 0;
}

static inline void jw_put_char(JsonWriter* w, char c) {
  if ((w->failed || w->length + 2 > w->capacity) && !jw_reserve(w, 1)) return;
  w->data[w->length++] = c;
  w->data[w->length] = 0;
}

static inline bool jw_usable(const JsonWriter* w) {
  return w && !w->failed && w->data;
}

static inline void jw_separator(JsonWriter* w, bool forKey) {
  if (!forKey && w->keyWritten) {
    w->keyWritten = false;
    return;
  }
  if (w->hasElement[w->depth]) jw_put_char(w, ',');
  w->hasElement[w->depth] = 1;
}

static void jw_begin(JsonWriter* w, char c) {
  if (!jw_usable(w)) return;
  if (w->depth + 1 >= JSON_MAX_DEPTH) {
    w->failed = true;
    return;
  }
  jw_separator(w, false);
  jw_put_char(w, c);
  w->depth++;
  w->hasElement[w->depth] = 0;
}

static void jw_end(JsonWriter* w, char c) {
  if (!jw_usable(w) || w->depth <= 0) return;
  w->depth--;
  w->keyWritten = false;
  jw_put_char(w, c);
}

void jw_begin_object(JsonWriter* w) {
  jw_begin(w, '{');
}
void jw_begin_array(JsonWriter* w) {
  jw_begin(w, '[');
}
void jw_end_object(JsonWriter* w) {
  jw_end(w, '}');
}
void jw_end_array(JsonWriter* w) {
  jw_end(w, ']');
}

static void jw_quoted(JsonWriter* w, const char* s, size_t n) {
  // Room for the common case at once; escapes reserve their own.
  if (!jw_reserve(w, n + 2)) return;
  jw_put_char(w, '"');
  size_t i = 0;
  while (i < n && !w->failed) {
    size_t run = i;
    while (run < n) {
      uint8_t b = (uint8_t)s[run];
      if (b < 0x20 || b == '"' || b == '\\' || b >= 0x80) break;
      run++;
    }
    if (run > i) {
      jw_put(w, s + i, run - i);
      i = run;
      if (i == n) break;
    }
    uint8_t b = (uint8_t)s[i];
    if (b == '"' || b == '\\') {
      char e[2] = {'\\', (char)b};
      jw_put(w, e, 2);
      i++;
    } else if (b < 0x20) {
      char e[6];
      size_t k = 2;
      e[0] = '\\';
      switch (b) {
        case 0x08:
          e[1] = 'b';
          break;
        case 0x09:
          e[1] = 't';
          break;
        case 0x0A:
          e[1] = 'n';
          break;
        case 0x0C:
          e[1] = 'f';
          break;
        case 0x0D:
          e[1] = 'r';
          break;
        default:
          e[1] = 'u';
          e[2] = '0';
          e[3] = '0';
          e[4] = "0123456789abcdef"[b >> 4];
          e[5] = "0123456789abcdef"[b & 15];
          k = 6;
      }
      jw_put(w, e, k);
      i++;
    } else {
      int k = utf8_sequence_length(s + i, n - i);
      if (k > 0) {
        jw_put(w, s + i, (size_t)k);
        i += (size_t)k;
      } else {
        jw_put(w, "\xEF\xBF\xBD", 3);
        i++;
      }
    }
  }
  jw_put_char(w, '"');
}

void jw_key(JsonWriter* w, const char* text) {
  if (!jw_usable(w)) return;
  jw_separator(w, true);
  if (!text) text = "";
  jw_quoted(w, text, strlen(text));
  jw_put_char(w, ':');
  w->keyWritten = true;
}

static void jw_key_n(JsonWriter* w, const char* text, size_t n) {
  if (!jw_usable(w)) return;
  jw_separator(w, true);
  jw_quoted(w, text ? text : "", text ? n : 0);
  jw_put_char(w, ':');
  w->keyWritten = true;
}

void jw_string_n(JsonWriter* w, const char* text, size_t length) {
  if (!jw_usable(w)) return;
  jw_separator(w, false);
  if (!text) length = 0;
  jw_quoted(w, text ? text : "", length);
}

void jw_string(JsonWriter* w, const char* text) {
  jw_string_n(w, text, text ? strlen(text) : 0);
}

// Lays out a decimal the way printf's %.{precision}g does: digits holds the significant digits
// (no trailing zeros), exp10 the decimal exponent of the first one.
static size_t layout_g(char* out, bool neg, const char* digits, int nd, int exp10, int precision) {
  char* o = out;
  if (neg) *o++ = '-';
  if (exp10 >= -4 && exp10 < precision) {
    if (exp10 >= 0) {
      for (int i = 0; i <= exp10; i++) *o++ = i < nd ? digits[i] : '0';
      if (nd > exp10 + 1) {
        *o++ = '.';
        for (int i = exp10 + 1; i < nd; i++) *o++ = digits[i];
      }
    } else {
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -exp10 - 1; i++) *o++ = '0';
      for (int i = 0; i < nd; i++) *o++ = digits[i];
    }
  } else {
    *o++ = digits[0];
    if (nd > 1) {
      *o++ = '.';
      for (int i = 1; i < nd; i++) *o++ = digits[i];
    }
    *o++ = 'e';
    int a = exp10;
    if (a < 0) {
      *o++ = '-';
      a = -a;
    } else {
      *o++ = '+';
    }
    if (a >= 100) *o++ = (char)('0' + a / 100);
    *o++ = (char)('0' + (a / 10) % 10);
    *o++ = (char)('0' + a % 10);
  }
  return (size_t)(o - out);
}

// Splits to_chars' scientific text "[-]d[.ddd]e(+|-)xx" into digits (trailing zeros dropped) and
// the exponent. Returns the digit count.
static int split_scientific(const char* s, const char* end, char* digits, int* exp10) {
  int nd = 0;
  if (s < end && *s == '-') s++;
  for (; s < end && *s != 'e'; s++)
    if (*s != '.') digits[nd++] = *s;
  while (nd > 1 && digits[nd - 1] == '0') nd--;
  int e = 0;
  bool neg = false;
  if (s < end) s++;  // 'e'
  if (s < end && (*s == '+' || *s == '-')) neg = *s++ == '-';
  for (; s < end; s++) e = e * 10 + (*s - '0');
  *exp10 = neg ? -e : e;
  return nd;
}

// 1e-8 .. 1e15, for placing a value between powers of ten.
static const double kPow10From8[24] = {1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1,
                                       1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// Fast path for values that are the nearest double (float) to a decimal of at most base
// significant digits, like 0.4837: scales a to base digits, rounds, and keeps the digits only if
// they convert back to exactly a. For a normal value at most one decimal of base digits converts
// to it, so those digits are what the printf loop prints at precision base. a > 0.
template <typename T>
static bool short_decimal(T a, int base, char* digits, int* nd, int* exp10) {
  double d = (double)a;
  if (!(d >= 1e-8 && d < 1e15)) return false;
  uint64_t u;
  memcpy(&u, &d, sizeof u);
  int e2 = (int)((u >> 52) & 0x7FF) - 1023;
  int x = (e2 * 78913) >> 18;  // floor(e2 * log10(2)): the decimal exponent or one below
  if (d >= kPow10From8[x + 9]) x++;
  int k = base - 1 - x;  // scale so that the first digit lands at 10^(base-1)
  uint64_t m;
  if constexpr (sizeof(T) == sizeof(float)) {
    if (k < 0 || k > 10) return false;
    m = (uint64_t)(d * kPow10[k] + 0.5);
    if ((float)m / kPow10f[k] != a) return false;  // both exact: one correctly rounded division
  } else {
    if (k < 0 || k > 22) return false;
    m = (uint64_t)(d * kPow10[k] + 0.5);
    if ((double)m / kPow10[k] != a) return false;
  }
  // m has base digits, or is 10^base when rounding carried into the next power
  int n = base;
  if (m >= (uint64_t)kPow10[base]) {
    m /= 10;
    x++;
  }
  // drop trailing zeros in big steps first: most values have only a few digits
  if (n > 8 && m % 100000000 == 0) {
    m /= 100000000;
    n -= 8;
  }
  if (n > 4 && m % 10000 == 0) {
    m /= 10000;
    n -= 4;
  }
  if (n > 2 && m % 100 == 0) {
    m /= 100;
    n -= 2;
  }
  if (n > 1 && m % 10 == 0) {
    m /= 10;
    n -= 1;
  }
  for (int i = n - 1; i >= 0; i--) {
    digits[i] = (char)('0' + m % 10);
    m /= 10;
  }
  *nd = n;
  *exp10 = x;
  return true;
}

// Shortest text among precisions base..max that converts back to exactly v (as %.*g would
// choose), for double or float.
template <typename T>
static size_t format_shortest(char* out, T v, int base, int max) {
  if (v == 0) {
    if (std::signbit(v)) {
      memcpy(out, "-0", 2);
      return 2;
    }
    out[0] = '0';
    return 1;
  }
  bool neg = std::signbit(v);
  char tmp[48], digits[40];
  int exp10;
  int nd;
  if (short_decimal(std::fabs(v), base, digits, &nd, &exp10))
    return layout_g(out, neg, digits, nd, exp10, base);
  std::to_chars_result r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::scientific);
  nd = split_scientific(tmp, r.ptr, digits, &exp10);
  // For a normal value the nearest decimal of base digits is the shortest one padded with zeros.
  bool normal = std::fabs(v) >= std::numeric_limits<T>::min();
  if (nd <= base && normal) return layout_g(out, neg, digits, nd, exp10, base);
  // Otherwise the nearest decimal at a precision may still miss (next to a power of two), or a
  // subnormal's coarse spacing lets base digits read back: check each precision like the printf
  // loop would. Fewer digits than the shortest never read back.
  for (int precision = nd > base ? nd : base; precision <= max; precision++) {
    r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::scientific, precision - 1);
    T back = convert_text<T>(tmp, (size_t)(r.ptr - tmp));
    if (back == v || precision == max) {
      nd = split_scientific(tmp, r.ptr, digits, &exp10);
      return layout_g(out, neg, digits, nd, exp10, precision);
    }
  }
  return 0;  // not reached: the loop ends at max
}

void jw_double(JsonWriter* w, double value) {
  if (!jw_usable(w)) return;
  if (!std::isfinite(value)) {
    w->nonFinite = true;
    value = 0;
  }
  jw_separator(w, false);
  char buf[48];
  size_t n = format_shortest<double>(buf, value, 15, 17);
  jw_put(w, buf, n);
}

void jw_float(JsonWriter* w, float value) {
  if (!jw_usable(w)) return;
  if (!std::isfinite(value)) {
    w->nonFinite = true;
    value = 0;
  }
  jw_separator(w, false);
  char buf[48];
  size_t n = format_shortest<float>(buf, value, 6, 9);
  jw_put(w, buf, n);
}

void jw_int(JsonWriter* w, int64_t value) {
  if (!jw_usable(w)) return;
  jw_separator(w, false);
  char buf[24];
  std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
  jw_put(w, buf, (size_t)(r.ptr - buf));
}

void jw_bool(JsonWriter* w, bool value) {
  if (!jw_usable(w)) return;
  jw_separator(w, false);
  if (value) {
    jw_put(w, "true", 4);
  } else {
    jw_put(w, "false", 5);
  }
}

void jw_raw(JsonWriter* w, const char* text) {
  if (!jw_usable(w)) return;
  jw_separator(w, false);
  if (!text || !*text) {
    jw_put(w, "null", 4);
  } else {
    jw_put(w, text, strlen(text));
  }
}

void jw_raw_members(JsonWriter* w, const char* text) {
  if (!jw_usable(w) || !text || !*text) return;
  if (w->hasElement[w->depth]) jw_put_char(w, ',');
  w->hasElement[w->depth] = 1;
  w->keyWritten = false;
  jw_put(w, text, strlen(text));
}

static void jw_value_at(JsonWriter* w, const JsonValue* v) {
  switch (v->type) {
    case JSON_NULL:
      jw_separator(w, false);
      jw_put(w, "null", 4);
      break;
    case JSON_BOOL:
      jw_bool(w, v->boolean != 0);
      break;
    case JSON_NUMBER:
      // -0 has no integer form; keep its sign.
      if (v->isInteger && !(v->integer == 0 && std::signbit(v->number))) {
        jw_int(w, v->integer);
      } else {
        jw_double(w, v->number);
      }
      break;
    case JSON_STRING:
      jw_string_n(w, v->string, v->stringLength);
      break;
    case JSON_ARRAY:
      jw_begin_array(w);
      for (const JsonValue* c = v->firstChild; c && !w->failed; c = c->next) jw_value_at(w, c);
      jw_end_array(w);
      break;
    case JSON_OBJECT:
      jw_begin_object(w);
      for (const JsonValue* c = v->firstChild; c && !w->failed; c = c->next) {
        jw_key_n(w, c->key, c->keyLength);
        jw_value_at(w, c);
      }
      jw_end_object(w);
      break;
  }
}

void jw_value(JsonWriter* w, const JsonValue* value) {
  if (!jw_usable(w)) return;
  if (!value) {
    jw_raw(w, nullptr);
    return;
  }
  jw_value_at(w, value);
}
