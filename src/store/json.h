// Small JSON reader and writer for meta.json.
//
// The reader lays a document out as 16-byte values in one block, in the order their text
// appears: a container is followed by everything inside it (an object's members as key, value
// pairs), so no value points at another. Each value remembers where its text starts in the input,
// so values the program does not understand can be copied back out byte for byte. It reports the
// first error as "line %zu col %zu: %s". The writer produces compact text with shortest
// round-trip numbers, never NaN or infinity, and never invalid UTF-8.
//
// Freed documents go back to a per-thread cache (up to 64 MiB), so a scan that parses file after
// file touches the same memory again instead of faulting in fresh pages.
//
// A document or a writer belongs to one thread at a time. Number text never depends on the
// thread's or the process's locale.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

enum JsonType : uint8_t {
  JSON_NULL = 0,
  JSON_BOOL = 1,
  JSON_NUMBER = 2,
  JSON_STRING = 3,
  JSON_ARRAY = 4,
  JSON_OBJECT = 5,
};

enum { JSON_MAX_DEPTH = 64 };

// One value, inside its document's block; lives as long as the document. Read it through the
// functions below: what the fields hold depends on the kind.
struct JsonValue {
  uint32_t offset;  // where the value's text starts in the input (mark included)
  uint32_t bits;    // JsonType, then the JSON_V_* flags, then a string's decoded length
  union {
    int64_t integer;     // a number written without fraction or exponent that fits
    double number;       // any other number
    const char* string;  // decoded UTF-8, terminated; may hold a \u0000
    struct {
      uint32_t count;  // members or elements
      uint32_t span;   // values from this one to the last inside it, keys included
    } children;
  } as;
};
static_assert(sizeof(JsonValue) == 16, "values are packed 16 bytes apart");

constexpr uint32_t JSON_V_TYPE = 7;
constexpr uint32_t JSON_V_MEMBER = 8;       // an object member's value: its key is the value before
constexpr uint32_t JSON_V_TRUE = 16;        // JSON_BOOL
constexpr uint32_t JSON_V_INTEGER = 16;     // JSON_NUMBER: integer holds it
constexpr uint32_t JSON_V_MINUS_ZERO = 32;  // JSON_NUMBER written as -0: integer 0, a signed double
constexpr uint32_t JSON_V_LENGTH_SHIFT = 6;
// A string this long or longer keeps its length as a uint64_t just before its text.
constexpr uint32_t JSON_V_LONG_STRING = (1u << 26) - 1;

struct JsonDoc;

// Parses length bytes of text (zero bytes included; a UTF-8 byte order mark is skipped). Returns
// the document, or null with the failure text in message (when message is not null; cut to
// message_size): "line %zu col %zu: %s" for bad text, else "no text" (null text with a non-zero
// length), "text of 4 GiB or more" or "out of memory". Nothing is logged: the caller knows what
// the text was. The document holds its own copy of the text.
JsonDoc* json_parse(const char* text, size_t length, char* message, size_t messageSize);
void json_free(JsonDoc* doc);
// Gives the calling thread's cached parse memory back to the allocator.
void json_cache_release();
const JsonValue* json_root(const JsonDoc* doc);
// The document's copy of its input (terminated) and its length.
const char* json_text(const JsonDoc* doc, size_t* length);

// False for a null value.
bool json_is(const JsonValue* value, JsonType type);
inline JsonType json_type(const JsonValue* value) {
  return value ? (JsonType)(value->bits & JSON_V_TYPE) : JSON_NULL;
}

// Members of an object, elements of an array; 0 for anything else.
inline uint32_t json_count(const JsonValue* value) {
  return json_type(value) >= JSON_ARRAY ? value->as.children.count : 0;
}
// The first element (or member value); null when there is none.
inline const JsonValue* json_first(const JsonValue* container) {
  if (json_count(container) == 0) return nullptr;
  return container + ((container->bits & JSON_V_TYPE) == JSON_OBJECT ? 2 : 1);
}
// The element (or member value) after child inside container; null after the last.
inline const JsonValue* json_next(const JsonValue* container, const JsonValue* child) {
  if (!container || !child) return nullptr;
  const JsonValue* after =
      child + ((child->bits & JSON_V_TYPE) >= JSON_ARRAY ? child->as.children.span : 1);
  if (after >= container + container->as.children.span) return nullptr;
  return after + ((container->bits & JSON_V_TYPE) == JSON_OBJECT ? 1 : 0);
}
// The index-th element (or member value), null past the end. Constant time when no child is a
// container, else a walk.
const JsonValue* json_at(const JsonValue* container, uint32_t index);
// Bytes of a string before its terminator (it may hold zero bytes); 0 for anything else.
inline size_t json_string_length(const JsonValue* value) {
  if (json_type(value) != JSON_STRING) return 0;
  uint32_t n = value->bits >> JSON_V_LENGTH_SHIFT;
  if (n < JSON_V_LONG_STRING) return n;
  uint64_t stored;
  memcpy(&stored, value->as.string - sizeof stored, sizeof stored);
  return (size_t)stored;
}
// The member's decoded key (terminated; may hold a zero byte) and its length; null (length 0)
// when value is not an object member.
inline const char* json_key(const JsonValue* value, size_t* length) {
  bool member = value && (value->bits & JSON_V_MEMBER);
  if (length) *length = member ? json_string_length(value - 1) : 0;
  return member ? value[-1].as.string : nullptr;
}
// The member's key equals key[0..length) byte for byte.
bool json_key_is(const JsonValue* value, const char* key, size_t length);

