#include "store/uuid.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/platform.h"
#include "base/log.h"

#ifdef _WIN32
#include <windows.h>
static uint64_t process_id() {
  return (uint64_t)GetCurrentProcessId();
}
#else
#include <unistd.h>
static uint64_t process_id() {
  return (uint64_t)getpid();
}
#endif

namespace {

std::atomic<uint64_t> g_clock_counter{0};

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

void set_version(Uuid* u) {
  u->bytes[6] = (uint8_t)((u->bytes[6] & 0x0F) | 0x40);
  u->bytes[8] = (uint8_t)((u->bytes[8] & 0x3F) | 0x80);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void uuid_from_clock(Uuid* out) {
  if (!out) return;
  uint64_t count = g_clock_counter.fetch_add(1, std::memory_order_relaxed) + 1;
  uint64_t perf = (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count();
  // The counter is spread over all 64 bits first: XORed in plainly, two threads a few
  // nanoseconds apart could cancel counter and clock steps and mint the same id.
  uint64_t x = (process_id() << 32) ^ (count * 0x9E3779B97F4A7C15ull) ^ perf;
  uint64_t a = splitmix64(x);
  // 100 ns units since 1601-01-01, the way the system clock counts file times.
  int64_t unix100ns =
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
          std::chrono::system_clock::now().time_since_epoch())
          .count();
  uint64_t fileTime = (uint64_t)unix100ns + 116444736000000000ull;
  uint64_t b = splitmix64(a ^ fileTime);
  for (int i = 0; i < 8; i++) {
    out->bytes[i] = (uint8_t)(a >> (8 * i));
    out->bytes[8 + i] = (uint8_t)(b >> (8 * i));
  }
  set_version(out);
}

void uuid_new(Uuid* out) {
  if (!out) return;
  errno = 0;
  if (platform_random(out->bytes, sizeof out->bytes) != 0) {
    unsigned long code = (unsigned long)errno;
    uuid_from_clock(out);
    log_line("uuid: system RNG failed (0x%08lX) - using the clock fallback", code);
    return;
  }
  set_version(out);
}

bool uuid_parse_n(const char* text, size_t length, Uuid* out) {
  if (!text || length != UUID_TEXT_LENGTH) return false;
  Uuid u;
  int k = 0;
  for (int i = 0; i < UUID_TEXT_LENGTH; i++) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    int hi = hex_value(text[i]);
    int lo = hex_value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    u.bytes[k++] = (uint8_t)(hi * 16 + lo);
    i++;
  }
  if (out) *out = u;
  return true;
}

bool uuid_parse(const char* text, Uuid* out) {
  if (!text) return false;
  // strnlen: never read further than one past the 36 characters.
  return uuid_parse_n(text, strnlen(text, UUID_TEXT_LENGTH + 1), out);
}

namespace {

int format_with(const Uuid* uuid, char* text, const char* digits) {
  if (!text) return 0;
  Uuid zero = {};
  if (!uuid) uuid = &zero;
  char* o = text;
  for (int i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *o++ = '-';
    *o++ = digits[uuid->bytes[i] >> 4];
    *o++ = digits[uuid->bytes[i] & 15];
  }
  *o = 0;
  return UUID_TEXT_LENGTH;
}

}  // namespace

int uuid_format(const Uuid* uuid, char* text) {
  return format_with(uuid, text, "0123456789abcdef");
}

int uuid_format_upper(const Uuid* uuid, char* text) {
  return format_with(uuid, text, "0123456789ABCDEF");
}

void uuid_from_bytes(const uint8_t bytes[16], Uuid* out) {
  if (!out) return;
  memcpy(out->bytes, bytes, sizeof out->bytes);
  set_version(out);
}

void uuid_from_path(const char* path, Uuid* out) {
  if (!out) return;
  uint64_t h1 = 0xCBF29CE484222325ull;
  uint64_t h2 = 0x84222325CBF29CE4ull;
  for (const unsigned char* p = (const unsigned char*)(path ? path : ""); *p; p++) {
    uint64_t b = *p;
    if (b >= 'A' && b <= 'Z') b += 'a' - 'A';
    h1 = (h1 ^ b) * 0x100000001B3ull;
    h2 = (h2 ^ (b + 158)) * 0x100000001B3ull;
  }
  for (int i = 0; i < 8; i++) {
    out->bytes[i] = (uint8_t)(h1 >> (56 - 8 * i));
    out->bytes[8 + i] = (uint8_t)(h2 >> (56 - 8 * i));
  }
  out->bytes[6] = (uint8_t)(((h1 >> 8) & 0x0F) | 0x40);
  out->bytes[8] = (uint8_t)(((h2 >> 56) & 0x3F) | 0x80);
}

int64_t uuid_hash(const Uuid* uuid) {
  if (!uuid) return 0;
  uint64_t h = 0;  // unsigned arithmetic wraps exactly like the signed form should
  for (int i = 0; i < 16; i++) h = h * 31 + uuid->bytes[i];
  return (int64_t)h;
}

bool uuid_equal(const Uuid* a, const Uuid* b) {
  if (!a || !b) return false;
  return memcmp(a->bytes, b->bytes, 16) == 0;
}

bool uuid_is_zero(const Uuid* uuid) {
  if (!uuid) return true;
  for (uint8_t b : uuid->bytes)
    if (b) return false;
  return true;
}
