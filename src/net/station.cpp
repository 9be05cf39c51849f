#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "base/log.h"
#include "net/station_internal.h"

namespace {

int64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int64_t clock_abs(const Station* s) {
  return s->clock ? s->clock(s->clock_ctx) : monotonic_ns();
}

// Cut to size at a byte count; names are short.
void copy_name(char* dst, size_t size, const char* src) {
  size_t n = src ? strnlen(src, size - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = 0;
}

}  // namespace

void station_put_u32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

void station_put_u64(uint8_t* p, uint64_t v) {
  station_put_u32(p, (uint32_t)(v >> 32));
  station_put_u32(p + 4, (uint32_t)v);
}

uint32_t station_get_u32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

uint64_t station_get_u64(const uint8_t* p) {
  return (uint64_t)station_get_u32(p) << 32 | station_get_u32(p + 4);
}

void station_put_head(uint8_t* p, int type, uint32_t body_bytes) {
  station_put_u32(p, body_bytes + 4);
  p[4] = 'S';
  p[5] = 'G';
  p[6] = 1;
  p[7] = (uint8_t)type;
}

int64_t station_now(const Station* s) {
  return clock_abs(s) - s->clock_start.load(std::memory_order_relaxed);
}

Station* station_init(const char* app, const char* an, const char* kind, const char* tref,
                      uint16_t port, const char* folder) {
  Station* s = new (std::nothrow) Station();
  if (!s) {
    log_line("sgstream: out of memory");
    return nullptr;
  }
  copy_name(s->app, sizeof s->app, app);
  copy_name(s->an, sizeof s->an, an);
  copy_name(s->kind, sizeof s->kind, kind);
  copy_name(s->tref, sizeof s->tref, tref);
  char host[256];
  if (gethostname(host, sizeof host) == 0 && host[0]) {
    host[sizeof host - 1] = 0;
    copy_name(s->dev, sizeof s->dev, host);
  } else {
    copy_name(s->dev, sizeof s->dev, "PC");
  }
  utsname u;
  copy_name(s->os, sizeof s->os, uname(&u) == 0 ? u.sysname : "linux");
  for (char* p = s->os; *p; p++) *p = (char)tolower((unsigned char)*p);
  advert_stream_id(folder, s->app, s->sid);
  s->port = port;
  s->listen_sock = NETSOCK_NONE;
  s->ring = (float*)calloc((size_t)STATION_RING_FRAMES * 2, sizeof(float));
  s->scratch = (float*)calloc(STATION_SCRATCH_FLOATS, sizeof(float));
  bool ok = s->ring && s->scratch;
  for (StationListener& l : s->listeners) {
    l.sock = NETSOCK_NONE;
    l.slots = (uint8_t*)malloc((size_t)STATION_QUEUE_SLOTS * STATION_SLOT_BYTES);
    ok = ok && l.slots;
  }
  if (!ok) {
    log_line("sgstream: out of memory");
    station_free(s);
    return nullptr;
  }
  s->clock_start.store(monotonic_ns());
  s->live.store(true);
  s->live_sent = true;
  return s;
}

int station_start(Station* s) {
  if (!s || s->on_air.load()) return 0;
  NetSock ls;
  int e = netsock_listen(s->port, 4, &ls);
  if (e != 0) {
    log_line("sgstream: bind(%u) failed (%d) - another station on this port?", (unsigned)s->port,
             e);
    return -1;
  }
  s->listen_sock = ls;
  s->bound_port.store(netsock_local_port(ls));
  // A tap of the last run may still be in flight: its state is reset only once it has left.
  while (s->in_tap.load(std::memory_order_seq_cst)) std::this_thread::yield();
  s->clock_start.store(clock_abs(s));
  s->frame_index = 0;
  s->published_index.store(0);
  s->discontinuity = true;
  s->write_count.store(0);
  s->read_pos.store(0);
  s->block_time.store(0);
  s->block_index.store(0);
  s->overflow.store(false);
  s->rs_rate = 0;
  s->rs_pos = 0;
  s->rt_started = false;
  s->rt_frames = 0;
  s->rt_last_estimate = 0;
  s->rt_agreeing = 0;
  s->measured_rate.store(0);
  s->paused_at = 0;
  s->live_sent = s->live.load();
  s->on_air.store(true, std::memory_order_seq_cst);
  s->thread = std::thread(station_thread, s);
  AdvertInfo info{s->app, s->an, s->kind, s->dev, s->sid, s->bound_port.load()};
  s->advert = advert_start(&info);
  log_line("sgstream: station %s on :%u (sid %s, %s, tref=%s)", s->an,
           (unsigned)s->bound_port.load(), s->sid, s->kind, s->tref);
  return 0;
}

void station_stop(Station* s) {
  if (!s || !s->on_air.load()) return;
  advert_stop(s->advert);
  s->advert = nullptr;
  s->on_air.store(false, std::memory_order_seq_cst);
  // The thread looks at on air at least every 5 ms and spends at most 300 ms saying goodbye.
  if (s->thread.joinable()) s->thread.join();
  netsock_close(s->listen_sock);
  s->listen_sock = NETSOCK_NONE;
  s->bound_port.store(0);
  log_line("sgstream: off air");
}

void station_free(Station* s) {
  if (!s) return;
  station_stop(s);
  for (StationListener& l : s->listeners) free(l.slots);
  free(s->ring);
  free(s->scratch);
  delete s;
}

void station_set_live(Station* s, bool live) {
  if (s) s->live.store(live, std::memory_order_relaxed);
}

void station_set_latency(Station* s, int64_t ns) {
  if (s) s->latency_ns.store(ns, std::memory_order_relaxed);
}

void station_set_clock(Station* s, StationClock now, void* ctx) {
  if (!s || s->on_air.load()) return;
  s->clock = now;
  s->clock_ctx = ctx;
  s->clock_start.store(clock_abs(s));
}

uint16_t station_port(const Station* s) {
  return s ? s->bound_port.load() : 0;
}

uint64_t station_dropped_packets(const Station* s) {
  return s ? s->dropped.load() : 0;
}

void station_status(const Station* s, StationStatus* out) {
  memset(out, 0, sizeof *out);
  if (!s) return;
  out->on_air = s->on_air.load();
  out->listeners = s->listener_count.load();
  {
    std::lock_guard<std::mutex> g(s->label_lock);
    memcpy(out->last_listener, s->last_listener, sizeof out->last_listener);
  }
  memcpy(out->an, s->an, sizeof out->an);
  memcpy(out->dev, s->dev, sizeof out->dev);
  memcpy(out->sid, s->sid, sizeof out->sid);
  out->advertised = s->advert && advert_advertised(s->advert);
  out->packets = s->packets.load();
  out->measured_rate = s->measured_rate.load();
}
