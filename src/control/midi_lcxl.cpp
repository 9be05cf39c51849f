// Launch Control XL 3 in its DAW mode: finding its DAW ports, the greeting, the fixed layout of
// its controls, its lights and two-line screen, and the goodbye when we let go.
#include <cmath>
#include <cstring>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "control/midi_internal.h"

namespace {

const uint8_t kDawOn[] = {0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x02, 0x7F, 0xF7};
const uint8_t kDawOff[] = {0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x02, 0x00, 0xF7};
const uint8_t kCc72[] = {0xB6, 0x48, 0x7F};
const uint8_t kCc73[] = {0xB6, 0x49, 0x7F};
const uint8_t kDisplayPrelude[] = {0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x04, 0x35, 0x01, 0xF7};

bool contains(const char* s, const char* part) {
  return strstr(s, part) != nullptr;
}

bool is_lcxl(const char* name) {
  return contains(name, "LCXL") || contains(name, "Launch Control");
}

// The client part of an ALSA or JACK port name ("client:port"); the whole name when it has none.
size_t client_len(const char* name) {
  const char* c = strchr(name, ':');
  return c ? (size_t)(c - name) : strlen(name);
}

bool same_client(const char* a, const char* b) {
  size_t la = client_len(a), lb = client_len(b);
  return strchr(a, ':') && strchr(b, ':') && la == lb && memcmp(a, b, la) == 0;
}

void light_message(int button, const uint8_t rgb[3], uint8_t out[12]) {
  const uint8_t m[12] = {0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x01, (uint8_t)(37 + button),
                         (uint8_t)(rgb[0] & 0x7F), (uint8_t)(rgb[1] & 0x7F),
                         (uint8_t)(rgb[2] & 0x7F), 0xF7};
  memcpy(out, m, 12);
}

// A display line from UTF-8: printable ASCII as is, other single bytes as spaces, every
// multi-byte character as "?"; at most 23 characters.
void prepare_line(const char* s, char out[MIDI_LINE_CHARS + 1]) {
  int n = 0;
  const unsigned char* p = (const unsigned char*)(s ? s : "");
  while (*p && n < MIDI_LINE_CHARS) {
    unsigned char c = *p;
    if (c < 0x80) {
      out[n++] = (c >= 32 && c <= 126) ? (char)c : ' ';
      p++;
    } else if (c >= 0xC0) {
      out[n++] = '?';
      p++;
      while ((*p & 0xC0) == 0x80) p++;
    } else {
      out[n++] = ' ';  // a stray continuation byte
      p++;
    }
  }
  out[n] = 0;
}

void close_output(MidiState* m) {
  DawPort* d = &m->daw;
  if (d->out) m->backend->close_output(m->backend->ctx, d->out);
  d->out = nullptr;
  d->on = false;
  d->long_in_flight = false;
  d->queue_count = 0;
  d->queue_head = 0;
}

void give_up(MidiState* m, const char* why, unsigned err) {
  log_line("midi: LCXL3 DAW mode off - %s (%s error %u); the default map until it is plugged in "
           "again",
           why, m->backend->api, err);
  close_output(m);
  m->daw.given_up = true;
}

bool crossed(uint8_t* last, int v) {
  bool up = *last < 64 && v >= 64;
  *last = (uint8_t)v;
  return up;
}

}  // namespace

namespace {

// "MIDI 2" as a port's own number, not the start of an ALSA address ("MIDI 28:0").
bool says_midi2(const char* n) {
  for (const char* p = strstr(n, "MIDI 2"); p; p = strstr(p + 1, "MIDI 2"))
    if (p[6] < '0' || p[6] > '9') return true;
  return false;
}

bool names_daw(const char* n, const char* wanted) {
  return contains(n, wanted) || contains(n, "DAW") || says_midi2(n);
}

// Whether names[i] is a Launch Control's DAW port.
bool is_daw(const char* const* names, int count, int i, bool output) {
  const char* wanted = output ? "MIDIOUT2" : "MIDIIN2";
  const char* n = names[i];
  if (!is_lcxl(n)) return false;
  if (names_daw(n, wanted)) return true;
  if (!strchr(n, ':')) return false;
  // Linux lists the controller as one client with several ports; unless one of them names
  // itself, the DAW port is the second.
  int rank = 0;
  for (int j = 0; j < count; j++) {
    if (!same_client(n, names[j])) continue;
    if (names_daw(names[j], wanted)) return false;
    if (j < i) rank++;
  }
  return rank == 1;
}

}  // namespace

