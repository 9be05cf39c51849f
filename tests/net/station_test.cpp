// The station on real loopback sockets: listeners are plain TCP clients reading the wire format.
#include "net/station.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/netsock.h"
#include "store/json.h"
#include "support/process.h"
#include "support/tmpdir.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

bool wait_for(const std::function<bool()>& done, int ms = 3000) {
  for (auto end = Clock::now() + milliseconds(ms); !done();
       std::this_thread::sleep_for(milliseconds(2))) {
    if (Clock::now() > end) return false;
  }
  return true;
}

struct Packet {
  int type = 0;
  uint32_t length = 0;        // the length field: bytes after the first 4
  std::vector<uint8_t> body;  // after the 8-byte head
  int flags() const { return body[2] << 8 | body[3]; }
  uint32_t seq() const { return station_get_u32(&body[4]); }
  uint32_t frames() const { return station_get_u32(&body[8]); }
  uint64_t idx() const { return station_get_u64(&body[12]); }
  uint64_t ts() const { return station_get_u64(&body[20]); }
  int16_t sample(int i) const { return (int16_t)(body[28 + i * 2] | body[29 + i * 2] << 8); }
  std::string text() const { return std::string(body.begin(), body.end()); }
};

struct Client {
  NetSock sock = NETSOCK_NONE;
  std::vector<uint8_t> buf;
  bool eof = false;
  ~Client() { netsock_close(sock); }
  bool open(uint16_t port, const char* host = "127.0.0.1", int rcvbuf = 0) {
    return netsock_connect(host, port, rcvbuf, &sock) == 0 &&
           netsock_set_nonblocking(sock, true) == 0;
  }
  void send_packet(int type, const void* body, size_t n) {
    std::vector<uint8_t> p(8 + n);
    station_put_head(p.data(), type, (uint32_t)n);
    memcpy(p.data() + 8, body, n);
    netsock_set_nonblocking(sock, false);
    netsock_send(sock, p.data(), p.size());
    netsock_set_nonblocking(sock, true);
  }
  void collect(std::vector<Packet>* out) {
    uint8_t tmp[65536];
    long r;
    while ((r = netsock_recv(sock, tmp, sizeof tmp)) > 0) buf.insert(buf.end(), tmp, tmp + r);
    eof = eof || r == 0 || r == NETSOCK_ERROR;
    Packet p;
    while (buf.size() >= 8 && buf.size() >= station_get_u32(buf.data()) + 4) {
      p.length = station_get_u32(buf.data());
      p.type = buf[7];
      p.body.assign(buf.begin() + 8, buf.begin() + 4 + p.length);
      buf.erase(buf.begin(), buf.begin() + 4 + p.length);
      out->push_back(p);
    }
  }
  std::vector<Packet> ready;
  bool next(Packet* p, int ms = 3000) {
    for (auto end = Clock::now() + milliseconds(ms); ready.empty() && !eof && Clock::now() < end;) {
      bool readable;
      netsock_poll(&sock, 1, 5, &readable, nullptr);
      collect(&ready);
    }
    if (ready.empty()) return false;
    *p = ready.front();
    ready.erase(ready.begin());
    return true;
  }
  bool next_of(int type, Packet* p) {
    while (next(p)) {
      if (p->type == type) return true;
    }
    return false;
  }
  std::vector<Packet> drain(int quiet_ms = 100) {
    std::vector<Packet> out;
    for (Packet p; next(&p, quiet_ms);) out.push_back(p);
    return out;
  }
};

