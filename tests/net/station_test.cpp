// The station on real loopback sockets: listeners are plain TCP clients reading the wire format.
#include "net/station.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/netsock.h"
#include "store/json.h"
#include "support/process.h"
#include "support/tmpdir.h"

namespace {

using std::chrono::milliseconds;

struct Packet {
  int type = 0;
  uint32_t length = 0;  // the length field: bytes after the first 4
  std::vector<uint8_t> body;  // after the 8-byte head
  // Audio fields.
  int flags() const { return body[2] << 8 | body[3]; }
  uint32_t seq() const { return station_get_u32(&body[4]); }
  uint32_t frames() const { return station_get_u32(&body[8]); }
  uint64_t idx() const { return station_get_u64(&body[12]); }
  uint64_t ts() const { return station_get_u64(&body[20]); }
  int16_t sample(int i) const {
    return (int16_t)(body[28 + i * 2] | body[28 + i * 2 + 1] << 8);
  }
  std::string text() const { return std::string(body.begin(), body.end()); }
};

struct Client {
  NetSock sock = NETSOCK_NONE;
  std::vector<uint8_t> buf;
  bool eof = false;

  bool open(uint16_t port, const char* host = "127.0.0.1", int rcvbuf = 0) {
    if (netsock_connect(host, port, rcvbuf, &sock) != 0) return false;
    netsock_set_nonblocking(sock, true);
    return true;
  }
  ~Client() { netsock_close(sock); }
  void send(const void* p, size_t n) {
    const uint8_t* b = (const uint8_t*)p;
    while (n > 0) {
      long r = netsock_send(sock, b, n);
      if (r < 0) {
        std::this_thread::sleep_for(milliseconds(1));
        continue;
      }
      b += r;
      n -= (size_t)r;
    }
  }
  void send_packet(int type, const void* body, size_t n) {
    std::vector<uint8_t> p(8 + n);
    station_put_head(p.data(), type, (uint32_t)n);
    if (n) memcpy(p.data() + 8, body, n);
    send(p.data(), p.size());
  }
  void hello(const char* json) { send_packet(STATION_PKT_LISTENER_HELLO, json, strlen(json)); }
  // Moves whatever has arrived into buf; false once the station closed.
  bool pump() {
    uint8_t tmp[65536];
    for (;;) {
      long r = netsock_recv(sock, tmp, sizeof tmp);
      if (r == NETSOCK_WOULD_BLOCK) return true;
      if (r <= 0) {
        eof = true;
        return false;
      }
      buf.insert(buf.end(), tmp, tmp + r);
    }
  }
  bool take(Packet* p) {
    if (buf.size() < 8) return false;
    uint32_t len = station_get_u32(buf.data());
    if (buf.size() < len + 4) return false;
    p->length = len;
    p->type = buf[7];
    p->body.assign(buf.begin() + 8, buf.begin() + 4 + len);
    buf.erase(buf.begin(), buf.begin() + 4 + len);
    return true;
  }
  bool next(Packet* p, int timeout_ms = 3000) {
    auto end = std::chrono::steady_clock::now() + milliseconds(timeout_ms);
    for (;;) {
      if (take(p)) return true;
      if (eof || std::chrono::steady_clock::now() > end) return false;
      bool readable = false;
      netsock_poll(&sock, 1, 5, &readable, nullptr);
      pump();
    }
  }
  bool next_of(int type, Packet* p, int timeout_ms = 3000) {
    while (next(p, timeout_ms)) {
      if (p->type == type) return true;
    }
    return false;
  }
  // Every packet that arrives until nothing comes for quiet_ms.
  std::vector<Packet> drain(int quiet_ms = 100) {
    std::vector<Packet> out;
    Packet p;
    while (next(&p, quiet_ms)) out.push_back(p);
    return out;
  }
  // Whole packets available now, without waiting.
  void collect(std::vector<Packet>* out) {
    pump();
    Packet p;
    while (take(&p)) out->push_back(p);
  }
  bool closed_within(int ms) {
    Packet p;
    auto end = std::chrono::steady_clock::now() + milliseconds(ms);
    while (!eof && std::chrono::steady_clock::now() < end) {
      next(&p, 20);
    }
    return eof;
  }
};

struct TestClock {
  std::atomic<int64_t> ns{5'000'000'000};
  static int64_t now(void* c) { return static_cast<TestClock*>(c)->ns.load(); }
  void advance_ms(double ms) { ns.fetch_add((int64_t)(ms * 1e6)); }
};

struct StationRun {
  TmpDir dir{"station"};
  Station* s = nullptr;
  uint16_t port = 0;
  explicit StationRun(uint16_t want_port = 0, TestClock* clock = nullptr, bool start = true) {
    s = station_init("kelp", "Kelp NOVA", "mix", "out", want_port, dir.path.c_str());
    if (s && clock) station_set_clock(s, TestClock::now, clock);
    if (s && start && station_start(s) == 0) port = station_port(s);
  }
  ~StationRun() { station_free(s); }
  StationStatus status() const {
    StationStatus st;
    station_status(s, &st);
    return st;
  }
  bool wait_listeners(int n, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + milliseconds(ms);
    while (status().listeners != n) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
  }
  bool wait_packets(uint64_t n, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + milliseconds(ms);
    while (status().packets < n) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
  }
};

void feed(Station* s, float left, float right, int frames, int rate = 48000) {
  std::vector<float> b((size_t)frames * 2);
  for (int i = 0; i < frames; i++) {
    b[(size_t)i * 2] = left;
    b[(size_t)i * 2 + 1] = right;
  }
  station_tap(s, b.data(), frames, rate);
}

// Connected, hello read (and its paused state when expected).
void join(StationRun& r, Client& c, const char* hello = "{\"an\":\"test\",\"dev\":\"box\"}") {
  ASSERT_TRUE(c.open(r.port));
  c.hello(hello);
  Packet p;
  ASSERT_TRUE(c.next(&p));
  ASSERT_EQ(STATION_PKT_HELLO, p.type);
}

// --- the hello and the samples -----------------------------------------------------------------

TEST(StationWire, HelloParsesWithBothReadersOverIPv4AndIPv6) {
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    StationRun r;
    ASSERT_NE(0, r.port);
    station_set_latency(r.s, 5'000'000);
    Client c;
    if (!c.open(r.port, host)) {
      ASSERT_STRNE("127.0.0.1", host);
      continue;  // no IPv6 on this machine
    }
    Packet p;
    ASSERT_TRUE(c.next(&p));
    ASSERT_EQ(STATION_PKT_HELLO, p.type);
    std::string text = p.text();
    char host_name[256] = "PC";
    gethostname(host_name, sizeof host_name);

    char msg[128];
    JsonDoc* doc = json_parse(text.data(), text.size(), msg, sizeof msg);
    ASSERT_NE(nullptr, doc) << msg << "\n" << text;
    const JsonValue* root = json_root(doc);
    EXPECT_STREQ("kelp", json_string(json_get(root, "app"), ""));
    EXPECT_STREQ("Kelp NOVA", json_string(json_get(root, "an"), ""));
    EXPECT_STREQ("mix", json_string(json_get(root, "kind"), ""));
    EXPECT_EQ(std::string(host_name).substr(0, 63), json_string(json_get(root, "dev"), ""));
    EXPECT_STREQ("pcm16", json_string(json_get(root, "codec"), ""));
    EXPECT_EQ(2, json_int(json_get(root, "ch"), 0));
    EXPECT_EQ(48000, json_int(json_get(root, "rate"), 0));
    EXPECT_EQ(480, json_int(json_get(root, "frames"), 0));
    EXPECT_STREQ("out", json_string(json_get(root, "tref"), ""));
    EXPECT_EQ(5'000'000, json_int(json_get(root, "latNs"), 0));
    EXPECT_EQ(0, json_int(json_get(root, "idx"), -1));
    EXPECT_STREQ("linux", json_string(json_get(root, "os"), ""));
    std::string sid = json_string(json_get(root, "sid"), "");
    EXPECT_EQ(8u, sid.size());
    EXPECT_EQ(std::string::npos, sid.find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(sid, r.status().sid);
    EXPECT_EQ(sid + "\n", tmpdir_read(r.dir / "stream.kelp.sid"));
    json_free(doc);

    rapidjson::Document d;
    d.Parse(text.c_str());
    ASSERT_FALSE(d.HasParseError()) << text;
    EXPECT_EQ(13u, d.MemberCount());
    EXPECT_STREQ("Kelp NOVA", d["an"].GetString());
    EXPECT_EQ(48000, d["rate"].GetInt());
    EXPECT_EQ(5'000'000, d["latNs"].GetInt64());
  }
}

TEST(StationWire, ListenerHelloNamesTheListener) {
  struct Case {
    const char* json;
    const char* label;
  } cases[] = {
      {"{\"an\":\"Kelp Sky\",\"dev\":\"desk\"}", "KELP SKY (desk)"},
      {"{ \"dev\" :\n\t\"laptop\", \"an\"\t: \"tide\" }", "TIDE (laptop)"},
      {"{\"an\":\"solo\"}", "SOLO"},
      {"{\"an\":\"a-very-long-listener-name-cut-at-31-bytes\",\"dev\":\"d\"}",
       "A-VERY-LONG-LISTENER-NAME-CUT-A (d)"},
  };
  StationRun r;
  for (const Case& k : cases) {
    Client c;
    join(r, c, k.json);
    auto end = std::chrono::steady_clock::now() + milliseconds(2000);
    while (std::string(r.status().last_listener) != k.label && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_STREQ(k.label, r.status().last_listener);
  }
}

TEST(StationWire, SamplesConvertAndPacketsRunOn) {
  // Left carries the value, right its negation: clamped, scaled by 32767, cut towards zero.
  struct Case {
    float in;
    int16_t out;
  } cases[] = {{1.0f, 32767}, {-1.0f, -32767}, {2.5f, 32767}, {-7.0f, -32767}, {0.5f, 16383},
               {-0.5f, -16383}, {0.25f, 8191}, {0.0001f, 3}, {-0.0001f, -3}, {0.0f, 0}};
  const int n = (int)(sizeof cases / sizeof cases[0]);
  TestClock clock;
  const int64_t start = clock.ns.load();
  StationRun r(0, &clock);
  station_set_latency(r.s, 3'000'000);
  Client c;
  join(r, c);
  ASSERT_TRUE(r.wait_listeners(1));
  const int frames = 4 * STATION_FRAMES;
  std::vector<float> ramp((size_t)frames * 2);
  for (int f = 0; f < frames; f++) {
    ramp[(size_t)f * 2] = cases[f % n].in;
    ramp[(size_t)f * 2 + 1] = -cases[f % n].in;
  }
  // Uneven blocks, as an engine at 256 frames would deliver them.
  // Blocks arrive in real time from 1 s on; a packet's time is its first frame's.
  for (int at = 0; at < frames; at += 256) {
    clock.ns.store(start + 1'000'000'000 + (int64_t)at * 1'000'000'000 / 48000);
    station_tap(r.s, ramp.data() + (size_t)at * 2, std::min(256, frames - at), 48000);
  }
  for (int k = 0; k < 4; k++) {
    Packet p;
    ASSERT_TRUE(c.next_of(STATION_PKT_AUDIO, &p));
    ASSERT_EQ(32u + 1920u, p.length);
    EXPECT_EQ(1, p.body[0]);
    EXPECT_EQ(2, p.body[1]);
    EXPECT_EQ(k == 0 ? STATION_FLAG_DISCONTINUITY : 0, p.flags()) << k;
    EXPECT_EQ((uint32_t)k, p.seq());
    EXPECT_EQ(480u, p.frames());
    EXPECT_EQ((uint64_t)k * 480, p.idx());
    EXPECT_NEAR(1'003'000'000.0 + k * 10'000'000.0, (double)p.ts(), 2.0);
    for (int f = 0; f < STATION_FRAMES; f++) {
      int16_t want = cases[(k * STATION_FRAMES + f) % n].out;
      ASSERT_EQ(want, p.sample(f * 2)) << "frame " << k * 480 + f;
      ASSERT_EQ(-want, p.sample(f * 2 + 1)) << "frame " << k * 480 + f;
    }
  }
  EXPECT_EQ(4u, r.status().packets);
}

TEST(StationWire, SilenceSendsTheHeadOnly) {
  struct Case {
    float level;
    bool silent;
  } cases[] = {{0.0f, true}, {0.00001f, true}, {-0.0000152f, true}, {0.00002f, false}, {-0.001f, false}};
  StationRun r;
  Client c;
  join(r, c);
  ASSERT_TRUE(r.wait_listeners(1));
  for (const Case& k : cases) {
    SCOPED_TRACE(k.level);
    feed(r.s, k.level, k.level, STATION_FRAMES);
    Packet p;
    ASSERT_TRUE(c.next_of(STATION_PKT_AUDIO, &p));
    EXPECT_EQ(k.silent ? 32u : 32u + 1920u, p.length);
    EXPECT_EQ(k.silent, (p.flags() & STATION_FLAG_SILENCE) != 0);
    EXPECT_EQ(480u, p.frames());
  }
}

// --- rate ------------------------------------------------------------------------------------

TEST(StationRate, MeasuredRateSettlesAndPacketsStayAt48k) {
  struct Case {
    int claimed;  // what the engine says
    int fed;      // what the clock sees
    double measured;
  } cases[] = {{44100, 44100, 44100}, {48000, 44100, 44100}, {48000, 48000, 48000}};
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message() << k.claimed << " claimed, " << k.fed << " fed");
    TestClock clock;
    StationRun r(0, &clock);
    Client c;
    join(r, c);
    ASSERT_TRUE(r.wait_listeners(1));
    std::vector<Packet> got;
    const int per_step = k.fed / 100;  // 10 ms of audio
    std::vector<float> block((size_t)per_step * 2);
    double phase = 0;
    uint64_t packets_at_410 = 0;
    for (int step = 0; step < 500; step++) {
      for (int i = 0; i < per_step; i++) {
        float v = 0.5f * (float)sin(phase);
        phase += 2 * M_PI * 1000.0 / k.fed;
        block[(size_t)i * 2] = v;
        block[(size_t)i * 2 + 1] = -v;
      }
      station_tap(r.s, block.data(), per_step, k.claimed);
      clock.advance_ms(10);
      if (step == 409) {
        std::this_thread::sleep_for(milliseconds(30));
        packets_at_410 = r.status().packets;
      }
      if (step % 4 == 0) std::this_thread::sleep_for(milliseconds(1));
      c.collect(&got);
    }
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(k.measured, r.status().measured_rate);
    // 90 steps of 10 ms after the rate settled: 90 packets at 48000 Hz (at most one in the works).
    double since = (double)(r.status().packets - packets_at_410);
    EXPECT_NEAR(90, since, 1.0);
    std::vector<Packet> rest = c.drain();
    got.insert(got.end(), rest.begin(), rest.end());
    std::vector<const Packet*> audio;
    for (const Packet& p : got) {
      if (p.type == STATION_PKT_AUDIO) audio.push_back(&p);
    }
    ASSERT_GT(audio.size(), 400u);
    for (size_t i = 0; i < audio.size(); i++) {
      ASSERT_EQ(480u, audio[i]->frames());
      ASSERT_EQ(i * 480, audio[i]->idx());
      ASSERT_EQ(i == 0 ? STATION_FLAG_DISCONTINUITY : 0, audio[i]->flags()) << i;
    }
    // The last 50 packets (half a second) hold a 1000 Hz tone at 48000 Hz: 1000 zero crossings,
    // and no step between neighbours larger than the tone's steepest (about 2145).
    int crossings = 0, worst = 0;
    int16_t prev = audio[audio.size() - 50]->sample(0);
    for (size_t i = audio.size() - 50; i < audio.size(); i++) {
      for (int f = 0; f < 480; f++) {
        int16_t v = audio[i]->sample(f * 2);
        if ((prev < 0) != (v < 0)) crossings++;
        worst = std::max(worst, std::abs(v - prev));
        prev = v;
      }
    }
    EXPECT_NEAR(1000, crossings, 6);
    EXPECT_LT(worst, 2300);
  }
}

// --- listeners -------------------------------------------------------------------------------

TEST(StationListeners, EightListenAndANinthIsTurnedAway) {
  StationRun r;
  std::vector<Client> c(STATION_LISTENERS);
  for (Client& x : c) join(r, x);
  ASSERT_TRUE(r.wait_listeners(STATION_LISTENERS));
  Client ninth;
  ASSERT_TRUE(ninth.open(r.port));
  EXPECT_TRUE(ninth.closed_within(2000));
  EXPECT_TRUE(ninth.buf.empty());
  feed(r.s, 0.25f, 0.25f, STATION_FRAMES);
  for (Client& x : c) {
    Packet p;
    ASSERT_TRUE(x.next_of(STATION_PKT_AUDIO, &p));
    EXPECT_EQ(0u, p.idx());
  }
  EXPECT_EQ(STATION_LISTENERS, r.status().listeners);
}

// Feeds 10 ms blocks until the station has dropped packets from a full queue.
int feed_until_dropped(StationRun& r, Client* reader, std::vector<Packet>* got) {
  int blocks = 0;
  while (station_dropped_packets(r.s) == 0 && blocks < 6000) {
    feed(r.s, 0.1f, 0.1f, STATION_FRAMES * 2);
    blocks += 2;
    std::this_thread::sleep_for(milliseconds(1));
    if (reader) reader->collect(got);
  }
  return blocks;
}

TEST(StationListeners, ASlowListenerLosesItsOldestPacketsAndHoldsNoOneUp) {
  StationRun r;
  Client slow, fast;
  ASSERT_TRUE(slow.open(r.port, "127.0.0.1", 4096));
  join(r, fast);
  ASSERT_TRUE(r.wait_listeners(2));
  std::vector<Packet> got;
  int blocks = feed_until_dropped(r, &fast, &got);
  ASSERT_GT(station_dropped_packets(r.s), 0u);
  ASSERT_TRUE(r.wait_packets((uint64_t)blocks));
  std::vector<Packet> rest = fast.drain();
  got.insert(got.end(), rest.begin(), rest.end());
  uint64_t want = 0;
  for (const Packet& p : got) {
    if (p.type != STATION_PKT_AUDIO) continue;
    ASSERT_EQ(want, p.idx());
    want += 480;
  }
  EXPECT_EQ((uint64_t)blocks * 480, want);
  // The slow one still hears the stream, with a hole where its oldest packets went.
  std::vector<Packet> late = slow.drain(300);
  uint64_t last = 0;
  bool hole = false;
  int audio = 0;
  for (const Packet& p : late) {
    if (p.type != STATION_PKT_AUDIO) continue;
    if (audio++ > 0 && p.idx() != last + 480) hole = true;
    last = p.idx();
  }
  EXPECT_TRUE(hole);
  EXPECT_EQ((uint64_t)(blocks - 1) * 480, last);
}

TEST(StationListeners, PingIsAnsweredAheadOfQueuedAudio) {
  StationRun r;
  Client c;
  ASSERT_TRUE(c.open(r.port, "127.0.0.1", 4096));
  ASSERT_TRUE(r.wait_listeners(1));
  feed_until_dropped(r, nullptr, nullptr);
  ASSERT_GT(station_dropped_packets(r.s), 0u);
  uint8_t t[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  c.send_packet(STATION_PKT_PING, t, 8);
  std::this_thread::sleep_for(milliseconds(50));
  std::vector<Packet> all = c.drain(300);
  int after = -1;
  for (const Packet& p : all) {
    if (p.type == STATION_PKT_PONG) {
      ASSERT_EQ(24u, p.body.size());
      EXPECT_EQ(0, memcmp(t, p.body.data(), 8));
      EXPECT_EQ(station_get_u64(&p.body[8]), station_get_u64(&p.body[16]));
      after = 0;
    } else if (after >= 0 && p.type == STATION_PKT_AUDIO) {
      after++;
    }
  }
  // The queue was full (50): all but a half-sent one are still behind the pong.
  EXPECT_GE(after, 45);
}

TEST(StationListeners, GarbageDropsOnlyThatListenerAndBrokenConnectionsAreSurvived) {
  enum Then { kNothing, kShutdown, kReset };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    Then then;
    bool dropped;
  } cases[] = {
      {"length over 1020", {0, 0, 0x13, 0x88, 'S', 'G', 1, 16}, kNothing, true},
      {"length 1021", {0, 0, 0x03, 0xfd, 'S', 'G', 1, 16}, kNothing, true},
      {"too short, ignored", {0, 0, 0, 2, 'S', 'G'}, kNothing, false},
      {"not SG, ignored", {0, 0, 0, 12, 'X', 'Y', 1, 17, 1, 2, 3, 4, 5, 6, 7, 8}, kNothing, false},
      {"short ping, ignored", {0, 0, 0, 8, 'S', 'G', 1, 17, 1, 2, 3, 4}, kNothing, false},
      {"half-open", {}, kShutdown, true},
      {"reset", {}, kReset, true},
  };
  StationRun r;
  Client steady;
  join(r, steady);
  uint64_t idx = 0;
  for (Case& k : cases) {
    SCOPED_TRACE(k.name);
    Client bad;
    join(r, bad);
    ASSERT_TRUE(r.wait_listeners(2));
    if (!k.bytes.empty()) bad.send(k.bytes.data(), k.bytes.size());
    if (k.then == kShutdown) netsock_shutdown_send(bad.sock);
    if (k.then == kReset) {
      netsock_abort(bad.sock);
      bad.sock = NETSOCK_NONE;
    }
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_TRUE(r.wait_listeners(k.dropped ? 1 : 2));
    if (k.then == kNothing) {
      EXPECT_EQ(k.dropped, bad.closed_within(k.dropped ? 2000 : 50));
    }
    feed(r.s, 0.3f, 0.3f, STATION_FRAMES);
    Packet p;
    ASSERT_TRUE(steady.next_of(STATION_PKT_AUDIO, &p));
    EXPECT_EQ(idx, p.idx());
    idx += 480;
  }
}

// --- life ------------------------------------------------------------------------------------

TEST(StationLife, PausedThenLiveAdvancesIdxByThePause) {
  TestClock clock;
  StationRun r(0, &clock, false);
  station_set_live(r.s, false);
  ASSERT_EQ(0, station_start(r.s));
  r.port = station_port(r.s);
  Client c;
  join(r, c);
  Packet p;
  ASSERT_TRUE(c.next(&p));
  ASSERT_EQ(STATION_PKT_STATE, p.type);
  EXPECT_EQ("{\"state\":\"paused\"}", p.text());

  clock.advance_ms(1000);
  station_set_live(r.s, true);
  ASSERT_TRUE(c.next(&p));
  ASSERT_EQ(STATION_PKT_STATE, p.type);
  EXPECT_EQ("{\"state\":\"live\"}", p.text());
  feed(r.s, 0.2f, 0.2f, 2 * STATION_FRAMES);
  ASSERT_TRUE(c.next_of(STATION_PKT_AUDIO, &p));
  EXPECT_EQ(48000u, p.idx());
  EXPECT_EQ(STATION_FLAG_DISCONTINUITY, p.flags());
  ASSERT_TRUE(c.next_of(STATION_PKT_AUDIO, &p));
  EXPECT_EQ(48480u, p.idx());
  EXPECT_EQ(0, p.flags());

  station_set_live(r.s, false);
  ASSERT_TRUE(c.next(&p));
  EXPECT_EQ("{\"state\":\"paused\"}", p.text());
  clock.advance_ms(250);
  station_set_live(r.s, true);
  ASSERT_TRUE(c.next(&p));
  EXPECT_EQ("{\"state\":\"live\"}", p.text());
  feed(r.s, 0.2f, 0.2f, STATION_FRAMES);
  ASSERT_TRUE(c.next_of(STATION_PKT_AUDIO, &p));
  EXPECT_EQ(48960u + 12000u, p.idx());
  EXPECT_EQ(STATION_FLAG_DISCONTINUITY, p.flags());
  // Someone joining now is told where the stream is.
  Client later;
  ASSERT_TRUE(later.open(r.port));
  ASSERT_TRUE(later.next(&p));
  EXPECT_NE(std::string::npos, p.text().find("\"idx\":60960,"));
}

TEST(StationLife, StopSaysGoodbyeAndTheStationStartsAgainOnItsPort) {
  uint16_t port;
  {
    StationRun probe;
    port = probe.port;
  }
  StationRun r(port);
  ASSERT_EQ(port, r.port);
  for (int run = 0; run < 2; run++) {
    SCOPED_TRACE(run);
    std::vector<Client> c(3);
    for (Client& x : c) join(r, x);
    ASSERT_TRUE(r.wait_listeners(3));
    feed(r.s, 0.2f, 0.2f, STATION_FRAMES);
    ASSERT_TRUE(r.wait_packets(1));
    station_stop(r.s);
    EXPECT_FALSE(r.status().on_air);
    for (Client& x : c) {
      Packet p, last;
      while (x.next(&p, 2000)) last = p;
      EXPECT_EQ(STATION_PKT_GOODBYE, last.type);
      EXPECT_EQ(4u, last.length);
      EXPECT_TRUE(x.eof);
    }
    ASSERT_EQ(0, station_start(r.s));
    EXPECT_EQ(port, station_port(r.s));
  }
  // The port is taken while this one is on air.
  TmpDir dir("busy");
  Station* other = station_init("kelp", "Kelp NOVA", "mix", "out", port, dir.path.c_str());
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(-1, station_start(other));
  EXPECT_FALSE([&] {
    StationStatus st;
    station_status(other, &st);
    return st.on_air;
  }());
  station_free(other);
}

// --- the tap and the network thread together (run these under ThreadSanitizer) -----------------

TEST(StationTap, TapAndNetworkThreadRunTogether) {
  StationRun r;
  Client c;
  join(r, c);
  ASSERT_TRUE(r.wait_listeners(1));
  std::atomic<bool> stop{false};
  std::thread tap([&] {
    std::vector<float> b(256 * 2, 0.25f);
    while (!stop.load()) {
      station_tap(r.s, b.data(), 256, 48000);
      std::this_thread::sleep_for(std::chrono::microseconds(800));
    }
  });
  std::thread churn([&] {
    // Listeners coming and going, latency and status changing meanwhile.
    for (int i = 0; i < 20 && !stop.load(); i++) {
      Client x;
      if (x.open(r.port)) x.hello("{\"an\":\"churn\",\"dev\":\"d\"}");
      station_set_latency(r.s, i * 1000);
      StationStatus st;
      station_status(r.s, &st);
      std::this_thread::sleep_for(milliseconds(15));
    }
  });
  std::vector<Packet> got;
  auto end = std::chrono::steady_clock::now() + milliseconds(600);
  while (std::chrono::steady_clock::now() < end) {
    Packet p;
    if (c.next(&p, 50)) got.push_back(p);
  }
  stop = true;
  tap.join();
  churn.join();
  uint64_t want = 0;
  int audio = 0;
  for (const Packet& p : got) {
    if (p.type != STATION_PKT_AUDIO) continue;
    // A dropped block (ring overrun) is the one way for idx to jump, and it says so.
    if (!(p.flags() & STATION_FLAG_DISCONTINUITY)) {
      ASSERT_EQ(want, p.idx());
    }
    want = p.idx() + 480;
    audio++;
  }
  EXPECT_GT(audio, 20);
}

TEST(StationTap, RestartsWhileTheTapRuns) {
  StationRun r;
  std::atomic<bool> stop{false};
  std::thread tap([&] {
    std::vector<float> b(128 * 2, 0.1f);
    while (!stop.load()) {
      station_tap(r.s, b.data(), 128, 44100);
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  for (int i = 0; i < 5; i++) {
    Client c;
    join(r, c);
    Packet p;
    EXPECT_TRUE(c.next_of(STATION_PKT_AUDIO, &p));
    station_stop(r.s);
    ASSERT_EQ(0, station_start(r.s));
    r.port = station_port(r.s);
  }
  stop = true;
  tap.join();
}

// --- the listener tool ----------------------------------------------------------------------

TEST(StationTool, ListenerRecordsAWavAndCountsPackets) {
  std::string tool = std::string(KELP_BINARY_DIR) + "/tools/sg_listen";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "build tools/sg_listen first";
  StationRun r;
  std::atomic<bool> stop{false};
  std::thread tap([&] {
    // 48 blocks of 10 ms once the listener is in, then silence from the engine.
    while (r.status().listeners == 0 && !stop.load()) std::this_thread::sleep_for(milliseconds(2));
    for (int i = 0; i < 48 && !stop.load(); i++) {
      feed(r.s, 0.5f, -0.5f, STATION_FRAMES);
      std::this_thread::sleep_for(milliseconds(10));
    }
  });
  std::string wav = r.dir / "heard.wav";
  std::string out = test_output(tool + " 127.0.0.1:" + std::to_string(r.port) +
                                " --seconds 1.2 --stats --ping --out " + wav);
  stop = true;
  tap.join();
  EXPECT_NE(std::string::npos, out.find("\"an\":\"Kelp NOVA\"")) << out;
  EXPECT_NE(std::string::npos,
            out.find("packets 48 frames 23040 silent 0 discontinuities 1 idx_gaps 0 seq_gaps 0"))
      << out;
  EXPECT_NE(std::string::npos, out.find("pong ")) << out;
  std::string data = tmpdir_read(wav);
  ASSERT_EQ(44u + 48u * 1920u, data.size());
  EXPECT_EQ(0, data.compare(0, 4, "RIFF"));
  int16_t first[2];
  memcpy(first, data.data() + 44, 4);
  EXPECT_EQ(16383, first[0]);
  EXPECT_EQ(-16383, first[1]);
}

}  // namespace
