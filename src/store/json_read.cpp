#include "store/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store/json_number.h"

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
  size_t size = a->next_block_size ? a->next_block_size : kArenaFirstBlock;
  if (size < n) size = n;
  JsonArenaBlock* nb = (JsonArenaBlock*)malloc(sizeof(JsonArenaBlock) + size);
  if (!nb) return nullptr;
  nb->previous = b;
  nb->size = size;
  nb->used = n;
  a->newest = nb;
  a->next_block_size = size >= kArenaMaxBlock / 2 ? kArenaMaxBlock : size * 2;
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
  a->next_block_size = 0;
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
    v->is_integer = 1;
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
    d = e < 0 ? d / kJsonPow10[-e] : d * kJsonPow10[e];
    v->number = neg ? -d : d;
    return true;
  }
  v->number = json_text_to_double(s, (size_t)(p - s));
  return true;
}

bool parse_value(Parser* P, const char*& p, JsonValue** out);

inline JsonValue* new_value(Parser* P, const char* at) {
  JsonValue* v = (JsonValue*)arena_alloc(P->arena, sizeof(JsonValue));
  if (v) {
    *v = JsonValue{};
    v->source_offset = (uint64_t)(at - P->raw);
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
  JsonValue** tail = &v->first_child;
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
  JsonValue** tail = &v->first_child;
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
    c->key_length = keyLength;
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
      ok = parse_string(P, p, &v->string, &v->string_length);
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
  v->source_length = (uint64_t)(p - start);
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

void json_cache_release() {}

const JsonValue* json_root(const JsonDoc* doc) {
  return doc ? doc->root : nullptr;
}

const JsonValue* json_get(const JsonValue* object, const char* key) {
  if (!object || object->type != JSON_OBJECT || !key) return nullptr;
  size_t n = strlen(key);
  for (const JsonValue* c = object->first_child; c; c = c->next)
    if (c->key_length == n && memcmp(c->key, key, n) == 0) return c;
  return nullptr;
}

bool json_is(const JsonValue* value, JsonType type) {
  return value && value->type == type;
}

int64_t json_int(const JsonValue* value, int64_t fallback) {
  if (!value || value->type != JSON_NUMBER) return fallback;
  if (value->is_integer) return value->integer;
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
  if (!doc || value->source_length < 1 || value->source_length > 79 ||
      value->source_offset > doc->length || value->source_length > doc->length - value->source_offset)
    return (float)value->number;
  const char* s = doc->text + value->source_offset;
  size_t n = (size_t)value->source_length;
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
    float f = (float)mant / kJsonPow10f[frac];
    return neg ? -f : f;
  }
  return json_text_to_float(s, n);
}

char* json_raw_text(const JsonDoc* doc, const JsonValue* value) {
  if (!doc || !value || !doc->text) return nullptr;
  if (value->source_offset > doc->length || value->source_length > doc->length - value->source_offset)
    return nullptr;
  size_t n = (size_t)value->source_length;
  char* out = (char*)malloc(n + 1);
  if (!out) return nullptr;
  memcpy(out, doc->text + value->source_offset, n);
  out[n] = 0;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Writer