struct TestClock {
  std::atomic<int64_t> ns{5'000'000'000};
  static int64_t now(void* c) { return static_cast<TestClock*>(c)->ns.load(); }
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
  bool wait_listeners(int n) {
    return wait_for([&] { return status().listeners == n; });
  }
};

void feed(Station* s, float left, float right, int frames, int rate = 48000) {
  std::vector<float> b((size_t)frames * 2);
  for (int i = 0; i < frames; i++) b[(size_t)i * 2] = left, b[(size_t)i * 2 + 1] = right;
  station_tap(s, b.data(), frames, rate);
}

// Connected, listener hello sent, the station's hello read.
void join(StationRun& r, Client& c, const char* hello = "{\"an\":\"test\",\"dev\":\"box\"}") {
  ASSERT_TRUE(c.open(r.port));
  c.send_packet(STATION_PKT_LISTENER_HELLO, hello, strlen(hello));
  Packet p;
  ASSERT_TRUE(c.next(&p));
  ASSERT_EQ(STATION_PKT_HELLO, p.type);
}

TEST(StationWire, HelloParsesWithBothReadersOverIPv4AndIPv6) {
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    StationRun r;
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
    JsonDoc* doc = json_parse(text.data(), text.size(), nullptr, 0);
    ASSERT_NE(nullptr, doc) << text;
    const JsonValue* root = json_root(doc);
    auto str = [&](const char* k) { return std::string(json_string(json_get(root, k), "?")); };
    auto num = [&](const char* k) { return json_int(json_get(root, k), -1); };
    EXPECT_EQ("kelp", str("app"));
    EXPECT_EQ("Kelp NOVA", str("an"));
    EXPECT_EQ("mix", str("kind"));
    EXPECT_EQ(std::string(host_name).substr(0, 63), str("dev"));
    EXPECT_EQ("pcm16", str("codec"));
    EXPECT_EQ("out", str("tref"));
    EXPECT_EQ("linux", str("os"));
    EXPECT_EQ(2, num("ch"));
    EXPECT_EQ(48000, num("rate"));
    EXPECT_EQ(480, num("frames"));
    EXPECT_EQ(5'000'000, num("latNs"));
    EXPECT_EQ(0, num("idx"));
    std::string sid = str("sid");
    EXPECT_EQ(8u, sid.size());
    EXPECT_EQ(std::string::npos, sid.find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(sid, r.status().sid);
    EXPECT_EQ(sid + "\n", tmpdir_read(r.dir / "stream.kelp.sid"));
    json_free(doc);
    rapidjson::Document d;
    d.Parse(text.c_str());
    ASSERT_FALSE(d.HasParseError()) << text;
    EXPECT_EQ(13u, d.MemberCount());
    EXPECT_EQ(5'000'000, d["latNs"].GetInt64());
  }
}

TEST(StationWire, ListenerHelloNamesTheListener) {
  const char* cases[][2] = {
      {"{\"an\":\"Kelp Sky\",\"dev\":\"desk\"}", "KELP SKY (desk)"},
      {"{ \"dev\" :\n\t\"laptop\", \"an\"\t: \"tide\" }", "TIDE (laptop)"},
      {"{\"an\":\"solo\"}", "SOLO"},
      {"{\"an\":\"a-very-long-listener-name-cut-at-31-bytes\",\"dev\":\"d\"}",
       "A-VERY-LONG-LISTENER-NAME-CUT-A (d)"},
  };
  StationRun r;
  for (auto& k : cases) {
    Client c;
    join(r, c, k[0]);
    EXPECT_TRUE(wait_for([&] { return std::string(r.status().last_listener) == k[1]; })) << k[1];
  }
}

TEST(StationWire, SamplesConvertAndPacketsRunOn) {
  // Left carries the value, right its negation: clamped, scaled by 32767, cut towards zero.
  const struct {
    float in;
    int16_t out;
  } cases[] = {{1.0f, 32767},   {-1.0f, -32767}, {2.5f, 32767}, {-7.0f, -32767}, {0.5f, 16383},
               {-0.5f, -16383}, {0.25f, 8191},   {0.0001f, 3},  {-0.0001f, -3},  {0.0f, 0}};
  const int n = 10, frames = 4 * STATION_FRAMES;
  TestClock clock;
  const int64_t start = clock.ns.load();
  StationRun r(0, &clock);
  station_set_latency(r.s, 3'000'000);
  Client c;
  join(r, c);
  ASSERT_TRUE(r.wait_listeners(1));
  std::vector<float> ramp((size_t)frames * 2);
  for (int f = 0; f < frames; f++)
    ramp[(size_t)f * 2] = cases[f % n].in, ramp[(size_t)f * 2 + 1] = -cases[f % n].in;
  // 256-frame blocks in real time from 1 s on; a packet's time is its first frame's.
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
  const struct {
    float level;
    bool silent;
  } cases[] = {
      {0.0f, true}, {0.00001f, true}, {-0.0000152f, true}, {0.00002f, false}, {-0.001f, false}};
  StationRun r;
  Client c;
  join(r, c);
  ASSERT_TRUE(r.wait_listeners(1));
  for (auto& k : cases) {
    feed(r.s, k.level, k.level, STATION_FRAMES);
    Packet p;
    ASSERT_TRUE(c.next_of(STATION_PKT_AUDIO, &p));
    EXPECT_EQ(k.silent ? 32u : 32u + 1920u, p.length) << k.level;
    EXPECT_EQ(k.silent, (p.flags() & STATION_FLAG_SILENCE) != 0) << k.level;
  }
}

TEST(StationRate, MeasuredRateSettlesAndPacketsStayAt48k) {
  // What the engine says, what the clock sees, what the station settles on.
  const struct {
    int claimed, fed;
    double measured;
  } cases[] = {{44100, 44100, 44100}, {48000, 44100, 44100}, {48000, 48000, 48000}};
  for (auto& k : cases) {
    SCOPED_TRACE(::testing::Message() << k.claimed << " claimed, " << k.fed << " fed");
    TestClock clock;
    StationRun r(0, &clock);
    Client c;
    join(r, c);
    ASSERT_TRUE(r.wait_listeners(1));
    std::vector<Packet> got;
    const int per_step = k.fed / 100;  // 10 ms of a 1000 Hz tone
    std::vector<float> block((size_t)per_step * 2);
    double phase = 0;
    uint64_t settled_packets = 0;
    for (int step = 0; step < 500; step++) {
      for (int i = 0; i < per_step; i++, phase += 2 * M_PI * 1000.0 / k.fed) {
        block[(size_t)i * 2] = 0.5f * (float)sin(phase),
                          block[(size_t)i * 2 + 1] = -0.5f * (float)sin(phase);
      }
      station_tap(r.s, block.data(), per_step, k.claimed);
      clock.ns.fetch_add(10'000'000);
      if (step == 409) {
        std::this_thread::sleep_for(milliseconds(30));
        settled_packets = r.status().packets;
      }
      if (step % 4 == 0) std::this_thread::sleep_for(milliseconds(1));
      c.collect(&got);
    }
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(k.measured, r.status().measured_rate);
    // The last 90 steps of 10 ms after the rate settled: 90 packets at 48000 Hz.
    EXPECT_NEAR(90.0, (double)(r.status().packets - settled_packets), 1.0);
    for (Packet& p : c.drain()) got.push_back(p);
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
    // The last half second is a 1000 Hz tone at 48000 Hz: 1000 zero crossings and no step between
    // neighbours steeper than the tone's own (about 2145).
    int crossings = 0, worst = 0;
    int16_t prev = audio[audio.size() - 50]->sample(0);
    for (size_t i = audio.size() - 50; i < audio.size(); i++) {
      for (int f = 0; f < 480; prev = audio[i]->sample(f * 2), f++) {
        crossings += (prev < 0) != (audio[i]->sample(f * 2) < 0);
        worst = std::max(worst, std::abs(audio[i]->sample(f * 2) - prev));
      }
    }
    EXPECT_NEAR(1000, crossings, 6);
    EXPECT_LT(worst, 2300);
  }
}

TEST(StationListeners, EightListenAndANinthIsTurnedAway) {
  StationRun r;
  std::vector<Client> c(STATION_LISTENERS);
  for (Client& x : c) join(r, x);
  ASSERT_TRUE(r.wait_listeners(STATION_LISTENERS));
  Client ninth;
  ASSERT_TRUE(ninth.open(r.port));
  Packet p;
  EXPECT_FALSE(ninth.next(&p, 2000));
  EXPECT_TRUE(ninth.eof);
  feed(r.s, 0.25f, 0.25f, STATION_FRAMES);
  for (Client& x : c) {
    ASSERT_TRUE(x.next_of(STATION_PKT_AUDIO, &p));
    EXPECT_EQ(0u, p.idx());
  }
}

// Feeds 10 ms blocks until the station has dropped packets from a full queue; blocks fed.
int feed_until_dropped(StationRun& r, Client* reader, std::vector<Packet>* got) {
  int blocks = 0;
  for (; station_dropped_packets(r.s) == 0 && blocks < 6000; blocks += 2) {
    feed(r.s, 0.1f, 0.1f, STATION_FRAMES * 2);
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
  ASSERT_TRUE(wait_for([&] { return r.status().packets >= (uint64_t)blocks; }));
  for (Packet& p : fast.drain()) got.push_back(p);
  uint64_t want = 0;
  for (const Packet& p : got) {
    if (p.type != STATION_PKT_AUDIO) continue;
    ASSERT_EQ(want, p.idx());
    want += 480;
  }
  EXPECT_EQ((uint64_t)blocks * 480, want);
  // The slow one still hears the stream, with a hole where its oldest packets went.
  uint64_t last = 0;
  bool hole = false;
  for (const Packet& p : slow.drain(300)) {
    if (p.type != STATION_PKT_AUDIO) continue;
    hole = hole || (last && p.idx() != last + 480);
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
  int after = -1;
  for (const Packet& p : c.drain(300)) {
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
  const struct {
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
  for (auto& k : cases) {
    SCOPED_TRACE(k.name);
    Client bad;
    join(r, bad);
    ASSERT_TRUE(r.wait_listeners(2));
    if (!k.bytes.empty()) netsock_send(bad.sock, k.bytes.data(), k.bytes.size());
    if (k.then == kShutdown) netsock_shutdown_send(bad.sock);
    if (k.then == kReset) netsock_abort(bad.sock), bad.sock = NETSOCK_NONE;
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_TRUE(r.wait_listeners(k.dropped ? 1 : 2));
    Packet p;
    if (k.then == kNothing) {
      bad.next(&p, k.dropped ? 2000 : 50);
      EXPECT_EQ(k.dropped, bad.eof);
    }
    feed(r.s, 0.3f, 0.3f, STATION_FRAMES);
    ASSERT_TRUE(steady.next_of(STATION_PKT_AUDIO, &p));
    EXPECT_EQ(idx, p.idx());
    idx += 480;
  }
}

TEST(StationLife, PausedThenLiveAdvancesIdxByThePause) {
  TestClock clock;
  StationRun r(0, &clock, false);
  station_set_live(r.s, false);
  ASSERT_EQ(0, station_start(r.s));
  r.port = station_port(r.s);
  Client c;
  join(r, c);
  Packet p;
  auto expect_state = [&](const char* text) {
    ASSERT_TRUE(c.next(&p));
    EXPECT_EQ(STATION_PKT_STATE, p.type);
    EXPECT_EQ(text, p.text());
  };
  expect_state("{\"state\":\"paused\"}");
  // Paused for 1 s, then 2 packets, then paused for 250 ms and one more.
  const struct {
    int pause_ms;
    int packets;
    uint64_t first_idx;
  } runs[] = {{1000, 2, 48000}, {250, 1, 48960 + 12000}};
  for (auto& run : runs) {
    if (&run != runs) {
      station_set_live(r.s, false);
      expect_state("{\"state\":\"paused\"}");
    }
    clock.ns.fetch_add(run.pause_ms * 1'000'000LL);
    station_set_live(r.s, true);
    expect_state("{\"state\":\"live\"}");
    feed(r.s, 0.2f, 0.2f, run.packets * STATION_FRAMES);
    for (int i = 0; i < run.packets; i++) {
      ASSERT_TRUE(c.next_of(STATION_PKT_AUDIO, &p));
      EXPECT_EQ(run.first_idx + (uint64_t)i * 480, p.idx());
      EXPECT_EQ(i == 0 ? STATION_FLAG_DISCONTINUITY : 0, p.flags());
    }
  }
  // Someone joining now is told where the stream is.
  Client later;
  ASSERT_TRUE(later.open(r.port));
  ASSERT_TRUE(later.next(&p));
  EXPECT_NE(std::string::npos, p.text().find("\"idx\":60960,"));
}

TEST(StationLife, StopSaysGoodbyeAndTheStationStartsAgainOnItsPort) {
  uint16_t port = StationRun().port;
  StationRun r(port);
  ASSERT_EQ(port, r.port);
  for (int run = 0; run < 2; run++) {
    std::vector<Client> c(3);
    for (Client& x : c) join(r, x);
    ASSERT_TRUE(r.wait_listeners(3));
    feed(r.s, 0.2f, 0.2f, STATION_FRAMES);
    ASSERT_TRUE(wait_for([&] { return r.status().packets > 0; }));
    station_stop(r.s);
    EXPECT_FALSE(r.status().on_air);
    for (Client& x : c) {
      Packet p, last;
      while (x.next(&p, 2000)) last = p;
      EXPECT_EQ(STATION_PKT_GOODBYE, last.type);
      EXPECT_EQ(4u, last.length);
      EXPECT_TRUE(x.eof);
    }
    ASSERT_EQ(0, station_start(r.s)) << run;  // the closed connections linger on the port
    EXPECT_EQ(port, station_port(r.s));
  }
  StationRun other(port);  // the port is taken while this one is on air
  EXPECT_EQ(0, other.port);
  EXPECT_FALSE(other.status().on_air);
}

// The tap and the network thread together: run these under ThreadSanitizer too.
TEST(StationTap, TapAndNetworkThreadRunTogether) {
  StationRun r;
  Client c;
  join(r, c);
  ASSERT_TRUE(r.wait_listeners(1));
  std::atomic<bool> stop{false};
  std::thread tap([&] {
    for (std::vector<float> b(256 * 2, 0.25f); !stop.load();
         std::this_thread::sleep_for(std::chrono::microseconds(800))) {
      station_tap(r.s, b.data(), 256, 48000);
    }
  });
  std::thread churn([&] {  // listeners coming and going, latency and status changing meanwhile
    for (int i = 0; i < 20 && !stop.load(); i++, std::this_thread::sleep_for(milliseconds(15))) {
      Client x;
      if (x.open(r.port)) x.send_packet(STATION_PKT_LISTENER_HELLO, "{\"an\":\"churn\"}", 14);
      station_set_latency(r.s, i * 1000);
      r.status();
    }
  });
  std::vector<Packet> got;
  for (auto end = Clock::now() + milliseconds(600); Clock::now() < end;) {
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
    for (std::vector<float> b(128 * 2, 0.1f); !stop.load();
         std::this_thread::sleep_for(milliseconds(1))) {
      station_tap(r.s, b.data(), 128, 44100);
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

TEST(StationTool, ListenerRecordsAWavAndCountsPackets) {
  std::string tool = std::string(KELP_BINARY_DIR) + "/tools/sg_listen";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "build tools/sg_listen first";
  StationRun r;
  std::thread tap([&] {  // 48 blocks of 10 ms once the listener is in
    wait_for([&] { return r.status().listeners > 0; });
    for (int i = 0; i < 48; i++, std::this_thread::sleep_for(milliseconds(10)))
      feed(r.s, 0.5f, -0.5f, STATION_FRAMES);
  });
  std::string wav = r.dir / "heard.wav";
  std::string out = test_output(tool + " 127.0.0.1:" + std::to_string(r.port) +
                                " --seconds 1.2 --stats --ping --out " + wav);
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
