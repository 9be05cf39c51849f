// The rig file: one RigDoc as a compact JSON object, shared with sibling programs. Decoding
// repairs every bad value with a message instead of failing the whole file and carries members
// it does not know through verbatim; a newer version decodes read-only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rig/rig_doc.h"

enum RigDecode : int {
  RIG_DECODE_OK = 0,
  RIG_DECODE_REPAIRED = 1,
  RIG_DECODE_READ_ONLY = 2,  // a newer version: shown, never written
  RIG_DECODE_NOT_A_RIG = 3,
  RIG_DECODE_UNREADABLE = 4,  // no doc, too big, not JSON
  RIG_DECODE_NO_MEMORY = 5,
};

constexpr size_t RIG_FILE_MAX_BYTES = 1048576;
constexpr int RIG_FORMAT_VERSION = 1;
#define RIG_FORMAT_NAME "seaglass.rig"

// Resets doc, then decodes text (null counts as empty). The first message (a repair or the
// reason) goes into msg, cut to msg_size. Returns a RigDecode code.
int rig_decode(const char* text, size_t length, RigDoc* doc, char* msg, size_t msg_size);
// Writes the encoding into out (cut when it does not fit; out may be null) and returns the
// length of the whole encoding, so a caller can measure first. A terminating zero is added
// when there is room for it.
size_t rig_encode(const RigDoc* doc, char* out, size_t size);
// Brings every field into range and every text to valid UTF-8. Whether anything changed.
bool rig_doc_repair(RigDoc* doc);

// --- The rig's JSON reader ---------------------------------------------------------------

enum RigJsonType : uint8_t {
  RIGJSON_NULL = 0,
  RIGJSON_FALSE,
  RIGJSON_TRUE,
  RIGJSON_NUMBER,
  RIGJSON_STRING,
  RIGJSON_ARRAY,
  RIGJSON_OBJECT,
};

// A validated value: a span of the text it came from (the text must outlive it).
struct RigJsonValue {
  const char* text;  // the whole text
  uint32_t start;    // first byte of the value (the quote of a string)
  uint32_t length;  // 0 for a container rigjson_next_lazy left unmeasured
  RigJsonType type;
};

// Iterates an array's elements or an object's members in text order.
struct RigJsonIter {
  RigJsonValue container;
  uint32_t pos;  // a byte offset below 1 GB; the top two bits are the walk's own flags
};

enum { RIGJSON_MAX_DEPTH = 64 };

// Validates the whole text once. 0 and the root, or -1 with the message in msg.
int rigjson_validate(const char* text, size_t length, RigJsonValue* root, char* msg, size_t msg_size);
void rigjson_iter(const RigJsonValue* container, RigJsonIter* it);
// Next array element (name left untouched) or object member (name = its quoted key).
bool rigjson_next(RigJsonIter* it, RigJsonValue* name, RigJsonValue* value);
// Like rigjson_next, but an array or object value comes unmeasured (length 0) so that it is
// read once, not skipped first: walk it to its end with its own iterator and hand that to
// rigjson_iter_past, or the next call on it skips the value after all.
bool rigjson_next_lazy(RigJsonIter* it, RigJsonValue* name, RigJsonValue* value);
void rigjson_iter_past(RigJsonIter* it, const RigJsonIter* child);
// The value's length, measured now when rigjson_next_lazy left it out.
uint32_t rigjson_length(const RigJsonValue* v);
int rigjson_count(const RigJsonValue* object_or_array);
// Compares a string value, unescaped, with a zero-terminated text.
bool rigjson_string_equals(const RigJsonValue* v, const char* s);
// Unescapes a string into out (zero-terminated, never splitting a character). false when v
// is not a string; *cut when it did not fit; *replaced when invalid text became U+FFFD.
bool rigjson_string(const RigJsonValue* v, char* out, size_t size, bool* cut, bool* replaced);
bool rigjson_double(const RigJsonValue* v, double* out);
bool rigjson_float(const RigJsonValue* v, float* out);
// Plain digits that fit int64, or any whole number below 9.2e18 in magnitude (1.0, 1e2).
bool rigjson_int(const RigJsonValue* v, int64_t* out);
bool rigjson_bool(const RigJsonValue* v, bool* out);

// --- The rig's JSON writer ---------------------------------------------------------------

// Appends past the capacity only count: pos always holds the full length.
struct RigJsonOut {
  char* buf;
  size_t cap;
  size_t pos;
};

void rigjson_raw(RigJsonOut* o, const char* s, size_t n);
void rigjson_char(RigJsonOut* o, char c);
void rigjson_bool_out(RigJsonOut* o, bool v);
void rigjson_int_out(RigJsonOut* o, int64_t v);
// Shortest text that reads back to the same float / double (ECMAScript style), 0 for
// non-finite, -0 for negative zero.
void rigjson_float_out(RigJsonOut* o, float v);
void rigjson_double_out(RigJsonOut* o, double v);
// Quoted and escaped, from s up to its zero byte; invalid UTF-8 as U+FFFD.
void rigjson_string_out(RigJsonOut* o, const char* s);