int midi_lcxl_pick(const char* const* names, int count, bool output) {
  int pick = -1;
  for (int i = 0; i < count; i++) {
    if (!is_daw(names, count, i, output)) continue;
    if (!output) return i;
    pick = i;
  }
  return pick;
}

void midi_lcxl_colours(const MidiFeedback* f, uint8_t rgb[MIDI_BUTTONS][3]) {
  struct Pair {
    uint8_t lit[3], unlit[3];
  };
  static const Pair kButtons[MIDI_BUTTONS] = {
      {{0, 100, 10}, {0, 15, 0}},      {{120, 10, 0}, {30, 5, 0}},    {{20, 20, 25}, {20, 20, 25}},
      {{120, 50, 0}, {30, 10, 0}},     {{20, 20, 25}, {20, 20, 25}},  {{15, 40, 90}, {15, 40, 90}},
      {{90, 40, 15}, {90, 40, 15}},    {{0, 70, 100}, {0, 10, 15}},   {{0, 70, 100}, {5, 5, 8}},
      {{0, 70, 100}, {5, 5, 8}},       {{0, 70, 100}, {5, 5, 8}},     {{0, 70, 100}, {5, 5, 8}},
      {{0, 70, 100}, {5, 5, 8}},       {{0, 70, 100}, {5, 5, 8}},     {{0, 70, 100}, {5, 5, 8}},
      {{0, 70, 100}, {5, 5, 8}}};
  const bool lit[MIDI_BUTTONS] = {f->playing,      f->recording,     false,          f->monitor,
                                  false,           false,            false,          f->loop_set,
                                  f->scene == 0,   f->scene == 1,    f->scene == 2,  f->scene == 3,
                                  f->zen,          f->library,       f->rig_open,    f->settings_open};
  for (int b = 0; b < MIDI_BUTTONS; b++)
    memcpy(rgb[b], lit[b] ? kButtons[b].lit : kButtons[b].unlit, 3);
}

int midi_lcxl_display(const char* line1, const char* line2, uint8_t out[64]) {
  static const uint8_t head[] = {0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x06, 0x35, 0x00};
  char a[MIDI_LINE_CHARS + 1], b[MIDI_LINE_CHARS + 1];
  prepare_line(line1, a);
  prepare_line(line2, b);
  int n = 0;
  memcpy(out, head, sizeof head);
  n += (int)sizeof head;
  for (const char* p = a; *p; p++) out[n++] = (uint8_t)(*p & 0x7F);
  out[n++] = 0x00;
  out[n++] = 0x01;
  for (const char* p = b; *p; p++) out[n++] = (uint8_t)(*p & 0x7F);
  out[n++] = 0xF7;
  return n;
}

void midi_set_feedback(MidiState* m, const MidiFeedback* f) {
  if (!m || !f) return;
  midi_lcxl_colours(f, m->daw.want);
  prepare_line("Kelp NOVA", m->daw.want_lines[0]);
  prepare_line(f->title, m->daw.want_lines[1]);
}

bool midi_daw_queue(DawPort* d, const uint8_t* bytes, int count) {
  if (d->queue_count >= MIDI_QUEUE || count > MIDI_MSG_BYTES) return false;
  MidiOutMsg* q = &d->queue[(d->queue_head + d->queue_count) % MIDI_QUEUE];
  memcpy(q->bytes, bytes, (size_t)count);
  q->count = count;
  d->queue_count++;
  return true;
}

