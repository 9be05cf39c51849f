// The network thread: accepts listeners, reads their messages, turns the ring into packets and
// feeds every listener's send queue without letting a slow one hold the others up.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "base/log.h"
#include "base/text.h"
#include "net/station_internal.h"

namespace {

void recount(Station* s) {
  int n = 0;
  for (const StationListener& l : s->listeners) n += l.in_use ? 1 : 0;
  s->listener_count.store(n);
}

void drop_listener(Station* s, StationListener* l) {
  netsock_close(l->sock);
  l->sock = NETSOCK_NONE;
  l->in_use = false;
  recount(s);
  log_line("sgstream: %s left (%d listening)", l->name[0] ? l->name : "a listener",
           s->listener_count.load());
}

int build_hello(Station* s, uint8_t* p, int size) {
  int n = snprintf((char*)p + STATION_HEAD, (size_t)(size - STATION_HEAD),
                   "{\"app\":\"%s\",\"an\":\"%s\",\"kind\":\"%s\",\"dev\":\"%s\",\"sid\":\"%s\","
                   "\"codec\":\"pcm16\",\"ch\":2,\"rate\":48000,\"frames\":%d,\"tref\":\"%s\","
                   "\"latNs\":%lld,\"idx\":%llu,\"os\":\"%s\"}",
                   s->app, s->an, s->kind, s->dev, s->sid, (int)STATION_FRAMES, s->tref,
                   (long long)s->latency_ns.load(std::memory_order_relaxed),
                   (unsigned long long)s->published_index.load(), s->os);
  if (n < 0 || n >= size - STATION_HEAD) return -1;
  station_put_head(p, STATION_PKT_HELLO, (uint32_t)n);
  return STATION_HEAD + n;
}

int build_state(bool live, uint8_t* p) {
  const char* text = live ? "{\"state\":\"live\"}" : "{\"state\":\"paused\"}";
  int n = (int)strlen(text);
  memcpy(p + STATION_HEAD, text, (size_t)n);
  station_put_head(p, STATION_PKT_STATE, (uint32_t)n);
  return STATION_HEAD + n;
}

void accept_all(Station* s) {
  for (;;) {
    NetSock c;
    int r = netsock_accept(s->listen_sock, &c);
    if (r <= 0) return;
    StationListener* l = nullptr;
    for (StationListener& x : s->listeners) {
      if (!x.in_use) {
        l = &x;
        break;
      }
    }
    if (!l) {
      netsock_close(c);
      continue;
    }
    l->sock = c;
    l->in_use = true;
    l->name[0] = l->device[0] = 0;
    l->recv_fill = 0;
    l->head = l->count = l->head_sent = 0;
    l->dropped = 0;
    uint8_t p[STATION_SLOT_BYTES];
    int n = build_hello(s, p, sizeof p);
    if (n > 0) station_queue(s, l, p, n, false);
    if (!s->live_sent) station_queue(s, l, p, build_state(false, p), false);
    recount(s);
    log_line("sgstream: a listener connected (%d listening)", s->listener_count.load());
  }
}

// The string value of "key": the first occurrence of the quoted key, then blanks and a colon,
// then a quoted string (cut to size - 1 bytes).
void find_value(const char* text, int n, const char* key, char* out, size_t size) {
  out[0] = 0;
  char quoted[16];
  int k = snprintf(quoted, sizeof quoted, "\"%s\"", key);
  for (int i = 0; i + k <= n; i++) {
    if (memcmp(text + i, quoted, (size_t)k) != 0) continue;
    int j = i + k;
    while (j < n && (text[j] == ' ' || text[j] == '\t' || text[j] == '\n' || text[j] == ':')) j++;
    if (j >= n || text[j] != '"') return;
    j++;
    size_t o = 0;
    while (j < n && text[j] != '"' && o + 1 < size) out[o++] = text[j++];
    out[o] = 0;
    return;
  }
}

void handle_message(Station* s, StationListener* l, const uint8_t* m, int total) {
  if (total < STATION_HEAD || m[4] != 'S' || m[5] != 'G' || m[6] != 1) return;
  int type = m[7];
  const char* body = (const char*)m + STATION_HEAD;
  int body_n = total - STATION_HEAD;
  if (type == STATION_PKT_LISTENER_HELLO) {
    find_value(body, body_n, "an", l->name, sizeof l->name);
    for (char* p = l->name; *p; p++) *p = (char)toupper((unsigned char)*p);
    find_value(body, body_n, "dev", l->device, sizeof l->device);
    char label[80];
    bool dev = l->device[0] != 0;
    snprintf(label, sizeof label, "%s%s%s%s", l->name, dev ? " (" : "", l->device, dev ? ")" : "");
    {
      std::lock_guard<std::mutex> g(s->label_lock);
      size_t n = text_utf8_boundary(label, strnlen(label, sizeof s->last_listener - 1));
      memcpy(s->last_listener, label, n);
      s->last_listener[n] = 0;
    }
    log_line("sgstream: %s is listening", label);
  } else if (type == STATION_PKT_PING && body_n >= 8) {
    uint8_t p[STATION_HEAD + 24];
    station_put_head(p, STATION_PKT_PONG, 24);
    memcpy(p + STATION_HEAD, body, 8);
    uint64_t now = (uint64_t)station_now(s);
    station_put_u64(p + STATION_HEAD + 8, now);
    station_put_u64(p + STATION_HEAD + 16, now);
    station_queue(s, l, p, sizeof p, true);
  }
}

// false when the listener was dropped.
bool read_listener(Station* s, StationListener* l) {
  for (;;) {
    long r =
        netsock_recv(l->sock, l->recv + l->recv_fill, (size_t)(STATION_RECV_BYTES - l->recv_fill));
    if (r == NETSOCK_WOULD_BLOCK) return true;
    if (r <= 0) {
      drop_listener(s, l);
      return false;
    }
    l->recv_fill += (int)r;
    int at = 0;
    while (l->recv_fill - at >= 4) {
      uint32_t len = station_get_u32(l->recv + at);
      if (len > STATION_RECV_BYTES - 4) {
        drop_listener(s, l);
        return false;
      }
      int total = (int)len + 4;
      if (l->recv_fill - at < total) break;
      handle_message(s, l, l->recv + at, total);
      at += total;
    }
    memmove(l->recv, l->recv + at, (size_t)(l->recv_fill - at));
    l->recv_fill -= at;
  }
}

int16_t to_pcm(float v) {
  if (!(v > -1.0f)) v = -1.0f;  // NaN too
  if (v > 1.0f) v = 1.0f;
  return (int16_t)(v * 32767.0f);
}

bool read_block(const Station* s, int64_t* time, uint64_t* index) {
  for (int tries = 0; tries < 1000; tries++) {
    uint32_t a = s->block_seq.load(std::memory_order_acquire);
    *time = s->block_time.load(std::memory_order_acquire);
    *index = s->block_index.load(std::memory_order_acquire);
    uint32_t b = s->block_seq.load(std::memory_order_relaxed);
    if (a == b && !(a & 1)) return true;
  }
  return false;
}

void send_audio(Station* s) {
  uint64_t w = s->write_count.load(std::memory_order_acquire);
  uint64_t r = s->read_pos.load(std::memory_order_relaxed);
  while (w - r >= STATION_FRAMES) {
    if (s->live_sent && s->listener_count.load() > 0) {
      uint8_t p[STATION_SLOT_BYTES];
      const float* ring = s->ring;
      bool silent = true;
      for (int i = 0; i < STATION_FRAMES * 2 && silent; i++) {
        float v = ring[((r + (uint64_t)i / 2) % STATION_RING_FRAMES) * 2 + (i & 1)];
        silent = v <= 0.0000152587890625f && v >= -0.0000152587890625f;
      }
      int64_t bt = 0;
      uint64_t bi = 0;
      read_block(s, &bt, &bi);
      int64_t ts = bt + ((int64_t)r - (int64_t)bi) * 1000000000 / STATION_RATE +
                   s->latency_ns.load(std::memory_order_relaxed);
      if (ts < 0) ts = 0;
      int body = 28 + (silent ? 0 : STATION_FRAMES * 4);
      station_put_head(p, STATION_PKT_AUDIO, (uint32_t)body);
      p[8] = 1;
      p[9] = 2;
      int flags =
          (s->discontinuity ? STATION_FLAG_DISCONTINUITY : 0) | (silent ? STATION_FLAG_SILENCE : 0);
      p[10] = (uint8_t)(flags >> 8);
      p[11] = (uint8_t)flags;
      uint64_t seq = s->packets.load(std::memory_order_relaxed);
      station_put_u32(p + 12, (uint32_t)seq);
      station_put_u32(p + 16, STATION_FRAMES);
      station_put_u64(p + 20, s->frame_index);
      station_put_u64(p + 28, (uint64_t)ts);
      if (!silent) {
        uint8_t* o = p + STATION_AUDIO_HEAD;
        for (int f = 0; f < STATION_FRAMES; f++) {
          const float* fr = ring + ((r + (uint64_t)f) % STATION_RING_FRAMES) * 2;
          for (int c = 0; c < 2; c++) {
            uint16_t v = (uint16_t)to_pcm(fr[c]);
            *o++ = (uint8_t)v;
            *o++ = (uint8_t)(v >> 8);
          }
        }
      }
      s->discontinuity = false;
      for (StationListener& l : s->listeners) {
        if (l.in_use) station_queue(s, &l, p, STATION_HEAD + body, false);
      }
      s->packets.store(seq + 1, std::memory_order_relaxed);
      s->published_index.store(s->frame_index);
    }
    r += STATION_FRAMES;
    s->frame_index += STATION_FRAMES;
    s->read_pos.store(r, std::memory_order_release);
  }
}

void follow_live(Station* s) {
  bool live = s->live.load(std::memory_order_relaxed);
  if (live == s->live_sent) return;
  s->live_sent = live;
  int64_t now = station_now(s);
  if (live) {
    int64_t paused = now - s->paused_at;
    if (paused > 0) s->frame_index += (uint64_t)((__int128)paused * STATION_RATE / 1000000000);
    s->discontinuity = true;
  } else {
    s->paused_at = now;
  }
  uint8_t p[64];
  int n = build_state(live, p);
  for (StationListener& l : s->listeners) {
    if (l.in_use) station_queue(s, &l, p, n, false);
  }
  log_line("sgstream: %s", live ? "live" : "paused");
}

void say_goodbye(Station* s) {
  uint8_t bye[STATION_HEAD];
  station_put_head(bye, STATION_PKT_GOODBYE, 0);
  for (StationListener& l : s->listeners) {
    if (!l.in_use) continue;
    // What has not started sending is of no use now; a half-sent packet must finish first.
    l.count = l.head_sent > 0 ? 1 : 0;
    station_queue(s, &l, bye, sizeof bye, false);
  }
  for (int round = 0; round < 150; round++) {
    bool pending = false;
    for (StationListener& l : s->listeners) {
      if (!l.in_use || l.count == 0) continue;
      if (station_listener_flush(&l) != 0) {
        l.count = 0;
      }
      pending = pending || l.count > 0;
    }
    if (!pending) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (StationListener& l : s->listeners) {
    if (!l.in_use) continue;
    // Reading what the listener still sent keeps the close from turning into a reset that
    // could overtake the goodbye.
    netsock_shutdown_send(l.sock);
    uint8_t sink[512];
    while (netsock_recv(l.sock, sink, sizeof sink) > 0) {
    }
    netsock_close(l.sock);
    l.sock = NETSOCK_NONE;
    l.in_use = false;
  }
  recount(s);
}

}  // namespace

void station_queue(Station* s, StationListener* l, const uint8_t* p, int n, bool front) {
  if (n > STATION_SLOT_BYTES || n <= 0) return;
  const int q = STATION_QUEUE_SLOTS;
  if (l->count == q) {
    if (l->head_sent > 0) {
      // Keep the half-sent head: it takes the place of the one after it.
      int next = (l->head + 1) % q;
      memcpy(l->slots + (size_t)next * STATION_SLOT_BYTES,
             l->slots + (size_t)l->head * STATION_SLOT_BYTES, l->lengths[l->head]);
      l->lengths[next] = l->lengths[l->head];
      l->head = next;
    } else {
      l->head = (l->head + 1) % q;
    }
    l->count--;
    l->dropped++;
    s->dropped.fetch_add(1, std::memory_order_relaxed);
  }
  int at;
  if (!front) {
    at = (l->head + l->count) % q;
  } else if (l->head_sent > 0 && l->count > 0) {
    // Behind the half-sent head: it moves one slot back and the new packet takes its place.
    int prev = (l->head + q - 1) % q;
    memcpy(l->slots + (size_t)prev * STATION_SLOT_BYTES,
           l->slots + (size_t)l->head * STATION_SLOT_BYTES, l->lengths[l->head]);
    l->lengths[prev] = l->lengths[l->head];
    at = l->head;
    l->head = prev;
  } else {
    l->head = (l->head + q - 1) % q;
    l->head_sent = 0;
    at = l->head;
  }
  memcpy(l->slots + (size_t)at * STATION_SLOT_BYTES, p, (size_t)n);
  l->lengths[at] = (uint16_t)n;
  l->count++;
}

int station_listener_flush(StationListener* l) {
  while (l->count > 0) {
    const uint8_t* p = l->slots + (size_t)l->head * STATION_SLOT_BYTES;
    int n = l->lengths[l->head];
    long r = netsock_send(l->sock, p + l->head_sent, (size_t)(n - l->head_sent));
    if (r == NETSOCK_WOULD_BLOCK) return 0;
    if (r < 0) return -1;
    l->head_sent += (int)r;
    if (l->head_sent >= n) {
      l->head = (l->head + 1) % STATION_QUEUE_SLOTS;
      l->count--;
      l->head_sent = 0;
    }
  }
  return 0;
}

void station_thread(Station* s) {
  NetSock socks[1 + STATION_LISTENERS];
  StationListener* who[1 + STATION_LISTENERS];
  bool readable[1 + STATION_LISTENERS];
  while (s->on_air.load(std::memory_order_acquire)) {
    int n = 0;
    socks[n] = s->listen_sock;
    who[n++] = nullptr;
    for (StationListener& l : s->listeners) {
      if (!l.in_use) continue;
      socks[n] = l.sock;
      who[n++] = &l;
    }
    int r = netsock_poll(socks, n, 5, readable, nullptr);
    if (r > 0) {
      if (readable[0]) accept_all(s);
      for (int i = 1; i < n; i++) {
        if (readable[i] && who[i]->in_use) read_listener(s, who[i]);
      }
    }
    follow_live(s);
    if (s->overflow.exchange(false, std::memory_order_relaxed)) s->discontinuity = true;
    send_audio(s);
    for (StationListener& l : s->listeners) {
      if (l.in_use && station_listener_flush(&l) != 0) drop_listener(s, &l);
    }
  }
  say_goodbye(s);
}
