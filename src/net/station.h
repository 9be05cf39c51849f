// The broadcast station: streams the output mix over TCP to up to 8 listeners as 16-bit stereo
// 48 kHz packets of 480 frames, fed by the audio engine's output tap, served by one network thread.
#pragma once
#include <cstddef>
#include <cstdint>

enum { STATION_PORT = 47481, STATION_LISTENERS = 8, STATION_FRAMES = 480, STATION_RATE = 48000 };
struct Station;
// Names copied, computer name read (gethostname; "PC" when unavailable), stream id from
// advert_stream_id(folder, app), buffers allocated, clock started; off air. Null on failure
// (logged).
Station* station_init(const char* app, const char* an, const char* kind, const char* tref,
                      uint16_t port, const char* folder);
int station_start(Station* s);  // 0, or -1 (port busy: logged); registers via advert_start
void station_stop(Station* s);  // advert_stop, goodbye to listeners, thread joined (<= 2 s)
void station_free(Station* s);  // stops and frees; accepts null
void station_set_live(Station* s, bool live);      // UI thread, every frame
void station_set_latency(Station* s, int64_t ns);  // UI thread, every frame
// The audio engine's tap (AudioTap signature: user = the Station*): audio callback only.
void station_tap(void* user, const float* interleaved, int frames, int rate);
struct StationStatus {
  bool on_air;
  int listeners;
  char last_listener[64];  // "NAME (device)" of the last listener that said hello, "" none
  char an[32], dev[64], sid[9];
  bool advertised;
  uint64_t packets;      // audio packets built
  double measured_rate;  // 0 until measured
};
void station_status(const Station* s, StationStatus* out);

// The port on air (the one asked for, or the one the system chose for port 0); 0 off air.
uint16_t station_port(const Station* s);
// Packets dropped from full send queues, over every listener since station_init.
uint64_t station_dropped_packets(const Station* s);
// Replaces the monotonic clock (absolute ns) for tests that drive time; set it off air. now is
// called from the tap and the network thread at once. Null restores CLOCK_MONOTONIC.
typedef int64_t (*StationClock)(void* ctx);
void station_set_clock(Station* s, StationClock now, void* ctx);

// Wire format, shared with listeners: every packet starts with an 8-byte head (big-endian length
// of what follows byte 4, "SG", version 1, type).
enum {
  STATION_HEAD = 8,
  STATION_AUDIO_HEAD = 36,
  STATION_PKT_HELLO = 1,
  STATION_PKT_AUDIO = 2,
  STATION_PKT_STATE = 3,
  STATION_PKT_GOODBYE = 4,
  STATION_PKT_LISTENER_HELLO = 16,
  STATION_PKT_PING = 17,
  STATION_PKT_PONG = 18,
  STATION_FLAG_DISCONTINUITY = 1,
  STATION_FLAG_SILENCE = 2,
};
// Writes the 8-byte head for a packet of body_bytes after it.
void station_put_head(uint8_t* p, int type, uint32_t body_bytes);
void station_put_u32(uint8_t* p, uint32_t v);
void station_put_u64(uint8_t* p, uint64_t v);
uint32_t station_get_u32(const uint8_t* p);
uint64_t station_get_u64(const uint8_t* p);
