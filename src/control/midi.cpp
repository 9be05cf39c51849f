// MIDI inputs: the list and its rescans, the rings, the generic map, the monitor text and the
// coalescing of stick and strip movement into a few actions per frame.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/log.h"
#include "base/text.h"
#include "control/midi_internal.h"

namespace {

const char* const kNoteNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
const int32_t kPressKinds[7] = {ACT_RECORD,  ACT_PLAY_PAUSE, ACT_REWIND,        ACT_LOOP,
                                ACT_LOOP_IN, ACT_LOOP_OUT,   ACT_MONITOR_TOGGLE};

void reset_generic(MidiState* m) {
  static const MidiBinding defaults[9] = {{0, 36, -1}, {0, 38, -1}, {0, 40, -1},
                                          {0, 41, -1}, {0, 43, -1}, {0, 45, -1},
                                          {0, 50, -1}, {1, 10, -1}, {1, 74, -1}};
  memcpy(m->bindings, defaults, sizeof defaults);
  memset(m->generic_cc, 0, sizeof m->generic_cc);
}

float clamp(float v, float lo, float hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

void close_all(MidiState* m) {
  for (int i = 0; i < m->input_count; i++) midi_close_input(m, i);
}

// Lists the inputs; on any change closes everything and takes the new list.
void scan(MidiState* m) {
  if (!m->backend) return;
  char names[MIDI_MAX_INPUTS][MIDI_NAME_BYTES];
  memset(names, 0, sizeof names);
  int total = m->backend->list_inputs(m->backend->ctx, names, MIDI_MAX_INPUTS);
  if (total < 0) total = 0;
  int n = total < MIDI_MAX_INPUTS ? total : MIDI_MAX_INPUTS;
  for (int i = 0; i < n; i++) {
    names[i][MIDI_NAME_BYTES - 1] = 0;
    text_copy(names[i], MIDI_NAME_BYTES, names[i]);  // never half a character
    if (!names[i][0]) snprintf(names[i], MIDI_NAME_BYTES, "MIDI IN %d", i + 1);
  }
  bool changed = n != m->input_count;
  for (int i = 0; i < n && !changed; i++) changed = strcmp(names[i], m->inputs[i].name) != 0;
  if (changed) {
    midi_daw_leave(m, false);
    close_all(m);
    m->daw.given_up = false;
    m->daw.no_output_logged = false;
    m->daw.last_error = 0;
    for (int i = 0; i < MIDI_MAX_INPUTS; i++) {
      MidiInput* in = &m->inputs[i];
      in->failed = false;
      in->ever_open = false;
      in->last_error = 0;
      memcpy(in->name, i < n ? names[i] : "", i < n ? MIDI_NAME_BYTES : 1);
    }
    bool had = m->input_count > 0;
    m->input_count = n;
    if (n > 0) {
      log_line("midi: %d input%s", n, n == 1 ? "" : "s");
    } else {
      log_line("midi: no inputs%s", had ? " any more" : "");
    }
    if (total > MIDI_MAX_INPUTS)
      log_line("midi: %u inputs - kelp listens to the first %d", (unsigned)total, MIDI_MAX_INPUTS);
  }
  for (int i = 0; i < m->input_count; i++) {
    if (!m->inputs[i].open) midi_open_input(m, i, false);
  }
  midi_daw_attach(m);
}

void set_monitor(MidiState* m, uint32_t msg) {
  int status = (int)(msg & 0xFF), d1 = (int)((msg >> 8) & 0xFF), d2 = (int)((msg >> 16) & 0xFF);
  int ch = (status & 0x0F) + 1;
  switch (status & 0xF0) {
    case 0x90:
      if (d2 > 0 && d1 < 128) {
        char note[8];
        snprintf(note, sizeof note, "%s%d", kNoteNames[d1 % 12], d1 / 12 - 2);
        snprintf(m->last, sizeof m->last, "%s on · ch%d", note, ch);
      }
      break;
    case 0xB0:
      if (d2 < 128) snprintf(m->last, sizeof m->last, "CC %d = %d · ch%d", d1, d2, ch);
      break;
    case 0xC0:
      snprintf(m->last, sizeof m->last, "PROGRAM %d", d1);
      break;
    default:
      break;
  }
}

// The generic map; events go to ev (room for 9). Returns how many.
int map_generic(MidiState* m, uint32_t msg, MidiEvent* ev) {
  int status = (int)(msg & 0xFF), d1 = (int)((msg >> 8) & 0x7F), d2 = (int)((msg >> 16) & 0xFF);
  int ch = status & 0x0F, n = 0;
  switch (status & 0xF0) {
    case 0x90:
      if (d2 == 0 || d2 > 127) return 0;
      for (int b = 0; b < 7; b++) {
        const MidiBinding& k = m->bindings[b];
        if (k.kind == 0 && k.number == d1 && (k.channel < 0 || k.channel == ch))
          ev[n++] = {MEV_PRESS, b, 1.0f, 0};
      }
      return n;
    case 0xB0: {
      if (d2 > 127) return 0;
      int before = m->generic_cc[ch][d1];
      m->generic_cc[ch][d1] = (uint8_t)d2;
      for (int b = 0; b < 9; b++) {
        const MidiBinding& k = m->bindings[b];
        if (k.kind != 1 || k.number != d1 || (k.channel >= 0 && k.channel != ch)) continue;
        if (b < 7) {
          if (before < 64 && d2 >= 64) ev[n++] = {MEV_PRESS, b, 1.0f, 0};
        } else {
          ev[n++] = {MEV_CONTINUOUS, b, (float)d2 / 127.0f * 2.0f - 1.0f, 0};
        }
      }
      return n;
    }
    case 0xC0:
      ev[n++] = {MEV_PROGRAM, 9, 0.0f, d1};
      return n;
    default:
      return 0;
  }
}

struct Coalesce {
  bool xy = false;
  bool scrub = false;
  double flag_sum[2] = {0, 0};
};

void push(ActionList* out, int* added, int32_t kind, int32_t value, float x, float y) {
  if (actions_push_xy(out, kind, value, x, y)) (*added)++;
}

// One event to at most one action; stick, scrub and flag movement is gathered in c.
void event_action(MidiState* m, const MidiEvent& e, const MidiSnapshot* s, Coalesce* c,
                  ActionList* out, int* added) {
  if (!std::isfinite(e.value)) return;
  if (e.kind == MEV_PRESS && e.index >= 0 && e.index < 7) {
    push(out, added, kPressKinds[e.index], ACTION_FROM_MIDI, 0, 0);
  } else if (e.kind == MEV_CONTINUOUS) {
    if (e.index == 7) m->stick_x = clamp(e.value, -1, 1);
    else m->stick_y = clamp(e.value, -1, 1);
    c->xy = true;
  } else if (e.kind == MEV_DAW) {
    const double L = s ? s->tape_seconds : 0, span = s ? s->span_seconds : 0;
    switch (e.code) {
      case 0: push(out, added, ACT_CLEAR_ASK, ACTION_FROM_MIDI, 0, 0); break;
      case 1: case 2: case 3: case 4: push(out, added, ACT_RIG_SCENE, e.code - 1, 0, 0); break;
      case 5: push(out, added, ACT_ZEN_FULL, ACTION_FROM_MIDI, 0, 0); break;
      case 6: push(out, added, ACT_LIBRARY, ACTION_FROM_MIDI, 0, 0); break;
      case 7: push(out, added, ACT_RIG, ACTION_FROM_MIDI, 0, 0); break;
      case 8: push(out, added, ACT_SETTINGS, -1, 0, 0); break;
      case 9: {
        // The knob's travel covers the recorded tape, not the whole canvas.
        double p = span > 0 ? clamp(e.value, 0, 1) * L / span : 0;
        m->scrub_x = std::isfinite(p) ? clamp((float)p, 0, 1) : 0;
        c->scrub = true;
        break;
      }
      case 10: case 11: c->flag_sum[e.code - 10] += e.value; break;
      default: break;
    }
  }
}

void finish(MidiState* m, double now, const MidiSnapshot* s, Coalesce* c, ActionList* out,
            int* added) {
  if (c->xy) {
    push(out, added, ACT_XY, 0, m->stick_x, m->stick_y);
    m->xy_until = now + 0.5;
  } else if (m->xy_until > 0 && now >= m->xy_until) {
    push(out, added, ACT_XY, 1, m->stick_x, m->stick_y);  // stored in the settings
    m->xy_until = 0;
  }
  if (c->scrub) {
    push(out, added, ACT_STRIP_SCRUB, 0, m->scrub_x, 0);
    m->scrub_until = now + 0.5;
  } else if (m->scrub_until > 0 && now >= m->scrub_until) {
    push(out, added, ACT_STRIP_SCRUB, 1, m->scrub_x, 0);  // lands the cursor
    m->scrub_until = 0;
  }
  const double L = s ? s->tape_seconds : 0, span = s ? s->span_seconds : 0;
  for (int end = 0; end < 2; end++) {
    if (c->flag_sum[end] == 0) continue;
    double base = s && s->loop_set ? (end == 0 ? s->loop_in : s->loop_out) : (end == 0 ? 0 : L);
    double p = c->flag_sum[end] * 0.005 * L + base;
    if (!std::isfinite(p)) continue;
    p = p < 0 ? 0 : (p > span ? (span > 0 ? span : 0) : p);
    push(out, added, ACT_STRIP_FLAG, end + 1, (float)p, 0);
  }
}

}  // namespace

void midi_input_feed(MidiInput* in, const uint8_t* bytes, size_t count) {
  if (!in || count == 0 || bytes[0] < 0x80 || bytes[0] > 0xEF) return;
  uint32_t msg = bytes[0];
  if (count > 1) msg |= (uint32_t)bytes[1] << 8;
  if (count > 2) msg |= (uint32_t)bytes[2] << 16;
  if (!spsc_push(&in->ring, msg)) in->dropped.fetch_add(1, std::memory_order_relaxed);
}

int midi_open_input(MidiState* m, int i, bool quiet) {
  MidiInput* in = &m->inputs[i];
  if (in->open) return 0;
  // No producer while closed: the ring starts empty.
  in->ring.write_index.store(0, std::memory_order_relaxed);
  in->ring.read_index.store(0, std::memory_order_relaxed);
  int err = m->backend->open_input(m->backend->ctx, i, in->name, in, &in->handle);
  if (err == 0) {
    in->open = true;
    if (!quiet) {
      if (in->failed) log_line("midi: %s is free now - listening", in->name);
      else if (!in->ever_open) log_line("midi: listening to %s", in->name);
    }
    in->failed = false;
    in->ever_open = true;
    in->last_error = 0;
    return 0;
  }
  in->handle = nullptr;
  in->failed = true;
  if (err != in->last_error) {
    if (err == MIDI_ERROR_BUSY)
      log_line("midi: %s is busy - another app has it open (kelp keeps trying)", in->name);
    else
      log_line("midi: couldn't open %s (%s error %u) - kelp keeps trying", in->name,
               m->backend->api, (unsigned)err);
    in->last_error = err;
  }
  return -1;
}

void midi_close_input(MidiState* m, int i) {
  MidiInput* in = &m->inputs[i];
  if (!in->open) return;
  m->backend->close_input(m->backend->ctx, in->handle);
  in->handle = nullptr;
  in->open = false;
}

MidiState* midi_new(MidiBackend* backend, bool enabled, double now) {
  MidiState* m = new (std::nothrow) MidiState;
  if (!m) {
    log_line("midi: out of memory - MIDI in is off");
    if (backend && backend->free) backend->free(backend->ctx);
    return nullptr;
  }
  m->backend = backend;
  m->enabled = enabled;
  reset_generic(m);
  snprintf(m->last, sizeof m->last, "—");
  for (auto& b : m->daw.sent) b[0] = b[1] = b[2] = -1;
  if (enabled) {
    scan(m);
    if (m->input_count == 0) log_line("midi: no inputs yet - plug one in any time");
    m->next_scan = now + 2.0;
  } else {
    log_line("midi: off (SETTINGS → MIDI IN turns it on)");
  }
  return m;
}

void midi_free(MidiState* m) {
  if (!m) return;
  midi_daw_leave(m, true);
  close_all(m);
  if (m->backend && m->backend->free) m->backend->free(m->backend->ctx);
  delete m;
}

void midi_set_enabled(MidiState* m, bool on, double now) {
  if (!m || on == m->enabled) return;
  m->enabled = on;
  if (on) {
    reset_generic(m);
    m->daw.given_up = false;
    log_line("midi: on");
    scan(m);
    if (m->input_count == 0) log_line("midi: no inputs yet - plug one in any time");
    m->next_scan = now + 2.0;
  } else {
    midi_daw_leave(m, true);
    close_all(m);
    log_line("midi: off");
  }
}

int midi_poll(MidiState* m, double now, const MidiSnapshot* snap, ActionList* out) {
  if (!m) return 0;
  int added = 0;
  // While a stick movement settles, the session's position lags ours: keep ours.
  if (m->xy_until == 0 && snap) {
    m->stick_x = snap->stick_x;
    m->stick_y = snap->stick_y;
  }
  enum { EVENTS = 128 };
  MidiEvent events[EVENTS];
  int nev = 0;
  for (int i = 0; i < m->input_count; i++) {
    MidiInput* in = &m->inputs[i];
    if (!in->open) continue;
    const bool daw = m->daw.on && m->daw.input == i;
    uint32_t msg;
    while (EVENTS - nev >= 9 && spsc_pop(&in->ring, &msg)) {
      m->activity_until = now + 0.12;
      set_monitor(m, msg);
      if (daw) {
        if (midi_daw_map(m, msg, &events[nev])) nev++;
      } else {
        nev += map_generic(m, msg, &events[nev]);
      }
    }
  }
  Coalesce c;
  for (int e = 0; e < nev; e++) event_action(m, events[e], snap, &c, out, &added);
  finish(m, now, snap, &c, out, &added);

  uint64_t dropped = 0;
  for (int i = 0; i < MIDI_MAX_INPUTS; i++)  // all slots: a shorter list keeps its counts
    dropped += m->inputs[i].dropped.load(std::memory_order_relaxed);
  if (dropped != m->dropped_reported && now >= m->next_drop_report) {
    uint64_t d = dropped - m->dropped_reported;
    log_line("midi: %ld message%s dropped - the controller sent faster than kelp read", (long)d,
             d == 1 ? "" : "s");
    m->dropped_reported = dropped;
    m->next_drop_report = now + 2.0;
  }
  if (m->enabled && now >= m->next_scan) {
    scan(m);
    m->next_scan = now + 2.0;
  }
  midi_daw_pump(m, now);
  return added;
}

void midi_status(const MidiState* m, MidiStatus* out) {
  memset(out, 0, sizeof *out);
  if (!m) return;
  out->enabled = m->enabled;
  out->activity_until = m->activity_until;
  memcpy(out->last, m->last, sizeof out->last);
  out->input_count = m->input_count;
  for (int i = 0; i < m->input_count; i++) {
    memcpy(out->names[i], m->inputs[i].name, MIDI_NAME_BYTES);
    out->busy[i] = m->inputs[i].failed;
  }
  out->daw_on = m->daw.on;
  if (m->daw.on) memcpy(out->daw_out, m->daw.out_name, MIDI_NAME_BYTES);
}
