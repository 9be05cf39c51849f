// A listener for the broadcast station: connects, says hello, prints the station's hello and
// either records what it hears (16-bit stereo 48 kHz, WAV or raw) or prints packet statistics.
//   sg_listen [host[:port]] [--port N] [--seconds N] [--out file.wav|file.raw] [--stats]
//             [--ping] [--no-read] [--name NAME]
// Exit: 0 done (time up or goodbye), 1 no connection or the station went away, 2 bad arguments.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/station.h"
#include "platform/netsock.h"

namespace {

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

void wav_header(uint8_t h[44], uint32_t data_bytes) {
  memcpy(h, "RIFF", 4);
  put_le32(h + 4, 36 + data_bytes);
  memcpy(h + 8, "WAVEfmt ", 8);
  put_le32(h + 16, 16);
  h[20] = 1, h[21] = 0;  // PCM
  h[22] = 2, h[23] = 0;  // channels
  put_le32(h + 24, 48000);
  put_le32(h + 28, 48000 * 4);
  h[32] = 4, h[33] = 0;   // block align
  h[34] = 16, h[35] = 0;  // bits
  memcpy(h + 36, "data", 4);
  put_le32(h + 40, data_bytes);
}

bool send_all(NetSock s, const uint8_t* p, size_t n) {
  while (n > 0) {
    long r = netsock_send(s, p, n);
    if (r == NETSOCK_WOULD_BLOCK) {
      bool w = true, rd;
      netsock_poll(&s, 1, 100, &rd, &w);
      continue;
    }
    if (r < 0) return false;
    p += r;
    n -= (size_t)r;
  }
  return true;
}

void usage() {
  fprintf(stderr,
          "usage: sg_listen [host[:port]] [--port N] [--seconds N] [--out file.wav|file.raw] "
          "[--stats]\n"
          "                 [--ping] [--no-read] [--name NAME]\n");
}

struct Stats {
  uint64_t packets = 0, silent = 0, discontinuities = 0, idx_gaps = 0, seq_gaps = 0, frames = 0;
  uint64_t next_idx = 0, next_seq = 0;
  bool any = false;
  double rtt_ms_sum = 0;
  int pongs = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  unsigned port = STATION_PORT;
  double seconds = 10;
  const char* out_path = nullptr;
  const char* name = "sg_listen";
  bool stats = false, ping = false, no_read = false;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    bool has_value = i + 1 < argc;
    if (!strcmp(a, "--port") && has_value) {
      port = (unsigned)atoi(argv[++i]);
    } else if (!strcmp(a, "--seconds") && has_value) {
      seconds = atof(argv[++i]);
    } else if (!strcmp(a, "--out") && has_value) {
      out_path = argv[++i];
    } else if (!strcmp(a, "--name") && has_value) {
      name = argv[++i];
    } else if (!strcmp(a, "--stats")) {
      stats = true;
    } else if (!strcmp(a, "--ping")) {
      ping = true;
    } else if (!strcmp(a, "--no-read")) {
      no_read = true;
    } else if (a[0] != '-') {
      host = a;
      // host:port, but not a bare IPv6 address; [v6]:port is taken too.
      size_t colon = host.rfind(':');
      if (host[0] == '[') {
        size_t close = host.find(']');
        if (close != std::string::npos && colon == close + 1)
          port = (unsigned)atoi(host.c_str() + colon + 1);
        host = host.substr(1, close == std::string::npos ? std::string::npos : close - 1);
      } else if (colon != std::string::npos && host.find(':') == colon) {
        port = (unsigned)atoi(host.c_str() + colon + 1);
        host.resize(colon);
      }
    } else {
      usage();
      return 2;
    }
  }
  if (port == 0 || port > 65535 || seconds < 0) {
    usage();
    return 2;
  }

  NetSock s;
  if (netsock_connect(host.c_str(), (uint16_t)port, 0, &s) != 0) {
    fprintf(stderr, "sg_listen: can't connect to %s:%u\n", host.c_str(), port);
    return 1;
  }
  char dev[64] = "PC";
  gethostname(dev, sizeof dev - 1);
  char hello[160];
  int hn = snprintf(hello, sizeof hello, "{\"an\":\"%s\",\"dev\":\"%s\"}", name, dev);
  std::vector<uint8_t> pkt(STATION_HEAD + (size_t)hn);
  station_put_head(pkt.data(), STATION_PKT_LISTENER_HELLO, (uint32_t)hn);
  memcpy(pkt.data() + STATION_HEAD, hello, (size_t)hn);
  send_all(s, pkt.data(), pkt.size());
  netsock_set_nonblocking(s, true);

  FILE* out = nullptr;
  bool wav = false;
  if (out_path) {
    out = fopen(out_path, "wb");
    if (!out) {
      fprintf(stderr, "sg_listen: can't write %s\n", out_path);
      netsock_close(s);
      return 1;
    }
    size_t n = strlen(out_path);
    wav = n >= 4 && !strcasecmp(out_path + n - 4, ".wav");
    if (wav) {
      uint8_t h[44];
      wav_header(h, 0);
      fwrite(h, 1, sizeof h, out);
    }
  }