void midi_daw_attach(MidiState* m) {
  DawPort* d = &m->daw;
  if (!m->backend || d->on || d->given_up) return;
  const char* in_names[MIDI_MAX_INPUTS];
  for (int i = 0; i < m->input_count; i++) in_names[i] = m->inputs[i].name;
  int input = -1;
  for (int i = 0; i < m->input_count && input < 0; i++)
    if (m->inputs[i].open && is_daw(in_names, m->input_count, i, false)) input = i;
  if (input < 0) return;
  enum { OUTS = 64 };
  static char outs[OUTS][MIDI_NAME_BYTES];
  memset(outs, 0, sizeof outs);
  int total = m->backend->list_outputs(m->backend->ctx, outs, OUTS);
  int n = total < 0 ? 0 : (total < OUTS ? total : OUTS);
  const char* out_names[OUTS];
  for (int i = 0; i < n; i++) {
    outs[i][MIDI_NAME_BYTES - 1] = 0;
    out_names[i] = outs[i];
  }
  int out = midi_lcxl_pick(out_names, n, true);
  if (out < 0) {
    if (!d->no_output_logged) {
      log_line("midi: LCXL3 is here but %s lists no DAW output for it (MIDIOUT2) - the default map",
               m->backend->api);
      for (int i = 0; i < n; i++) log_line("midi:   output %u: %s", (unsigned)i, outs[i]);
      d->no_output_logged = true;
    }
    return;
  }
  void* h = nullptr;
  int err = m->backend->open_output(m->backend->ctx, out, outs[out], &h);
  if (err != 0) {
    if (err != d->last_error) {
      if (err == MIDI_ERROR_BUSY)
        log_line("midi: LCXL3 DAW port '%s' is busy - another app has it (the default map; kelp "
                 "keeps trying)",
                 outs[out]);
      else
        log_line("midi: couldn't open LCXL3 DAW port '%s' (%s error %u) - kelp keeps trying",
                 outs[out], m->backend->api, (unsigned)err);
      d->last_error = err;
    }
    return;
  }
  d->last_error = 0;
  d->out = h;
  memcpy(d->out_name, outs[out], MIDI_NAME_BYTES);
  // Reopen the input so nothing sent before DAW mode is read as DAW controls.
  midi_close_input(m, input);
  if (midi_open_input(m, input, true) != 0) {
    close_output(m);
    return;
  }
  d->input = input;
  d->queue_count = d->queue_head = 0;
  midi_daw_queue(d, kDawOn, sizeof kDawOn);
  midi_daw_queue(d, kCc72, sizeof kCc72);
  midi_daw_queue(d, kCc73, sizeof kCc73);
  for (auto& b : d->sent) b[0] = b[1] = b[2] = -1;
  d->sent_lines[0][0] = d->sent_lines[1][0] = 0;
  d->lines_sent = false;
  memset(m->daw_cc, 0, sizeof m->daw_cc);
  d->on = true;
  log_line("midi: LCXL3 DAW mode on (out '%s')", d->out_name);
}

void midi_daw_pump(MidiState* m, double now) {
  DawPort* d = &m->daw;
  if (!d->on || !d->out) return;
  const MidiBackend* be = m->backend;
  if (d->long_in_flight) {
    if (!be->long_pending || !be->long_pending(be->ctx, d->out)) {
      d->long_in_flight = false;
    } else if (now - d->long_sent > 0.5) {
      give_up(m, "a message never finished", 0);
      return;
    } else {
      return;
    }
  }
  const double start = clock_monotonic();
  for (int sent = 0; sent < 24 && clock_monotonic() - start < 0.002; sent++) {
    uint8_t buf[MIDI_MSG_BYTES];
    int count = 0;
    if (d->queue_count > 0) {
      const MidiOutMsg* q = &d->queue[d->queue_head];
      memcpy(buf, q->bytes, (size_t)q->count);
      count = q->count;
      d->queue_head = (d->queue_head + 1) % MIDI_QUEUE;
      d->queue_count--;
    } else {
      int b = 0;
      while (b < MIDI_BUTTONS && d->sent[b][0] == d->want[b][0] && d->sent[b][1] == d->want[b][1] &&
             d->sent[b][2] == d->want[b][2])
        b++;
      if (b < MIDI_BUTTONS) {
        light_message(b, d->want[b], buf);
        count = 12;
        for (int k = 0; k < 3; k++) d->sent[b][k] = d->want[b][k];
      } else if (!d->lines_sent || strcmp(d->want_lines[0], d->sent_lines[0]) != 0 ||
                 strcmp(d->want_lines[1], d->sent_lines[1]) != 0) {
        uint8_t text[64];
        int n = midi_lcxl_display(d->want_lines[0], d->want_lines[1], text);
        midi_daw_queue(d, kDisplayPrelude, sizeof kDisplayPrelude);
        midi_daw_queue(d, text, n);
        memcpy(d->sent_lines, d->want_lines, sizeof d->sent_lines);
        d->lines_sent = true;
        sent--;  // queuing sent nothing yet
        continue;
      } else {
        break;
      }
    }
    int err = be->send(be->ctx, d->out, buf, count);
    if (err != 0) {
      give_up(m, "a message couldn't be sent", (unsigned)err);
      return;
    }
    if (!(count == 3 && buf[0] < 0xF0)) {
      // One SysEx at a time: the next waits until this one is out.
      if (be->long_pending && be->long_pending(be->ctx, d->out)) {
        d->long_in_flight = true;
        d->long_sent = now;
        return;
      }
    }
  }
}

