// Small pure helpers of the audio engine: cause ranks, host API labels and codes, the device
// name rule and the rate list.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "audio/audio_engine.h"

#include <portaudio.h>
#include "rig/rig_doc.h"
#include "base/text.h"
#include "core/tape.h"

int audio_cause_rank(int cause) {
  switch (cause) {
    case AUDIO_CAUSE_BUFFER_REFUSED:
      return 1;
    case AUDIO_CAUSE_RATE_REFUSED:
      return 2;
    case AUDIO_CAUSE_NO_DEVICE:
      return 3;
    case AUDIO_CAUSE_OTHER:
      return 4;
    case AUDIO_CAUSE_DRIVER_HUNG:
      return 5;
    case AUDIO_CAUSE_IN_USE:
      return 6;
    case AUDIO_CAUSE_ACCESS_DENIED:
      return 7;
    default:
      return 0;
  }
}

const char* audio_cause_name(int cause) {
  static const char* const kNames[] = {"NONE",         "NO_DEVICE",      "IN_USE", "ACCESS_DENIED",
                                       "RATE_REFUSED", "BUFFER_REFUSED", "OTHER",  "DRIVER_HUNG"};
  return cause >= 0 && cause <= AUDIO_CAUSE_DRIVER_HUNG ? kNames[cause] : "?";
}

const char* audio_state_name(int state) {
  static const char* const kNames[] = {"CLOSED",     "OPENING", "RUNNING",
                                       "RECOVERING", "DOWN",    "HUNG"};
  return state >= 0 && state <= AUDIO_HUNG ? kNames[state] : "?";
}

const char* audio_host_label(int host_type, const char* host_name) {
  switch (host_type) {
    case paDirectSound:
      return "DirectSound";
    case paMME:
      return "MME";
    case paASIO:
      return "ASIO";
    case paWDMKS:
      return "WDM-KS";
    case paWASAPI:
      return "WASAPI";
    case paALSA:
      return "ALSA";
    case paJACK:
      return "JACK";
    default:
      return host_name && *host_name ? host_name : "?";
  }
}

void audio_api_code(int host_type, char out[AUDIO_API_BYTES]) {
  const char* code = nullptr;
  switch (host_type) {
    case paDirectSound:
      code = "ds";
      break;
    case paMME:
      code = "mme";
      break;
    case paASIO:
      code = "asio";
      break;
    case paCoreAudio:
      code = "coreaudio";
      break;
    case paALSA:
      code = "alsa";
      break;
    case paWDMKS:
      code = "wdmks";
      break;
    case paJACK:
      code = "jack";
      break;
    case paWASAPI:
      code = "wasapi";
      break;
    default:
      break;
  }
  if (code) {
    snprintf(out, AUDIO_API_BYTES, "%s", code);
  } else {
    snprintf(out, AUDIO_API_BYTES, "api%d", host_type);
  }
}

namespace {

bool is_space(unsigned char c) {
  return c == ' ' || (c >= 9 && c <= 13);
}

void trim_trailing(char* s) {
  size_t n = strlen(s);
  while (n > 0 && is_space((unsigned char)s[n - 1])) s[--n] = 0;
}

}  // namespace

// Device names here are UTF-8 already (the system's code page is UTF-8); anything else is
// copied with its invalid sequences replaced.
void audio_device_name_utf8(const char* raw, char out[AUDIO_NAME_BYTES]) {
  memset(out, 0, AUDIO_NAME_BYTES);
  if (!raw) return;
  const char* s = raw;
  while (is_space((unsigned char)*s)) s++;
  size_t n = strnlen(s, 4096);
  while (n > 0 && is_space((unsigned char)s[n - 1])) n--;
  text_copy_valid(out, AUDIO_NAME_BYTES, s, n, nullptr, nullptr);
  trim_trailing(out);
}

int audio_rate_list(double preferred, int configured, bool rate_change, double input_default,
                    double output_default, double out[6]) {
  int n = 0;
  auto add = [&](double r) {
    if (!(r >= 8000.0 && r <= 384000.0) || n >= 6) return;
    for (int i = 0; i < n; i++) {
      if (std::fabs(out[i] - r) <= 0.5) return;
    }
    out[n++] = r;
  };
  if (preferred > 0) add(preferred);
  if (configured > 0) {
    add((double)configured);
    if (rate_change) return n;
  }
  add(TAPE_DEFAULT_RATE);
  add(input_default);
  add(output_default);
  return n;
}
