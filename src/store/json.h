// Small JSON reader and writer for meta.json.
//
// The reader builds an immutable tree in an arena and remembers where each value's text lies in
// the input, so values the program does not understand can be copied back out byte for byte. It
// reports the first error as "line %zu col %zu: %s". The writer produces compact text with
// shortest round-trip numbers, never NaN or infinity, and never invalid UTF-8.
//
// A document or a writer belongs to one thread at a time. Number text never depends on the
// thread's or the process's locale.
#pragma once
#include <cstddef>
#include <cstdint>

enum JsonType : uint8_t {
  JSON_NULL = 0,
  JSON_BOOL = 1,
  JSON_NUMBER = 2,
  JSON_STRING = 3,
  JSON_ARRAY = 4,
  JSON_OBJECT = 5,
};

enum { JSON_MAX_DEPTH = 64 };

// One node, carved from its document's arena; lives as long as the document.
struct JsonValue {
  JsonType type;
  uint8_t boolean;
  // Written without fraction or exponent and fits a signed 64-bit integer.
  uint8_t is_integer;
  // Children of an array or object.
  uint32_t count;
  double number;
  int64_t integer;
  // Decoded UTF-8 of a string, terminated; null for other kinds. May hold a \u0000.
  const char* string;
  // The member's decoded key when the value sits in an object, else null.
  const char* key;
  JsonValue* first_child;
  JsonValue* next;
  // Where the value's text lies in the input (byte offset from the input's start, mark included).
  uint64_t source_offset;
  uint64_t source_length;
  // Bytes of string and key before their terminators (either may hold an embedded zero byte).
  uint32_t string_length;
  uint32_t key_length;
};

struct JsonArenaBlock;

struct JsonArena {
  JsonArenaBlock* newest;
  size_t next_block_size;
};

struct JsonDoc {
  char* text;  // the input, copied and terminated (raw source text)
  // Same size and offsets as text; each string and key is decoded into it where its text lies
  // (decoding never lengthens), so bytes outside strings are left unwritten.
  char* decoded;
  size_t length;  // input length in bytes
  JsonArena arena;
  JsonValue* root;
};

// Parses length bytes of text (zero bytes included; a UTF-8 byte order mark is skipped). Returns
// the document, or null with the failure text in message (when message is not null; cut to
// message_size): "line %zu col %zu: %s" for bad text, else "no text" (null text with a non-zero
// length) or "out of memory". Nothing is logged: the caller knows what the text was.
JsonDoc* json_parse(const char* text, size_t length, char* message, size_t messageSize);
void json_free(JsonDoc* doc);
// Gives the calling thread's kept parse memory back to the allocator (nothing is kept yet).
void json_cache_release();
const JsonValue* json_root(const JsonDoc* doc);

// First member of object whose key equals key byte for byte; null when object is not an object
// or has no such member.
const JsonValue* json_get(const JsonValue* object, const char* key);
// False for a null value.
bool json_is(const JsonValue* value, JsonType type);
// The exact integer when is_integer; else a finite number within +-2^63 truncated toward zero;
// else fallback.
int64_t json_int(const JsonValue* value, int64_t fallback);
const char* json_string(const JsonValue* value, const char* fallback);
// Single-precision value of a number read from its own source text (bit-exact for a float
// written as its shortest text); a number whose text is 80 bytes or longer is narrowed from the
// double. 0 for anything that is not a number.
float json_float(const JsonDoc* doc, const JsonValue* value);
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
  bool failed;      // allocation failure or nesting too deep; every later call writes nothing
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