// First member of object whose key equals key byte for byte; null when object is not an object
// or has no such member.
const JsonValue* json_get(const JsonValue* object, const char* key);
// The exact integer when the number was written as one that fits; else a finite number within
// +-2^63 truncated toward zero; else fallback.
int64_t json_int(const JsonValue* value, int64_t fallback);
// Written without fraction or exponent and fits a signed 64-bit integer.
inline bool json_is_integer(const JsonValue* value) {
  return json_type(value) == JSON_NUMBER && (value->bits & JSON_V_INTEGER);
}
// The double nearest the number's text (an integer's is computed from it); fallback for
// anything that is not a number.
inline double json_number(const JsonValue* value, double fallback) {
  if (json_type(value) != JSON_NUMBER) return fallback;
  if (!(value->bits & JSON_V_INTEGER)) return value->as.number;
  return (value->bits & JSON_V_MINUS_ZERO) ? -0.0 : (double)value->as.integer;
}
inline bool json_bool(const JsonValue* value, bool fallback) {
  return json_type(value) == JSON_BOOL ? (value->bits & JSON_V_TRUE) != 0 : fallback;
}
const char* json_string(const JsonValue* value, const char* fallback);
// Single-precision value of a number read from its own source text (bit-exact for a float
// written as its shortest text); a number whose text is 80 bytes or longer is narrowed from the
// double. 0 for anything that is not a number.
float json_float(const JsonDoc* doc, const JsonValue* value);

// Where the value's text starts in the input (byte offset, mark included).
inline uint32_t json_source_offset(const JsonValue* value) {
  return value ? value->offset : 0;
}
// Bytes of the value's text; measured from the text (a container's through its last child).
size_t json_source_length(const JsonDoc* doc, const JsonValue* value);
// The value's exact text inside the document's copy and its length; null (length 0) when the
// span lies outside the input.
const char* json_source(const JsonDoc* doc, const JsonValue* value, size_t* length);
// The member's key exactly as written, quotes included; null when value is not a member.
const char* json_key_source(const JsonDoc* doc, const JsonValue* value, size_t* length);
// Fresh terminated copy (malloc; release with free) of the value's exact source text, or null
// when the span lies outside the input or memory runs out.
char* json_raw_text(const JsonDoc* doc, const JsonValue* value);

// Compact text writer. After writing, the caller checks failed; text is data[0..length).
struct JsonWriter {
  char* data;
  size_t length;
  size_t capacity;
  uint8_t has_element[JSON_MAX_DEPTH];  // per depth: the level already holds an element
  int depth;
  bool key_written;  // a key was just written; the next value needs no separator
  bool failed;       // allocation failure or nesting too deep; every later call writes nothing
  bool non_finite;   // a NaN or infinity was written as 0; callers read and reset it
};

// Capacity max(64, capacityHint). 0, or -1 (with failed set) when memory runs out.
int jw_init(JsonWriter* w, size_t capacityHint);
void jw_free(JsonWriter* w);
void jw_begin_object(JsonWriter* w);
void jw_begin_array(JsonWriter* w);
void jw_end_object(JsonWriter* w);
void jw_end_array(JsonWriter* w);
void jw_key(JsonWriter* w, const char* text);
// Null is written as "". Invalid UTF-8 bytes become U+FFFD.
void jw_string(JsonWriter* w, const char* text);
void jw_string_n(JsonWriter* w, const char* text, size_t length);
// Shortest text that reads back to exactly the value (printf %g layout); NaN/inf write 0 and set
// non_finite.
void jw_double(JsonWriter* w, double value);
void jw_float(JsonWriter* w, float value);
void jw_int(JsonWriter* w, int64_t value);
void jw_bool(JsonWriter* w, bool value);
// text verbatim as one value; null when text is null or empty.
void jw_raw(JsonWriter* w, const char* text);
// Splices members ("a":1,"b":2 without braces) verbatim into the open object; nothing when empty.
void jw_raw_members(JsonWriter* w, const char* text);
// Writes a parsed value and everything below it (keys included when the values are members).
void jw_value(JsonWriter* w, const JsonValue* value);
