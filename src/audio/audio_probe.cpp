// The device watch's view of this system: ALSA's hardware PCM devices by direction, plus the
// default JACK server (one capture and one playback device while it answers), so that a server
// that comes or goes counts as hardware changing. Microphone privacy has no source here.
#include <alsa/asoundlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio_driver.h"

namespace {

void count_alsa(uint32_t* inputs, uint32_t* outputs) {
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    char name[32];
    snprintf(name, sizeof name, "hw:%d", card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, name, 0) < 0) continue;
    snd_pcm_info_t* info;
    snd_pcm_info_alloca(&info);
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
      snd_pcm_info_set_device(info, (unsigned)device);
      snd_pcm_info_set_subdevice(info, 0);
      snd_pcm_info_set_stream(info, SND_PCM_STREAM_CAPTURE);
      if (snd_ctl_pcm_info(ctl, info) >= 0) ++*inputs;
      snd_pcm_info_set_stream(info, SND_PCM_STREAM_PLAYBACK);
      if (snd_ctl_pcm_info(ctl, info) >= 0) ++*outputs;
    }
    snd_ctl_close(ctl);
  }
}

// Whether the default JACK server answers: a connection to its request socket. After a server
// dies untidily the socket file stays, so only a real connection tells; a unix socket connects
// or is refused at once, so the control thread never waits on a stopped or stuck server (a
// client open through libjack could hang, and libjack serialises opens process-wide).
bool jack_server_present() {
  const char* server = getenv("JACK_DEFAULT_SERVER");
  if (!server || !*server) server = "default";
  static const char* const kDirs[] = {"/dev/shm", "/tmp"};
  for (const char* dir : kDirs) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    int n = snprintf(addr.sun_path, sizeof addr.sun_path, "%s/jack_%s_%u_0", dir, server,
                     (unsigned)getuid());
    if (n <= 0 || (size_t)n >= sizeof addr.sun_path) continue;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    int rc = connect(fd, (const sockaddr*)&addr, sizeof addr);
    // A full backlog (EAGAIN) is a server that is there but busy.
    bool present = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    close(fd);
    if (present) return true;
  }
  return false;
}

uint32_t system_counts(void*) {
  uint32_t in = 0, out = 0;
  count_alsa(&in, &out);
  if (jack_server_present()) {
    in++;
    out++;
  }
  if (in > 0xFFFF) in = 0xFFFF;
  if (out > 0xFFFF) out = 0xFFFF;
  return (in << 16) | out;
}

bool system_microphone_denied(void*) {
  return false;
}

const AudioProbe kSystemProbe = {nullptr, system_counts, system_microphone_denied, nullptr};

}  // namespace

const AudioProbe* audio_probe_system() {
  return &kSystemProbe;
}