  Stats st;
  uint64_t data_bytes = 0;
  std::vector<uint8_t> buf;
  bool hello_seen = false, goodbye = false, gone = false;
  int64_t start = now_ns(), next_ping = start;
  int64_t end = start + (int64_t)(seconds * 1e9);
  std::vector<uint8_t> zeros((size_t)STATION_FRAMES * 4, 0);
  while (!goodbye && !gone && now_ns() < end) {
    if (ping && now_ns() >= next_ping) {
      uint8_t p[STATION_HEAD + 8];
      station_put_head(p, STATION_PKT_PING, 8);
      station_put_u64(p + STATION_HEAD, (uint64_t)now_ns());
      send_all(s, p, sizeof p);
      next_ping += 500000000;
    }
    // A slow listener: once the hello is in, stop reading and let the station's queue fill.
    if (no_read && hello_seen) {
      usleep(10000);
      continue;
    }
    bool readable = false;
    netsock_poll(&s, 1, 20, &readable, nullptr);
    uint8_t tmp[16384];
    for (;;) {
      long r = netsock_recv(s, tmp, sizeof tmp);
      if (r == NETSOCK_WOULD_BLOCK) break;
      if (r <= 0) {
        gone = true;
        break;
      }
      buf.insert(buf.end(), tmp, tmp + r);
    }
    size_t at = 0;
    while (buf.size() - at >= STATION_HEAD) {
      uint32_t len = station_get_u32(&buf[at]);
      if (len < 4 || len > 1 << 20) {
        fprintf(stderr, "sg_listen: bad packet length %u\n", len);
        gone = true;
        break;
      }
      if (buf.size() - at < len + 4) break;
      const uint8_t* p = &buf[at];
      const uint8_t* body = p + STATION_HEAD;
      size_t body_n = len - 4;
      switch (p[7]) {
        case STATION_PKT_HELLO:
          printf("%.*s\n", (int)body_n, (const char*)body);
          fflush(stdout);
          hello_seen = true;
          break;
        case STATION_PKT_STATE:
          if (stats) printf("state %.*s\n", (int)body_n, (const char*)body);
          break;
        case STATION_PKT_GOODBYE:
          if (stats) printf("goodbye\n");
          goodbye = true;
          break;
        case STATION_PKT_PONG:
          if (body_n >= 24) {
            double rtt = (double)(now_ns() - (int64_t)station_get_u64(body)) / 1e6;
            st.rtt_ms_sum += rtt;
            st.pongs++;
            if (stats) printf("pong %.3f ms\n", rtt);
          }
          break;
        case STATION_PKT_AUDIO: {
          if (body_n < 28) break;
          int flags = body[2] << 8 | body[3];
          uint32_t seq = station_get_u32(body + 4), frames = station_get_u32(body + 8);
          uint64_t idx = station_get_u64(body + 12);
          if (st.any && idx != st.next_idx) st.idx_gaps++;
          if (st.any && seq != (uint32_t)st.next_seq) st.seq_gaps++;
          st.any = true;
          st.next_idx = idx + frames;
          st.next_seq = seq + 1;
          st.packets++;
          st.frames += frames;
          if (flags & STATION_FLAG_SILENCE) st.silent++;
          if (flags & STATION_FLAG_DISCONTINUITY) st.discontinuities++;
          if (out) {
            bool silent = (flags & STATION_FLAG_SILENCE) || body_n < 28 + (size_t)frames * 4;
            const uint8_t* samples = silent ? zeros.data() : body + 28;
            for (uint32_t done = 0; done < frames; done += STATION_FRAMES) {
              uint32_t n =
                  frames - done < STATION_FRAMES ? frames - done : (uint32_t)STATION_FRAMES;
              fwrite(silent ? samples : samples + (size_t)done * 4, 4, n, out);
              data_bytes += (uint64_t)n * 4;
            }
          }
          break;
        }
        default:
          break;
      }
      at += len + 4;
    }
    buf.erase(buf.begin(), buf.begin() + (long)at);
  }
  if (out) {
    if (wav) {
      uint8_t h[44];
      wav_header(h, data_bytes > 0xffffffd0u ? 0xffffffd0u : (uint32_t)data_bytes);
      fseek(out, 0, SEEK_SET);
      fwrite(h, 1, sizeof h, out);
    }
    fclose(out);
  }
  if (stats) {
    printf("packets %llu frames %llu silent %llu discontinuities %llu idx_gaps %llu seq_gaps %llu",
           (unsigned long long)st.packets, (unsigned long long)st.frames,
           (unsigned long long)st.silent, (unsigned long long)st.discontinuities,
           (unsigned long long)st.idx_gaps, (unsigned long long)st.seq_gaps);
    if (st.pongs) printf(" rtt_ms %.3f", st.rtt_ms_sum / st.pongs);
    printf("\n");
  }
  netsock_close(s);
  return gone && !goodbye ? 1 : 0;
}
