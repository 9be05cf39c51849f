#include "store/json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "store/json_number.h"
#include "base/text.h"


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
  if (!forKey && w->key_written) {
    w->key_written = false;
    return;
  }
  if (w->has_element[w->depth]) jw_put_char(w, ',');
  w->has_element[w->depth] = 1;
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
  w->has_element[w->depth] = 0;
}

static void jw_end(JsonWriter* w, char c) {
  if (!jw_usable(w) || w->depth <= 0) return;
  w->depth--;
  w->key_written = false;
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
      int k = text_utf8_sequence(s + i, n - i);
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
  w->key_written = true;
}

static void jw_key_n(JsonWriter* w, const char* text, size_t n) {
  if (!jw_usable(w)) return;
  jw_separator(w, true);
  jw_quoted(w, text ? text : "", text ? n : 0);
  jw_put_char(w, ':');
  w->key_written = true;
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

namespace {

// NaN and infinity have no JSON form: they are written as 0 and the writer remembers it.
template <typename T>
void jw_number(JsonWriter* w, T value, size_t (*format)(char*, T)) {
  if (!jw_usable(w)) return;
  if (!std::isfinite(value)) {
    w->non_finite = true;
    value = 0;
  }
  jw_separator(w, false);
  char buf[48];
  jw_put(w, buf, format(buf, value));
}

}  // namespace

void jw_double(JsonWriter* w, double value) {
  jw_number<double>(w, value, json_format_double);
}

void jw_float(JsonWriter* w, float value) {
  jw_number<float>(w, value, json_format_float);
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
  if (w->has_element[w->depth]) jw_put_char(w, ',');
  w->has_element[w->depth] = 1;
  w->key_written = false;
  jw_put(w, text, strlen(text));
}

static void jw_value_at(JsonWriter* w, const JsonValue* v) {
  switch (json_type(v)) {
    case JSON_NULL:
      jw_separator(w, false);
      jw_put(w, "null", 4);
      break;
    case JSON_BOOL:
      jw_bool(w, json_bool(v, false));
      break;
    case JSON_NUMBER:
      // -0 has no integer form; keep its sign.
      if (json_is_integer(v) && !(v->bits & JSON_V_MINUS_ZERO)) {
        jw_int(w, v->as.integer);
      } else {
        jw_double(w, json_number(v, 0));
      }
      break;
    case JSON_STRING:
      jw_string_n(w, v->as.string, json_string_length(v));
      break;
    case JSON_ARRAY:
      jw_begin_array(w);
      for (const JsonValue* c = json_first(v); c && !w->failed; c = json_next(v, c))
        jw_value_at(w, c);
      jw_end_array(w);
      break;
    case JSON_OBJECT:
      jw_begin_object(w);
      for (const JsonValue* c = json_first(v); c && !w->failed; c = json_next(v, c)) {
        size_t n;
        const char* key = json_key(c, &n);
        jw_key_n(w, key, n);
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
