// The station's state, shared by its tap and its network thread.
#pragma once
#include <atomic>
#include <mutex>
#include <thread>

#include "net/advert.h"
#include "net/station.h"
#include "platform/netsock.h"

enum {
  STATION_RING_FRAMES = 96000,  // 2 s at 48000 Hz
  STATION_QUEUE_SLOTS = 50,
  STATION_SLOT_BYTES = 1956,  // a full audio packet
  STATION_RECV_BYTES = 1024,
  STATION_SCRATCH_FLOATS = 16384,
  STATION_RESAMPLE_MAX = 8192,  // output frames per tap call
};

struct StationListener {
  NetSock sock;
  bool in_use;
  char name[32];
  char device[32];
  uint8_t recv[STATION_RECV_BYTES];
  int recv_fill;
  uint8_t* slots;  // STATION_QUEUE_SLOTS x STATION_SLOT_BYTES
  uint16_t lengths[STATION_QUEUE_SLOTS];
  int head, count, head_sent;
  uint64_t dropped;
};

struct Station {
  char app[32], an[32], kind[16], tref[4], dev[64], sid[9], os[16];
  uint16_t port;
  NetSock listen_sock;
  std::atomic<uint16_t> bound_port;
  std::atomic<bool> on_air;
  std::atomic<bool> live;
  bool live_sent;
  bool discontinuity;
  std::atomic<int64_t> latency_ns;

  // Ring: the tap writes frames and publishes write_count; the network thread publishes read_pos.
  float* ring;  // STATION_RING_FRAMES x 2
  std::atomic<uint64_t> write_count;
  std::atomic<uint64_t> read_pos;
  // Block time and index, read as a pair under a sequence count (odd while the tap writes).
  std::atomic<uint32_t> block_seq;
  std::atomic<int64_t> block_time;
  std::atomic<uint64_t> block_index;
  std::atomic<bool> overflow;
  std::atomic<bool> in_tap;

  // Tap-only state.
  double rs_rate;
  double rs_pos;
  float rs_last[2];
  float* scratch;  // STATION_SCRATCH_FLOATS
  int64_t rt_window_start;
  int64_t rt_frames;
  double rt_last_estimate;
  int rt_agreeing;
  bool rt_started;
  std::atomic<double> measured_rate;

  uint64_t frame_index;
  std::atomic<uint64_t> published_index;
  int64_t paused_at;
  std::atomic<uint64_t> packets;
  std::atomic<uint64_t> dropped;

  StationClock clock;
  void* clock_ctx;
  std::atomic<int64_t> clock_start;

  StationListener listeners[STATION_LISTENERS];
  std::atomic<int> listener_count;
  mutable std::mutex label_lock;
  char last_listener[64];

  Advert* advert;
  std::thread thread;
};

// Station time: ns since this run's start.
int64_t station_now(const Station* s);
void station_thread(Station* s);
// Half-sends the queue's head first, then as much as the socket takes; -1 on a socket error.
int station_listener_flush(StationListener* l);
// Queues a packet at the back (or just behind a half-sent head when front is set); a full queue
// loses its oldest packet not yet started.
void station_queue(Station* s, StationListener* l, const uint8_t* p, int n, bool front);