void midi_daw_leave(MidiState* m, bool goodbye) {
  DawPort* d = &m->daw;
  if (!d->on || !d->out) {
    d->on = false;
    return;
  }
  if (goodbye) {
    d->queue_count = d->queue_head = 0;
    for (int b = 0; b < MIDI_BUTTONS; b++) {
      const uint8_t off[3] = {0, 0, 0};
      uint8_t msg[12];
      light_message(b, off, msg);
      midi_daw_queue(d, msg, 12);
    }
    midi_daw_queue(d, kDisplayPrelude, sizeof kDisplayPrelude);
    uint8_t text[64];
    midi_daw_queue(d, text, midi_lcxl_display("", "", text));
    midi_daw_queue(d, kCc72, sizeof kCc72);
    midi_daw_queue(d, kCc73, sizeof kCc73);
    midi_daw_queue(d, kDawOff, sizeof kDawOff);
    // Nothing else is sent meanwhile: the wanted state is what was last sent.
    memcpy(d->want_lines, d->sent_lines, sizeof d->want_lines);
    d->lines_sent = true;
    for (int b = 0; b < MIDI_BUTTONS; b++)
      for (int k = 0; k < 3; k++) d->want[b][k] = (uint8_t)(d->sent[b][k] < 0 ? 0 : d->sent[b][k]);
    for (int b = 0; b < MIDI_BUTTONS; b++)
      for (int k = 0; k < 3; k++) d->sent[b][k] = d->want[b][k];
    const double end = clock_monotonic() + 0.3;
    while (d->on && (d->queue_count > 0 || d->long_in_flight) && clock_monotonic() < end) {
      midi_daw_pump(m, clock_monotonic());
      if (d->queue_count > 0 || d->long_in_flight)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!d->on) return;  // the pump gave up and closed it
    if (d->queue_count > 0 || d->long_in_flight)
      log_line("midi: LCXL3 didn't take DAW OFF in time - closing anyway");
    else
      log_line("midi: LCXL3 DAW mode off");
  }
  close_output(m);
}

bool midi_daw_map(MidiState* m, uint32_t msg, MidiEvent* ev) {
  int status = (int)(msg & 0xFF), cc = (int)((msg >> 8) & 0x7F), v = (int)((msg >> 16) & 0xFF);
  if ((status & 0xF0) != 0xB0 || v > 127) return false;
  int ch = status & 0x0F;
  uint8_t* last = &m->daw_cc[ch][cc];
  if (ch == 0) {
    static const int kTop[8] = {1, 0, 2, 6, -1, 4, 5, 3};  // -1: clear (ask), DAW code 0
    int binding = -2;
    if (cc == 116) binding = 1;
    else if (cc == 118) binding = 0;
    else if (cc >= 37 && cc <= 44) binding = kTop[cc - 37];
    if (binding != -2) {
      if (!crossed(last, v)) return false;
      *ev = binding >= 0 ? MidiEvent{MEV_PRESS, binding, 1.0f, 0} : MidiEvent{MEV_DAW, 0, 1.0f, 0};
      return true;
    }
    if (cc >= 45 && cc <= 52) {
      if (!crossed(last, v)) return false;
      *ev = {MEV_DAW, 0, 1.0f, cc - 44};
      return true;
    }
    return false;
  }
  if (ch != 15) return false;
  *last = (uint8_t)v;
  float centred = (float)(v - 64) / 63.0f;
  centred = centred < -1 ? -1 : (centred > 1 ? 1 : centred);
  switch (cc) {
    case 5: *ev = {MEV_CONTINUOUS, 8, centred, 0}; return true;
    case 13: *ev = {MEV_CONTINUOUS, 7, centred, 0}; return true;
    case 20: *ev = {MEV_DAW, 0, (float)v / 127.0f, 9}; return true;
    case 92:
    case 100:
      if (v == 64) return false;
      *ev = {MEV_DAW, 0, (float)(v - 64), cc == 92 ? 10 : 11};
      return true;
    default: return false;
  }
}
