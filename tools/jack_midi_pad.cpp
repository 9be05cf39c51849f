// jack_midi_pad: a MIDI controller on JACK for the MIDI tests. It plays what it is told into its
// output ports and writes what reaches its input ports to a file.
//
//   jack_midi_pad --commands FIFO [--log FILE] [--name CLIENT] [--lcxl]
//
// Plain: one output "out". --lcxl stands in for a Launch Control XL 3 (client "LCXL3", outputs
// "LCXL3 MIDI Out" and "LCXL3 DAW Out", inputs "LCXL3 MIDI In" and "LCXL3 DAW In"); whatever
// arrives is written to FILE as one line of hex bytes per message, "<port> F0 00 ...".
// Commands, one a line on FIFO: "note N V", "cc N V [CH]" (CH 1..16), "port K" (send on output
// K, 0-based), "burst N" (N control changes as fast as the ports take them, then "burst done" in
// FILE). Prints "ready" once active.
#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::atomic<bool> g_stop{false};

struct Out {  // one message for the process thread
  uint8_t port, count, bytes[3];
};

struct In {  // one message seen by the process thread
  uint8_t port, count, bytes[61];
};

struct Pad {
  jack_port_t* outs[2] = {};
  jack_port_t* ins[2] = {};
  int nout = 1, nin = 0;
  jack_ringbuffer_t* to_send = nullptr;
  jack_ringbuffer_t* seen = nullptr;
  Out held{};
  bool holding = false;
};

int process(jack_nframes_t n, void* arg) {
  Pad* p = (Pad*)arg;
  void* bufs[2] = {};
  for (int i = 0; i < p->nout; i++) {
    bufs[i] = jack_port_get_buffer(p->outs[i], n);
    jack_midi_clear_buffer(bufs[i]);
  }
  // As many as the buffers take this cycle; the rest wait for the next one.
  for (;;) {
    if (!p->holding) {
      if (jack_ringbuffer_read_space(p->to_send) < sizeof(Out)) break;
      jack_ringbuffer_read(p->to_send, (char*)&p->held, sizeof(Out));
      p->holding = true;
    }
    if (jack_midi_event_write(bufs[p->held.port], 0, p->held.bytes, p->held.count) != 0) break;
    p->holding = false;
  }
  for (int i = 0; i < p->nin; i++) {
    void* buf = jack_port_get_buffer(p->ins[i], n);
    uint32_t count = jack_midi_get_event_count(buf);
    for (uint32_t e = 0; e < count; e++) {
      jack_midi_event_t ev;
      if (jack_midi_event_get(&ev, buf, e) != 0) continue;
      In rec{};
      rec.port = (uint8_t)i;
      rec.count = (uint8_t)(ev.size < sizeof rec.bytes ? ev.size : sizeof rec.bytes);
      memcpy(rec.bytes, ev.buffer, rec.count);
      if (jack_ringbuffer_write_space(p->seen) >= sizeof rec)
        jack_ringbuffer_write(p->seen, (const char*)&rec, sizeof rec);
    }
  }
  return 0;
}

void on_signal(int) {
  g_stop.store(true);
}

void on_shutdown(void*) {
  g_stop.store(true);
}

void queue(Pad* p, int port, int count, uint8_t a, uint8_t b, uint8_t c) {
  Out o{(uint8_t)port, (uint8_t)count, {a, b, c}};
  while (jack_ringbuffer_write_space(p->to_send) < sizeof o && !g_stop.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  jack_ringbuffer_write(p->to_send, (const char*)&o, sizeof o);
}

void drain_seen(Pad* p, FILE* log) {
  In rec;
  while (jack_ringbuffer_read_space(p->seen) >= sizeof rec) {
    jack_ringbuffer_read(p->seen, (char*)&rec, sizeof rec);
    if (!log) continue;
    fprintf(log, "%d", rec.port);
    for (int i = 0; i < rec.count; i++) fprintf(log, " %02X", rec.bytes[i]);
    fprintf(log, "\n");
  }
  if (log) fflush(log);
}

}  // namespace

int main(int argc, char** argv) {
  std::string commands, log_path, name = "kelp_pad";
  bool lcxl = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--lcxl") {
      lcxl = true;
    } else if (i + 1 < argc && a == "--commands") {
      commands = argv[++i];
    } else if (i + 1 < argc && a == "--log") {
      log_path = argv[++i];
    } else if (i + 1 < argc && a == "--name") {
      name = argv[++i];
    } else {
      fprintf(stderr, "jack_midi_pad: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (lcxl) name = "LCXL3";
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  signal(SIGPIPE, SIG_IGN);

  jack_status_t status;
  jack_client_t* client = jack_client_open(name.c_str(), JackNoStartServer, &status);
  if (!client) {
    fprintf(stderr, "jack_midi_pad: no JACK server (status 0x%x)\n", (unsigned)status);
    return 1;
  }
  Pad pad;
  pad.to_send = jack_ringbuffer_create(1 << 18);
  pad.seen = jack_ringbuffer_create(1 << 18);
  const char* out_names[2] = {"out", nullptr};
  const char* in_names[2] = {nullptr, nullptr};
  if (lcxl) {
    out_names[0] = "LCXL3 MIDI Out";
    out_names[1] = "LCXL3 DAW Out";
    in_names[0] = "LCXL3 MIDI In";
    in_names[1] = "LCXL3 DAW In";
    pad.nout = pad.nin = 2;
  }
  for (int i = 0; i < pad.nout; i++)
    pad.outs[i] = jack_port_register(client, out_names[i], JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  for (int i = 0; i < pad.nin; i++)
    pad.ins[i] = jack_port_register(client, in_names[i], JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_on_shutdown(client, on_shutdown, nullptr);
  jack_set_process_callback(client, process, &pad);
  if (jack_activate(client) != 0) {
    fprintf(stderr, "jack_midi_pad: can't activate\n");
    jack_client_close(client);
    return 1;
  }
  FILE* log = log_path.empty() ? nullptr : fopen(log_path.c_str(), "a");
  // Opened read-write so the pipe never reports an end while the test has not opened it yet.
  int fd = commands.empty() ? -1 : open(commands.c_str(), O_RDWR | O_NONBLOCK);
  printf("ready\n");
  fflush(stdout);

  int port = 0;
  std::string pending;
  while (!g_stop.load()) {
    char buf[256];
    ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf) : 0;
    if (n > 0) pending.append(buf, (size_t)n);
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      int a = 0, b = 0, ch = 1;
      if (sscanf(line.c_str(), "note %d %d", &a, &b) == 2) {
        queue(&pad, port, 3, 0x90, (uint8_t)a, (uint8_t)b);
      } else if (sscanf(line.c_str(), "cc %d %d %d", &a, &b, &ch) >= 2) {
        queue(&pad, port, 3, (uint8_t)(0xB0 | ((ch - 1) & 0x0F)), (uint8_t)a, (uint8_t)b);
      } else if (sscanf(line.c_str(), "port %d", &a) == 1) {
        port = a >= 0 && a < pad.nout ? a : 0;
      } else if (sscanf(line.c_str(), "burst %d", &a) == 1) {
        for (int i = 0; i < a; i++) queue(&pad, port, 3, 0xB0, 1, (uint8_t)(i & 0x7F));
        while (jack_ringbuffer_read_space(pad.to_send) > 0 && !g_stop.load())
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (log) {
          fprintf(log, "burst done\n");
          fflush(log);
        }
      }
    }
    drain_seen(&pad, log);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  jack_client_close(client);
  drain_seen(&pad, log);
  if (log) fclose(log);
  return 0;
}
