// jack_tone: plays a sine into another JACK client's input ports, for the audio tests.
//
//   jack_tone [--freq HZ] [--level PEAK] [--level2 PEAK] [--to CLIENT] [--ports N] [--seconds S]
//
// SIGUSR1 switches between --level and --level2 (default: the same), so a test can make one part
// of a take louder than another at a moment it chooses.
// Connects its output k to the k-th input port of CLIENT (default "PortAudio", the engine's
// client), prints "ready" once connected, and plays until S seconds pass (0: until SIGTERM).
#include <jack/jack.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_second{false};

struct Tone {
  std::vector<jack_port_t*> ports;
  double phase = 0;
  double step = 0;
  float level = 0.5f;
  float level2 = 0.5f;
};

int process(jack_nframes_t n, void* arg) {
  Tone* t = (Tone*)arg;
  float* bufs[16];
  size_t count = std::min<size_t>(t->ports.size(), 16);
  for (size_t p = 0; p < count; p++) {
    bufs[p] = (float*)jack_port_get_buffer(t->ports[p], n);
  }
  const float level = g_second.load(std::memory_order_relaxed) ? t->level2 : t->level;
  for (jack_nframes_t i = 0; i < n; i++) {
    float v = level * (float)std::sin(t->phase);
    t->phase += t->step;
    if (t->phase > 2 * M_PI) t->phase -= 2 * M_PI;
    for (size_t p = 0; p < count; p++) bufs[p][i] = v;
  }
  return 0;
}

void on_signal(int) {
  g_stop.store(true);
}

void on_switch(int) {
  g_second.store(!g_second.load());
}

void on_shutdown(void*) {
  g_stop.store(true);
}

// The numeric suffix of a port name ("PortAudio:in_3" -> 3), for ordering.
long port_number(const char* name) {
  const char* p = name + strlen(name);
  while (p > name && p[-1] >= '0' && p[-1] <= '9') p--;
  return strtol(p, nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  double freq = 440.0;
  float level = 0.5f;
  float level2 = -1.0f;
  std::string target = "PortAudio";
  int nports = 2;
  double seconds = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--freq") {
      freq = atof(argv[i + 1]);
    } else if (a == "--level") {
      level = (float)atof(argv[i + 1]);
    } else if (a == "--level2") {
      level2 = (float)atof(argv[i + 1]);
    } else if (a == "--to") {
      target = argv[i + 1];
    } else if (a == "--ports") {
      nports = std::max(1, std::min(16, atoi(argv[i + 1])));
    } else if (a == "--seconds") {
      seconds = atof(argv[i + 1]);
    } else {
      fprintf(stderr, "jack_tone: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  signal(SIGUSR1, on_switch);

  jack_status_t status;
  jack_client_t* client = jack_client_open("kelp_tone", JackNoStartServer, &status);
  if (!client) {
    fprintf(stderr, "jack_tone: no JACK server (status 0x%x)\n", (unsigned)status);
    return 1;
  }
  Tone tone;
  tone.level = level;
  tone.level2 = level2 >= 0 ? level2 : level;
  tone.step = 2 * M_PI * freq / (double)jack_get_sample_rate(client);
  for (int i = 0; i < nports; i++) {
    char name[32];
    snprintf(name, sizeof name, "out_%d", i + 1);
    jack_port_t* p = jack_port_register(client, name, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!p) {
      fprintf(stderr, "jack_tone: can't register %s\n", name);
      jack_client_close(client);
      return 1;
    }
    tone.ports.push_back(p);
  }
  jack_on_shutdown(client, on_shutdown, nullptr);
  jack_set_process_callback(client, process, &tone);
  if (jack_activate(client) != 0) {
    fprintf(stderr, "jack_tone: can't activate\n");
    jack_client_close(client);
    return 1;
  }

  // The target's input ports may appear a moment later; wait for enough of them.
  std::string pattern = "^" + target + ":";
  std::vector<std::string> inputs;
  for (int tries = 0; tries < 250 && !g_stop.load(); tries++) {
    const char** ports =
        jack_get_ports(client, pattern.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
    inputs.clear();
    for (int i = 0; ports && ports[i]; i++) inputs.push_back(ports[i]);
    if (ports) jack_free(ports);
    if ((int)inputs.size() >= nports) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if ((int)inputs.size() < nports) {
    fprintf(stderr, "jack_tone: %s has %zu input ports, %d needed\n", target.c_str(), inputs.size(),
            nports);
    jack_client_close(client);
    return 1;
  }
  std::sort(inputs.begin(), inputs.end(), [](const std::string& a, const std::string& b) {
    return port_number(a.c_str()) < port_number(b.c_str());
  });
  for (int i = 0; i < nports; i++) {
    if (jack_connect(client, jack_port_name(tone.ports[i]), inputs[i].c_str()) != 0) {
      fprintf(stderr, "jack_tone: can't connect to %s\n", inputs[i].c_str());
      jack_client_close(client);
      return 1;
    }
  }
  printf("ready\n");
  fflush(stdout);

  auto start = std::chrono::steady_clock::now();
  while (!g_stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (seconds > 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= seconds)
      break;
  }
  jack_client_close(client);
  return 0;
}
