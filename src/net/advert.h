// The station's DNS-SD advertisement (_sg-stream._tcp with the hello's essentials in TXT) and the
// stream id that both carry, kept in a small file so listeners recognise the station across runs.
#pragma once
#include <cstddef>
#include <cstdint>

struct AdvertInfo {
  const char* app;   // "kelp"
  const char* an;    // "Kelp NOVA"
  const char* kind;  // "mix"
  const char* dev;   // the computer name
  const char* sid;   // 8 lower-case hex digits
  uint16_t port;     // 47481
};
struct Advert;
// Registers _sg-stream._tcp with the local DNS-SD responder; never blocks more than ~100 ms.
// Null when it could not even start (logged once); a registration that fails later only logs.
Advert* advert_start(const AdvertInfo* info);
void advert_stop(Advert* a);  // withdraws (waits ~50 ms) and frees; accepts null
bool advert_advertised(const Advert* a);
// The stream id kept in folder ("%s/stream.%s.sid", migrating "%s/stream.sid"): 0 read, 1 made
// and saved, -1 made but not saved (null or unusable folder). sid gets 8 hex digits + NUL.
int advert_stream_id(const char* folder, const char* app, char sid[9]);
// "%s · %s" with dev shortened (whole UTF-8 characters) until the result is under 64 bytes.
void advert_instance_name(const char* an, const char* dev, char* out, size_t size);

enum { ADVERT_TXT_PAIRS = 11 };
// The instance name as published now ("" until the responder took one; a collision renames it).
void advert_name(const Advert* a, char* out, size_t size);
// The first IPv4 address host resolves to outside 127.0.0.0/8, dotted; false (out "") when none.
bool advert_host_ipv4(const char* host, char out[16]);
