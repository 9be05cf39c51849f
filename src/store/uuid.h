// Sketch ids: 16 random bytes (version 4), written as lower-case 8-4-4-4-12 hexadecimal and
// compared without regard to letter case.
#pragma once
#include <cstddef>
#include <cstdint>

enum { UUID_TEXT_LENGTH = 36, UUID_TEXT_BYTES = 37 };

struct Uuid {
  uint8_t bytes[16];
};

// Fresh random id from the system generator; falls back to uuid_from_clock (logged) when the
// generator fails. Null does nothing.
void uuid_new(Uuid* out);
// The fallback: bytes derived from the process id, a process-wide counter and the clocks, with
// the version 4 and variant bits set. Distinct for every call within a process.
void uuid_from_clock(Uuid* out);
// Exactly 36 characters, '-' at 8, 13, 18 and 23, hexadecimal digits (either case) elsewhere,
// nothing after. The version bits are not checked. out may be null (just validates).
bool uuid_parse(const char* text, Uuid* out);
// The same over length bytes (a decoded JSON string may hold a zero byte).
bool uuid_parse_n(const char* text, size_t length, Uuid* out);
// Writes the 36 lower-case characters and a terminator (text holds UUID_TEXT_BYTES); returns 36.
int uuid_format(const Uuid* uuid, char* text);
// The same with upper-case digits (rig files and settings store ids that way).
int uuid_format_upper(const Uuid* uuid, char* text);
// Makes 16 given bytes an id: sets the version 4 and variant bits.
void uuid_from_bytes(const uint8_t bytes[16], Uuid* out);
// A stable id for a path (ASCII letters folded), for sketches without a usable id of their own.
void uuid_from_path(const char* path, Uuid* out);
// h = h * 31 + byte over the 16 bytes, wrapping signed 64-bit.
int64_t uuid_hash(const Uuid* uuid);
bool uuid_equal(const Uuid* a, const Uuid* b);
bool uuid_is_zero(const Uuid* uuid);
