// The broadcast station: what the tap costs the audio callback per 256-frame block (against a
// plain copy of the block), what the network thread costs serving 8 local listeners (CPU seconds
// per second of stream), and how long a block takes from the tap to a local listener.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "net/station_internal.h"
#include "support/tmpdir.h"

namespace {

using std::chrono::milliseconds;

struct OnAir {
  TmpDir dir{"station-bench"};
  Station* s = nullptr;
  OnAir() {
    s = station_init("kelp", "Kelp NOVA", "mix", "out", 0, dir.path.c_str());
    if (s && station_start(s) != 0) {
      station_free(s);
      s = nullptr;
    }
  }
  ~OnAir() { station_free(s); }
  // Until the network thread has taken every whole packet out of the ring.
  void drained() {
    while (s->write_count.load() - s->read_pos.load() >= STATION_FRAMES) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
};

struct Listener {
  NetSock sock = NETSOCK_NONE;
  std::vector<uint8_t> buf;
  ~Listener() { netsock_close(sock); }
};

void tap_blocks(benchmark::State& state, int rate, const char* work) {
  OnAir air;
  if (!air.s) {
    state.SkipWithError("no station");
    return;
  }
  const int kBlock = 256, kBlocks = 64;
  std::vector<float> in((size_t)kBlock * 2 * kBlocks);
  for (size_t i = 0; i < in.size(); i++) in[i] = (float)((i * 7919) % 2001) / 1000.0f - 1.0f;
  std::vector<float> copy((size_t)STATION_RING_FRAMES * 2);
  BenchPair pair;
  for (auto _ : state) {
    air.drained();
    double t0 = bench_now();
    for (int b = 0; b < kBlocks; b++)
      station_tap(air.s, in.data() + (size_t)b * kBlock * 2, kBlock, rate);
    double ours = (bench_now() - t0) / kBlocks;
    t0 = bench_now();
    for (int b = 0; b < kBlocks; b++) {
      memcpy(copy.data() + (size_t)b * kBlock * 2, in.data() + (size_t)b * kBlock * 2,
             kBlock * 2 * sizeof(float));
      benchmark::ClobberMemory();
    }
    pair.anchor.push_back((bench_now() - t0) / kBlocks);
    pair.ours.push_back(ours);
    state.SetIterationTime(ours);
  }
  if (air.s->overflow.load()) state.SkipWithError("the ring overflowed");
  bench_ratio(work, pair, "a plain copy of the block", 0);
}

void BM_StationTap48k(benchmark::State& state) {
  tap_blocks(state, 48000, "Station tap, 256-frame block at 48000 Hz");
}
BENCHMARK(BM_StationTap48k)->UseManualTime()->Unit(benchmark::kNanosecond)->Iterations(300);

void BM_StationTap44k(benchmark::State& state) {
  tap_blocks(state, 44100, "Station tap, 256-frame block at 44100 Hz, resampled");
}
BENCHMARK(BM_StationTap44k)->UseManualTime()->Unit(benchmark::kNanosecond)->Iterations(300);

// Reads every listener until stop; returns audio packets seen.
void read_all(std::vector<Listener>* ls, std::atomic<bool>* stop, std::atomic<uint64_t>* audio) {
  std::vector<NetSock> socks;
  for (Listener& l : *ls) socks.push_back(l.sock);
  bool readable[STATION_LISTENERS];
  uint8_t tmp[65536];
  while (!stop->load()) {
    netsock_poll(socks.data(), (int)socks.size(), 5, readable, nullptr);
    for (size_t i = 0; i < ls->size(); i++) {
      if (!readable[i]) continue;
      Listener& l = (*ls)[i];
      long r;
      while ((r = netsock_recv(l.sock, tmp, sizeof tmp)) > 0)
        l.buf.insert(l.buf.end(), tmp, tmp + r);
      size_t at = 0;
      while (l.buf.size() - at >= 8) {
        uint32_t len = station_get_u32(&l.buf[at]);
        if (l.buf.size() - at < len + 4) break;
        if (l.buf[at + 7] == STATION_PKT_AUDIO) audio->fetch_add(1);
        at += len + 4;
      }
      l.buf.erase(l.buf.begin(), l.buf.begin() + (long)at);
    }
  }
}

double thread_cpu_seconds(std::thread& t) {
  clockid_t id;
  if (pthread_getcpuclockid(t.native_handle(), &id) != 0) return 0;
  timespec ts;
  clock_gettime(id, &ts);
  return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

bool connect_listeners(OnAir& air, std::vector<Listener>* ls, int n) {
  ls->resize((size_t)n);
  for (Listener& l : *ls) {
    if (netsock_connect("127.0.0.1", station_port(air.s), 0, &l.sock) != 0) return false;
    netsock_set_nonblocking(l.sock, true);
  }
  for (int i = 0; i < 1000 && air.s->listener_count.load() != n; i++)
    std::this_thread::sleep_for(milliseconds(2));
  return air.s->listener_count.load() == n;
}

void BM_StationEightListeners(benchmark::State& state) {
  OnAir air;
  std::vector<Listener> ls;
  if (!air.s || !connect_listeners(air, &ls, STATION_LISTENERS)) {
    state.SkipWithError("no station or listeners");
    return;
  }
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> audio{0};
  std::thread reader(read_all, &ls, &stop, &audio);
  BenchPair pair;
  std::vector<float> block(256 * 2);
  for (size_t i = 0; i < block.size(); i++) block[i] = (float)(i % 97) / 200.0f;
  for (auto _ : state) {
    // Three seconds of stream fed in real time, as the audio callback would.
    double cpu0 = thread_cpu_seconds(air.s->thread);
    auto t0 = std::chrono::steady_clock::now();
    auto next = t0;
    for (int b = 0; b < 3 * 48000 / 256; b++) {
      station_tap(air.s, block.data(), 256, 48000);
      next += std::chrono::nanoseconds(256 * 1000000000LL / 48000);
      std::this_thread::sleep_until(next);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = thread_cpu_seconds(air.s->thread) - cpu0;
    pair.ours.push_back(cpu);
    pair.anchor.push_back(wall);
    state.SetIterationTime(cpu);
  }
  stop = true;
  reader.join();
  if (audio.load() < 8 * 250) state.SkipWithError("listeners heard too little");
  bench_ratio("Station serving 8 local listeners: network thread CPU over 3 s of stream", pair,
              "the stream's own 3 s (ratio = share of one core)", 0.05);
}
BENCHMARK(BM_StationEightListeners)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_StationTapToListener(benchmark::State& state) {
  OnAir air;
  std::vector<Listener> ls;
  if (!air.s || !connect_listeners(air, &ls, 1)) {
    state.SkipWithError("no station or listener");
    return;
  }
  NetSock sock = ls[0].sock;
  // Anchor: one audio-sized message over a loopback connection of our own.
  NetSock ls_sock, a = NETSOCK_NONE, b = NETSOCK_NONE;
  netsock_listen(0, 4, &ls_sock);
  netsock_connect("127.0.0.1", netsock_local_port(ls_sock), 0, &a);
  for (int i = 0; i < 1000 && netsock_accept(ls_sock, &b) != 1; i++)
    std::this_thread::sleep_for(milliseconds(1));
  std::vector<float> block(STATION_FRAMES * 2, 0.3f);
  std::vector<uint8_t> msg(1956, 7), tmp(65536);
  BenchPair pair;
  auto wait_bytes = [&](NetSock s, size_t want) {
    size_t got = 0;
    while (got < want) {
      bool r = false;
      netsock_poll(&s, 1, 100, &r, nullptr);
      long n = netsock_recv(s, tmp.data(), tmp.size());
      if (n > 0) got += (size_t)n;
      if (n == 0 || n == NETSOCK_ERROR) return;
    }
  };
  // The hello first.
  wait_bytes(sock, 8);
  std::this_thread::sleep_for(milliseconds(20));
  while (netsock_recv(sock, tmp.data(), tmp.size()) > 0) {
  }
  for (auto _ : state) {
    double t0 = bench_now();
    station_tap(air.s, block.data(), STATION_FRAMES, 48000);
    wait_bytes(sock, 36 + 1920);
    double ours = bench_now() - t0;
    t0 = bench_now();
    netsock_send(b, msg.data(), msg.size());
    wait_bytes(a, msg.size());
    pair.anchor.push_back(bench_now() - t0);
    pair.ours.push_back(ours);
    state.SetIterationTime(ours);
    // Blocks 10 ms apart, as the stream runs.
    std::this_thread::sleep_for(milliseconds(7));
  }
  netsock_close(a);
  netsock_close(b);
  netsock_close(ls_sock);
  bench_ratio("Station tap to a local listener receiving the packet", pair,
              "one 1956-byte message over loopback", 0);
}
BENCHMARK(BM_StationTapToListener)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace
