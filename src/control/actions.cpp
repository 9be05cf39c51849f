// The action table and the pure rules around it. The dispatcher lives with the application; this
// file only names the rows and keeps the pending list bounded.
#include "control/actions.h"

#include <cstring>

namespace {

// Indexed by kind; quiet rows are the high-rate pointer actions kept out of the log.
const ActionRow kRows[ACTION_KINDS] = {
    {"none", true},
    {"play/pause", false},
    {"record", false},
    {"rewind", false},
    {"stop", false},
    {"loop", false},
    {"loop in", false},
    {"loop out", false},
    {"monitor toggle", false},
    {"monitor set", false},
    {"tap", true},
    {"scrub begin", true},
    {"scrub move", true},
    {"scrub end", true},
    {"loop handle drag", true},
    {"zoom", true},
    {"zoom back to the camera", false},
    {"pan", true},
    {"scroll", true},
    {"strip scrub", true},
    {"strip flag", true},
    {"view window", true},
    {"xy", true},
    {"xy nudge", true},
    {"xy centre", false},
    {"norm/raw", false},
    {"zen/full", false},
    {"triangle density", false},
    {"edges", false},
    {"paint mode", false},
    {"paint colour", false},
    {"new sketch", false},
    {"open sketch", false},
    {"rename", false},
    {"rename commit", false},
    {"rename cancel", false},
    {"export wav", false},
    {"normalise exports", false},
    {"open exports folder", false},
    {"copy export", false},
    {"show in explorer", false},
    {"clear (ask)", false},
    {"clear", false},
    {"delete (ask)", false},
    {"delete", false},
    {"library rename", false},
    {"preview", false},
    {"library export", false},
    {"library tab", false},
    {"import", false},
    {"library folder", false},
    {"library folder reset", false},
    {"library", false},
    {"back to the sketch", false},
    {"settings", false},
    {"help", false},
    {"training", false},
    {"what's new", false},
    {"share", false},
    {"what's new page", false},
    {"close panel", false},
    {"escape", false},
    {"console", false},
    {"fullscreen", false},
    {"minimise", false},
    {"maximise", false},
    {"quit", false},
    {"open link", false},
    {"copy text", false},
    {"audio device", false},
    {"audio buffer", false},
    {"sample rate", false},
    {"exclusive", false},
    {"driver panel", false},
    {"rescan devices", false},
    {"audio retry", false},
    {"mic privacy settings", false},
    {"midi in", false},
    {"cursor step", false},
    {"cursor to a take", false},
    {"cursor to an end", false},
    {"keys", false},
    {"rig", false},
    {"rig scene", false},
    {"broadcast", false},
};

const int32_t kBuffers[] = {64, 128, 256, 512, 1024};
const int32_t kRates[] = {0, 44100, 48000, 88200, 96000};

// The next entry of an ascending list from current: the first larger going up, the last smaller
// going down, wrapping at either end. current need not be in the list.
int32_t step_list(const int32_t* list, int n, int32_t current, int32_t direction) {
  if (direction >= 0) {
    for (int i = 0; i < n; i++)
      if (list[i] > current) return list[i];
    return list[0];
  }
  for (int i = n - 1; i >= 0; i--)
    if (list[i] < current) return list[i];
  return list[n - 1];
}

}  // namespace

size_t actions_cut_utf8(char* out, size_t size, const char* text) {
  if (!out || size == 0) return 0;
  if (!text) {
    out[0] = '\0';
    return 0;
  }
  // strnlen: never reads past what could fit, and copes with an unterminated source.
  size_t n = strnlen(text, size);
  if (n >= size) {
    n = size - 1;
    // Step back over continuation bytes so the cut lands before the split character's lead.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
  }
  memmove(out, text, n);
  out[n] = '\0';
  return n;
}

void actions_upper_ascii(char* out, size_t size, const char* text) {
  size_t n = actions_cut_utf8(out, size, text);
  for (size_t i = 0; i < n; i++)
    if (out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 'a' + 'A');
}

bool actions_append(ActionList* list, const Action* action) {
  if (!list || !action) return false;
  if (list->count < 0) list->count = 0;
  if (list->count >= ACTION_LIST_MAX) return false;
  Action* a = &list->items[list->count];
  a->kind = action->kind;
  a->value = action->value;
  a->x = action->x;
  a->y = action->y;
  actions_cut_utf8(a->text, sizeof a->text, action->text);
  list->count++;
  return true;
}

bool actions_push(ActionList* list, int32_t kind, int32_t value, const char* text) {
  if (!list) return false;
  if (list->count < 0) list->count = 0;
  if (list->count >= ACTION_LIST_MAX) return false;
  Action* a = &list->items[list->count];
  a->kind = kind;
  a->value = value;
  a->x = 0.0f;
  a->y = 0.0f;
  actions_cut_utf8(a->text, sizeof a->text, text);
  list->count++;
  return true;
}

bool actions_push_xy(ActionList* list, int32_t kind, int32_t value, float x, float y) {
  if (!actions_push(list, kind, value, nullptr)) return false;
  Action* a = &list->items[list->count - 1];
  a->x = x;
  a->y = y;
  return true;
}

const ActionRow* actions_row(int32_t kind) {
  if (kind < 0 || kind >= ACTION_KINDS) return nullptr;
  return &kRows[kind];
}

int actions_device_target(int32_t count, int32_t current, int32_t step, int32_t* target) {
  if (count <= 0) return -1;
  int64_t s = step == 0 ? 1 : step;
  int64_t n = count;
  int64_t t;
  if (current >= 0 && current < count) {
    // Truncating remainder, then folded into 0..n-1 (64-bit: current + step cannot overflow).
    t = ((current + s) % n + n) % n;
  } else {
    t = s > 0 ? 0 : n - 1;
  }
  if (target) *target = static_cast<int32_t>(t);
  if (t == current) return -2;
  return 0;
}

int32_t actions_buffer_step(int32_t current, int32_t direction) {
  return step_list(kBuffers, 5, current, direction);
}

int32_t actions_rate_step(int32_t current, int32_t direction) {
  return step_list(kRates, 5, current, direction);
}
