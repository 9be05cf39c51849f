#include "app/training.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/theme.h"
#include "base/log.h"
#include "ui/text.h"

namespace {

const TrainingGroup kGroups[TRAINING_GROUPS] = {
    {"first-steps", "FIRST STEPS"},
    {"going-out", "GOING OUT"},
};

const TrainingTask kTasks[TRAINING_TASKS] = {
    {0, "first-note", "make your first note",
     "talk, sing, hum. it's already catching the good part."},
    {0, "let-it-loop", "let one loop", "leave it running and play over yourself."},
    {0, "move-mid-take", "throw the cursor mid-take",
     "click anywhere while recording. don't stop the tape."},
    {0, "zoom-in", "zoom into the detail",
     "ctrl + wheel, or pinch the touchpad. the camera follows the cursor, and smaller waves fade "
     "in."},
    {1, "midi-hands", "press record from a controller",
     "plug one in \xE2\x80\x94 the C1 row is the transport, no setup."},
    {1, "rig-scene", "switch scenes",
     "open the rig with A, click the second symbol and mute something. now flip between them "
     "\xE2\x80\x94 the take follows."},
};

constexpr size_t kIdMax = TRAINING_ID_BYTES - 1;
constexpr size_t kVersionMax = TRAINING_VERSION_BYTES - 1;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// [*b, *e) trimmed at both ends, or only the start / end.
void trim(const char** b, const char** e, bool front, bool back) {
  while (front && *b < *e && is_space(**b)) (*b)++;
  while (back && *e > *b && is_space((*e)[-1])) (*e)--;
}

bool known(const char* id) {
  return training_task_index(id) >= 0;
}

int32_t find_id(const char (*list)[TRAINING_ID_BYTES], int32_t count, const char* id) {
  for (int32_t i = 0; i < count; i++)
    if (std::strcmp(list[i], id) == 0) return i;
  return -1;
}

// Splits text at commas and hands each trimmed, non-empty item to f.
template <typename F>
void each_item(const char* text, F f) {
  if (!text) return;
  const char* s = text;
  while (true) {
    const char* end = std::strchr(s, ',');
    if (!end) end = s + std::strlen(s);
    const char* b = s;
    const char* e = end;
    trim(&b, &e, true, true);
    if (e > b) f(b, e);
    if (*end == '\0') break;
    s = end + 1;
  }
}

void load_ids(char (*list)[TRAINING_ID_BYTES], int32_t* count, const char* text) {
  *count = 0;
  each_item(text, [&](const char* b, const char* e) {
    const size_t n = (size_t)(e - b);
    if (n > kIdMax || *count >= TRAINING_LIST_MAX) return;
    char id[TRAINING_ID_BYTES];
    std::memcpy(id, b, n);
    id[n] = '\0';
    if (find_id(list, *count, id) >= 0) return;
    std::memcpy(list[(*count)++], id, n + 1);
  });
}

// Makes room in a full list by dropping the last entry this table does not know; false when
// every entry is a known task.
bool make_room(char (*list)[TRAINING_ID_BYTES], int32_t* count) {
  if (*count < TRAINING_LIST_MAX) return true;
  for (int32_t i = *count - 1; i >= 0; i--) {
    if (known(list[i])) continue;
    for (int32_t j = i; j + 1 < *count; j++) std::memcpy(list[j], list[j + 1], TRAINING_ID_BYTES);
    (*count)--;
    return true;
  }
  return false;
}

bool add_id(char (*list)[TRAINING_ID_BYTES], int32_t* count, const char* id) {
  if (!make_room(list, count)) return false;
  snprintf(list[(*count)++], TRAINING_ID_BYTES, "%s", id);
  return true;
}

// Joins items into out; an item that would not fit ends the list there.
template <typename F>
void join(char* out, size_t size, int32_t count, F item) {
  if (!out || size == 0) return;
  out[0] = '\0';
  size_t used = 0;
  for (int32_t i = 0; i < count; i++) {
    char one[64];
    item(i, one, sizeof one);
    const size_t n = std::strlen(one) + (i > 0 ? 1 : 0);
    if (used + n + 1 > size) break;
    snprintf(out + used, size - used, "%s%s", i > 0 ? "," : "", one);
    used += n;
  }
}

}  // namespace

const TrainingTask* training_task(int32_t index) {
  return index >= 0 && index < TRAINING_TASKS ? &kTasks[index] : nullptr;
}
const TrainingGroup* training_group(int32_t index) {
  return index >= 0 && index < TRAINING_GROUPS ? &kGroups[index] : nullptr;
}
int32_t training_task_index(const char* id) {
  if (!id) return -1;
  for (int32_t i = 0; i < TRAINING_TASKS; i++)
    if (std::strcmp(kTasks[i].id, id) == 0) return i;
  return -1;
}

void training_load(TrainingLog* log, const char* done, const char* unseen, const char* found) {
  std::memset(log, 0, sizeof *log);
  load_ids(log->done, &log->done_count, done);
  load_ids(log->unseen, &log->unseen_count, unseen);
  each_item(found, [&](const char* b, const char* e) {
    const char* colon = (const char*)std::memchr(b, ':', (size_t)(e - b));
    if (!colon || log->found_count >= TRAINING_LIST_MAX) return;
    const char* ib = b;
    const char* ie = colon;
    trim(&ib, &ie, false, true);
    const char* vb = colon + 1;
    const char* ve = e;
    trim(&vb, &ve, true, false);
    const size_t idn = (size_t)(ie - ib);
    if (idn < 1 || idn > kIdMax || ve <= vb) return;
    TrainingFound f{};
    std::memcpy(f.id, ib, idn);
    const size_t vn = std::min((size_t)(ve - vb), kVersionMax);
    std::memcpy(f.version, vb, vn);
    text_utf8_cut(f.version, kVersionMax);
    for (int32_t i = 0; i < log->found_count; i++)
      if (std::strcmp(log->found[i].id, f.id) == 0) return;
    log->found[log->found_count++] = f;
  });
}

void training_save(const TrainingLog* log, char* done, size_t done_size, char* unseen,
                   size_t unseen_size, char* found, size_t found_size) {
  join(done, done_size, log->done_count,
       [&](int32_t i, char* o, size_t n) { snprintf(o, n, "%s", log->done[i]); });
  join(unseen, unseen_size, log->unseen_count,
       [&](int32_t i, char* o, size_t n) { snprintf(o, n, "%s", log->unseen[i]); });
  join(found, found_size, log->found_count, [&](int32_t i, char* o, size_t n) {
    snprintf(o, n, "%s:%s", log->found[i].id, log->found[i].version);
  });
}

bool training_tick(TrainingLog* log, const char* id, const char* version) {
  if (!log || !known(id) || find_id(log->done, log->done_count, id) >= 0) return false;
  if (!add_id(log->done, &log->done_count, id)) return false;
  if (find_id(log->unseen, log->unseen_count, id) < 0) add_id(log->unseen, &log->unseen_count, id);
  const char* v = version && version[0] ? version : "?";
  int32_t at = -1;
  for (int32_t i = 0; i < log->found_count; i++)
    if (std::strcmp(log->found[i].id, id) == 0) at = i;
  if (at < 0) {
    bool room = log->found_count < TRAINING_LIST_MAX;
    for (int32_t i = log->found_count - 1; !room && i >= 0; i--) {
      if (known(log->found[i].id)) continue;
      for (int32_t j = i; j + 1 < log->found_count; j++) log->found[j] = log->found[j + 1];
      log->found_count--;
      room = true;
    }
    if (room) {
      at = log->found_count++;
      snprintf(log->found[at].id, TRAINING_ID_BYTES, "%s", id);
    }
  }
  if (at >= 0) {
    snprintf(log->found[at].version, TRAINING_VERSION_BYTES, "%s", v);
    text_utf8_cut(log->found[at].version, kVersionMax);
  }
  snprintf(log->last, sizeof log->last, "%s", id);
  log->ticks++;
  return true;
}

bool training_is_done(const TrainingLog* log, const char* id) {
  return log && id && find_id(log->done, log->done_count, id) >= 0;
}
bool training_is_unseen(const TrainingLog* log, const char* id) {
  return log && id && find_id(log->unseen, log->unseen_count, id) >= 0;
}
void training_clear_unseen(TrainingLog* log) {
  if (log) log->unseen_count = 0;
}
int32_t training_done_count(const TrainingLog* log) {
  int32_t n = 0;
  for (int32_t i = 0; i < TRAINING_TASKS; i++) n += training_is_done(log, kTasks[i].id) ? 1 : 0;
  return n;
}
const char* training_found_version(const TrainingLog* log, const char* id) {
  for (int32_t i = 0; log && id && i < log->found_count; i++)
    if (std::strcmp(log->found[i].id, id) == 0) return log->found[i].version;
  return nullptr;
}

// ---- spring ----

Spring spring_make(float period, float zeta, float value) {
  Spring s{};
  s.value = s.target = value;
  s.omega = std::fmin(2000.0f, 2.0f * 3.14159265f / std::fmax(period, 0.001f));
  s.zeta = std::clamp(zeta, 1e-6f, 4.0f);
  return s;
}

void spring_step(Spring* s, double dt) {
  if (!(dt > 0)) return;
  dt = std::fmin(dt, 0.1);
  const double w = s->omega, z = s->zeta;
  int n = (int)std::max(std::ceil(2.0 * (2.0 * z + 1.0) * w * dt), std::ceil(dt * 240.0));
  n = std::clamp(n, 1, 4096);
  const double h = dt / n;
  double v = s->value, vel = s->velocity;
  for (int i = 0; i < n; i++) {
    vel += (-w * w * (v - s->target) - 2.0 * z * w * vel) * h;
    v += vel * h;
  }
  if (!std::isfinite(v) || !std::isfinite(vel)) {
    v = s->target;
    vel = 0;
  }
  s->value = (float)v;
  s->velocity = (float)vel;
}

// ---- the task card ----

namespace {
constexpr TextStyle kCardHead = {TEXT_HEAD, 8.0f, 700, 1.5f};
constexpr TextStyle kCardText = {TEXT_HEAD, 11.0f, 700, 0.0f};
constexpr const char* kCardTitle = "TASK NODE DISCOVERED";
constexpr float kCardTop = 120.0f;

float card_amount(const TaskCard* c) {
  return std::clamp(c->spring.value, -0.2f, 1.2f);
}
}  // namespace

void task_card_init(TaskCard* c, const TrainingLog* log) {
  std::memset(c, 0, sizeof *c);
  c->ticks = log ? log->ticks : 0;
  c->spring = spring_make(0.4f, 0.82f, 0.0f);
}

void task_card_step(TaskCard* c, const TrainingLog* log, double now, double dt) {
  if (log && log->ticks != c->ticks) {
    c->ticks = log->ticks;
    if (log->last[0]) {
      const TrainingTask* t = training_task(training_task_index(log->last));
      snprintf(c->text, sizeof c->text, "%s", t ? t->label : log->last);
      text_utf8_cut(c->text, sizeof c->text - 1);
      for (char* s = c->text; *s; s++)
        if (*s >= 'a' && *s <= 'z') *s = (char)(*s - 'a' + 'A');
      c->until = now + 4.5;
    }
  }
  c->spring.target = c->until > 0 && now < c->until ? 1.0f : 0.0f;
  spring_step(&c->spring, dt);
  if (c->spring.target == 0.0f && std::fabs(c->spring.value) < 0.001f &&
      std::fabs(c->spring.velocity) < 0.01f)
    c->until = 0;
}

bool task_card_visible(const TaskCard* c) {
  return card_amount(c) > 0.01f;
}

DrawRect task_card_rect(const TaskCard* c, float window_w) {
  const float inner =
      std::fmax(text_measure(kCardHead, kCardTitle), text_measure(kCardText, c->text)) + 20 + 12;
  const float w = inner + 30;
  const float h =
      std::fmax(48.0f, text_line_height(kCardHead) + 9 + 1 + text_line_height(kCardText) + 9);
  const float a = card_amount(c);
  return DrawRect{window_w - w + (w + 8) * (1 - a), kCardTop, w, h};
}

bool task_card_pointer(TaskCard* c, float window_w, int32_t kind, int32_t button, float x, float y,
                       ActionList* out) {
  if (button != 1 && kind != 2) return false;
  const DrawRect r = task_card_rect(c, window_w);
  const bool over = task_card_visible(c) && x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
  if (kind == 1) {
    c->pressing = over;
    return over;
  }
  if (kind == 3 && c->pressing) {
    c->pressing = false;
    if (over) {
      actions_push(out, ACT_TRAINING, 0, nullptr);
      c->until = 0;
    }
    return true;
  }
  return kind == 2 && c->pressing;
}

void task_card_draw(const TaskCard* c, Painter* p, float window_w, DrawColour accent) {
  if (!task_card_visible(c)) return;
  const DrawRect r = task_card_rect(c, window_w);
  draw_shadow(p, r, 10.0f, 18.0f, 0.5f);
  draw_rrect(p, r, 10.0f, THEME_PANEL);
  draw_rrect_frame(p, r, 10.0f, 1.0f, DrawColour{accent.r, accent.g, accent.b, 0.6f});
  draw_rect(p, r.x + 12, r.y + 10, 3, r.h - 20, accent);
  const float x = r.x + 12 + 20;
  const float y1 = r.y + 9;
  text_draw(p, kCardHead, x, y1, TEXT_LEFT, accent, kCardTitle, false);
  text_draw(p, kCardText, x, y1 + text_line_height(kCardHead) + 1, TEXT_LEFT, THEME_INK, c->text,
            false);
}

// ---- the TRAINING panel ----

namespace {
constexpr TextStyle kKicker = {TEXT_HEAD, 11.0f, 700, 3.0f};
constexpr TextStyle kTitle = {TEXT_HEAD, 23.0f, 700, 0.0f};
constexpr TextStyle kCount = {TEXT_HEAD, 13.0f, 400, 0.0f};
constexpr TextStyle kGroup = {TEXT_HEAD, 11.0f, 700, 2.0f};
constexpr TextStyle kLabel = {TEXT_HEAD, 16.0f, 600, 0.0f};
constexpr TextStyle kHint = {TEXT_HEAD, 14.0f, 400, 0.0f};
constexpr TextStyle kFound = {TEXT_HEAD, 8.0f, 700, 1.5f};
constexpr TextStyle kFoundVersion = {TEXT_HEAD, 11.0f, 400, 0.0f};
constexpr TextStyle kButton = {TEXT_HEAD, 12.0f, 700, 2.0f};
constexpr float kPad = 18.0f;
constexpr float kDisc = 22.0f;
constexpr float kDiscColumn = 42.0f;
constexpr int32_t kHintLines = 12;
constexpr float kGlide = 0.35f;

float max_scroll(const TrainingPanel* tp) {
  return std::fmax(0.0f, tp->g.content_h - tp->g.body.h);
}

float ease_in_out(float x) {
  x = std::clamp(x, 0.0f, 1.0f);
  return x < 0.5f ? 4 * x * x * x : 1 - std::pow(2 - 2 * x, 3.0f) / 2;
}

bool queued(const TrainingPanel* tp, const char* id) {
  for (int32_t i = 0; i < tp->queue_count; i++)
    if (std::strcmp(tp->queue[i], id) == 0) return true;
  return false;
}

bool inside(const DrawRect& r, float x, float y) {
  return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
}

float header_h() {
  return kPad + text_line_height(kKicker) + 4 + text_line_height(kTitle) + 2 +
         text_line_height(kCount) + 12;
}

// One sequence step; false when the phase waits for its timer.
bool sequence_step(TrainingPanel* tp, double now, bool* finished_first) {
  const double t0 = now - tp->timer > 0.25 ? now : tp->timer;
  switch (tp->phase) {
    case TRAIN_WAITING:
      if (now < tp->timer) return false;
      tp->phase = TRAIN_NEXT;
      return true;
    case TRAIN_NEXT: {
      const int32_t idx = training_task_index(tp->queue[tp->reveal]);
      if (idx < 0) {
        tp->timer = t0;
        tp->phase = TRAIN_ADVANCE;
        return true;
      }
      tp->highlighted = idx;
      if (tp->laid_out) {
        const DrawRect& row = tp->g.rows[idx];
        const float top = tp->g.row_top[idx];
        const float target = std::clamp(top + row.h / 2 - tp->g.body.h / 2, 0.0f, max_scroll(tp));
        tp->gliding = true;
        tp->glide_from = tp->scroll;
        tp->glide_to = target;
        tp->glide_at = now;
      }
      tp->timer = t0 + 0.3;
      tp->phase = TRAIN_PAUSE;
      return true;
    }
    case TRAIN_PAUSE:
      if (now < tp->timer) return false;
      tp->phase = TRAIN_TICK;
      return true;
    case TRAIN_TICK:
      if (tp->highlighted >= 0) {
        tp->shown[tp->highlighted] = 1;
        tp->springs[tp->highlighted].target = 1;
      }
      tp->timer = t0 + 0.56;
      tp->phase = TRAIN_ADVANCE;
      return true;
    case TRAIN_ADVANCE:
      if (now < tp->timer) return false;
      tp->reveal++;
      if (tp->reveal < tp->queue_count) {
        tp->phase = TRAIN_NEXT;
        return true;
      }
      tp->phase = TRAIN_FINISHED;
      tp->highlighted = -1;
      if (!tp->played) {
        tp->played = true;
        *finished_first = true;
      }
      return true;
    default:
      return false;
  }
}
}  // namespace

void training_panel_open(TrainingPanel* tp, const TrainingLog* log, double now) {
  const TrainingGeometry g = tp->g;
  const bool laid_out = tp->laid_out;
  std::memset(tp, 0, sizeof *tp);
  tp->g = g;
  tp->laid_out = laid_out;
  tp->highlighted = -1;
  tp->hover = tp->pressed = TRAIN_HIT_NONE;
  for (int32_t i = 0; i < TRAINING_TASKS; i++) {
    const char* id = kTasks[i].id;
    const bool done = training_is_done(log, id);
    const bool unseen = training_is_unseen(log, id);
    if (done && unseen && tp->queue_count < TRAINING_LIST_MAX)
      snprintf(tp->queue[tp->queue_count++], TRAINING_ID_BYTES, "%s", id);
    tp->shown[i] = done && !unseen ? 1.0f : 0.0f;
    tp->springs[i] = spring_make(0.4f, 0.6f, tp->shown[i]);
  }
  if (tp->queue_count == 0) {
    tp->phase = TRAIN_FINISHED;
    tp->played = true;
  } else {
    tp->phase = TRAIN_WAITING;
    tp->timer = now + 0.42;
  }
}

bool training_panel_step(TrainingPanel* tp, const TrainingLog* log, double now, double dt) {
  if (!(dt > 0)) dt = 1.0 / 60.0;
  for (int32_t i = 0; i < TRAINING_TASKS; i++) {
    const char* id = kTasks[i].id;
    if (!training_is_done(log, id) || tp->shown[i] > 0 || queued(tp, id)) continue;
    if (tp->queue_count >= TRAINING_LIST_MAX) break;
    snprintf(tp->queue[tp->queue_count++], TRAINING_ID_BYTES, "%s", id);
    if (tp->phase == TRAIN_FINISHED) {
      tp->phase = TRAIN_NEXT;
      tp->played = false;
    }
  }
  bool finished_first = false;
  for (int32_t n = 0; n < 8 && sequence_step(tp, now, &finished_first); n++) {
  }
  const bool running = tp->phase != TRAIN_FINISHED;
  const float rate = (float)dt / (running ? 0.35f : 0.3f);
  for (int32_t i = 0; i < TRAINING_TASKS; i++) {
    spring_step(&tp->springs[i], dt);
    const float want = i == tp->highlighted ? 1.0f : 0.0f;
    tp->highlight[i] = want > tp->highlight[i] ? std::fmin(want, tp->highlight[i] + rate)
                                               : std::fmax(want, tp->highlight[i] - rate);
  }
  const float top = max_scroll(tp);
  if (tp->gliding) {
    const float x = (float)((now - tp->glide_at) / kGlide);
    tp->scroll = tp->glide_from + (tp->glide_to - tp->glide_from) * ease_in_out(x);
    if (x >= 1) {
      tp->gliding = false;
      tp->scroll_want = tp->glide_to;
    }
  } else {
    tp->scroll += (tp->scroll_want - tp->scroll) * std::fmin(1.0f, 18.0f * (float)dt);
    if (std::fabs(tp->scroll_want - tp->scroll) < 0.5f) tp->scroll = tp->scroll_want;
  }
  tp->scroll = std::clamp(tp->scroll, 0.0f, top);
  tp->scroll_want = std::clamp(tp->scroll_want, 0.0f, top);
  return finished_first;
}

void training_panel_layout(TrainingPanel* tp, DrawRect panel) {
  TrainingGeometry& g = tp->g;
  g.panel = panel;
  g.close = DrawRect{panel.x + panel.w - 12 - 36, panel.y + 12, 36, 36};
  const float head = header_h();
  g.body = DrawRect{panel.x, panel.y + head, panel.w, std::fmax(0.0f, panel.h - 76 - head)};
  g.done_button = DrawRect{panel.x + kPad, panel.y + panel.h - kPad - 40, panel.w - 2 * kPad, 40};
  g.status_w = std::fmax(
      40.0f, std::fmax(text_measure(kFoundVersion, "00.00.00"), text_measure(kFound, "FOUND")));
  g.text_w = std::fmax(1.0f, panel.w - (36 + kDiscColumn + 8 + 8) - g.status_w);
  const float hint_lh = text_line_height(kHint);
  const float label_lh = text_line_height(kLabel);
  float y = 0;
  for (int32_t grp = 0; grp < TRAINING_GROUPS; grp++) {
    if (grp > 0) y += 26;
    g.group_y[grp] = g.body.y + y - tp->scroll;
    y += text_line_height(kGroup) + 14;
    bool first = true;
    for (int32_t i = 0; i < TRAINING_TASKS; i++) {
      if (kTasks[i].group != grp) continue;
      if (!first) y += 12;
      first = false;
      int starts[kHintLines];
      g.hint_lines[i] = text_wrap(kHint, kTasks[i].hint, g.text_w, starts, kHintLines);
      const float h = std::fmax(22.0f, (float)g.hint_lines[i] * hint_lh + label_lh + 2) + 12;
      g.row_top[i] = y;
      g.rows[i] = DrawRect{panel.x + kPad, g.body.y + y - tp->scroll, panel.w - 2 * kPad, h};
      y += h;
    }
  }
  g.content_h = y + 12;
  tp->laid_out = true;
}

int32_t training_panel_hit(const TrainingPanel* tp, float x, float y) {
  if (inside(tp->g.close, x, y)) return TRAIN_HIT_CLOSE;
  if (inside(tp->g.done_button, x, y)) return TRAIN_HIT_DONE;
  return TRAIN_HIT_NONE;
}

bool training_panel_pointer(TrainingPanel* tp, DrawRect panel, int32_t kind, int32_t button,
                            float x, float y, ActionList* out) {
  training_panel_layout(tp, panel);
  const int32_t hit = training_panel_hit(tp, x, y);
  const bool in = inside(panel, x, y);
  if (kind == 2) {
    tp->hover = hit;
    return in || tp->pressed != TRAIN_HIT_NONE;
  }
  if (button != 1) return in;
  if (kind == 1) {
    tp->pressed = hit;
    return in;
  }
  const bool was = tp->pressed != TRAIN_HIT_NONE;
  if (was && hit == tp->pressed) actions_push(out, ACT_CLOSE_PANEL, 0, nullptr);
  tp->pressed = TRAIN_HIT_NONE;
  return in || was;
}

void training_panel_wheel(TrainingPanel* tp, float dy) {
  tp->gliding = false;
  tp->scroll_want = std::clamp(tp->scroll_want - 48.0f * dy, 0.0f, max_scroll(tp));
}

int32_t training_panel_shown_count(const TrainingPanel* tp) {
  int32_t n = 0;
  for (int32_t i = 0; i < TRAINING_TASKS; i++) n += tp->shown[i] > 0 ? 1 : 0;
  return n;
}

namespace {
DrawColour mix(DrawColour a, DrawColour b, float t) {
  return DrawColour{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t,
                    a.a + (b.a - a.a) * t};
}
DrawColour alpha_of(DrawColour c, float a) {
  return DrawColour{c.r, c.g, c.b, c.a * a};
}

void draw_tick(Painter* p, float cx, float cy, float r, DrawColour c) {
  const DrawPoint pts[3] = {
      {cx - r * 0.45f, cy}, {cx - r * 0.1f, cy + r * 0.35f}, {cx + r * 0.5f, cy - r * 0.35f}};
  draw_polyline(p, pts, 3, 2.0f, c, false);
}

void draw_cross(Painter* p, const DrawRect& r, DrawColour c) {
  const float cx = r.x + r.w / 2, cy = r.y + r.h / 2, k = 6;
  const DrawPoint a[2] = {{cx - k, cy - k}, {cx + k, cy + k}};
  const DrawPoint b[2] = {{cx - k, cy + k}, {cx + k, cy - k}};
  draw_polyline(p, a, 2, 1.6f, c, false);
  draw_polyline(p, b, 2, 1.6f, c, false);
}

void draw_task(const TrainingPanel* tp, const TrainingLog* log, Painter* p, int32_t i,
               DrawColour accent) {
  const TrainingGeometry& g = tp->g;
  const DrawRect& r = g.rows[i];
  const float h = tp->highlight[i];
  if (h > 0) {
    const float e = ease_in_out(h);
    draw_rrect(p, DrawRect{r.x - 6, r.y - 4, r.w + 12, r.h - 4}, 8, alpha_of(accent, 0.12f * e));
  }
  const float s = std::clamp(tp->springs[i].value, 0.0f, 1.0f);
  const float disc_r = kDisc / 2 * (0.92f + 0.08f * s);
  const float cx = r.x + kDisc / 2 + 2, cy = r.y + kDisc / 2 + 2;
  draw_ring(p, cx, cy, disc_r, 1.5f, THEME_EDGE);
  if (s > 0) draw_disc(p, cx, cy, disc_r * s, alpha_of(accent, s));
  if (s > 0.01f) draw_tick(p, cx, cy, disc_r, alpha_of(THEME_PANEL, std::fmin(1.0f, s * 1.5f)));
  const float tx = g.panel.x + kPad + kDiscColumn;
  text_draw(p, kLabel, tx, r.y, TEXT_LEFT, mix(THEME_DIM, THEME_INK, s), kTasks[i].label, false);
  int starts[kHintLines];
  const int n = text_wrap(kHint, kTasks[i].hint, g.text_w, starts, kHintLines);
  const float lh = text_line_height(kHint);
  const char* hint = kTasks[i].hint;
  const size_t len = std::strlen(hint);
  for (int k = 0; k < n; k++) {
    char line[256];
    const size_t end = k + 1 < n ? (size_t)starts[k + 1] : len;
    size_t m = std::min(end - (size_t)starts[k], sizeof line - 1);
    std::memcpy(line, hint + starts[k], m);
    while (m > 0 && line[m - 1] == ' ') m--;
    line[m] = '\0';
    text_draw(p, kHint, tx, r.y + text_line_height(kLabel) + 2 + lh * (float)k, TEXT_LEFT,
              THEME_FAINT, line, false);
  }
  const char* version = training_found_version(log, kTasks[i].id);
  if (version && version[0] && s > 0.01f) {
    const float rx = g.panel.x + g.panel.w - kPad - 8 + 10 * (1 - s);
    const float a = draw_alpha(p);
    draw_set_alpha(p, a * s);
    text_draw(p, kFound, rx, r.y + 2, TEXT_RIGHT, accent, "FOUND", false);
    text_draw(p, kFoundVersion, rx, r.y + 2 + text_line_height(kFound) + 1, TEXT_RIGHT, THEME_DIM,
              version, false);
    draw_set_alpha(p, a);
  }
}
}  // namespace

void training_panel_draw(TrainingPanel* tp, const TrainingLog* log, Painter* p, DrawRect panel,
                         float eased, DrawColour accent) {
  training_panel_layout(tp, panel);
  const TrainingGeometry& g = tp->g;
  const float alpha = draw_alpha(p);
  draw_set_alpha(p, alpha * std::clamp(eased, 0.0f, 1.0f));
  draw_shadow_around(p, panel, 14, 24, 0.5f);
  draw_rrect(p, panel, 14, THEME_PANEL);
  draw_rrect_frame(p, panel, 14, 1, THEME_EDGE);

  float y = panel.y + kPad;
  text_draw(p, kKicker, panel.x + kPad, y, TEXT_LEFT, accent, "TRAINING", false);
  y += text_line_height(kKicker) + 4;
  text_draw(p, kTitle, panel.x + kPad, y, TEXT_LEFT, THEME_INK, "KELP NOVA", false);
  y += text_line_height(kTitle) + 2;
  char count[32];
  snprintf(count, sizeof count, "%d / %d", (int)training_panel_shown_count(tp),
           (int)TRAINING_TASKS);
  text_draw(p, kCount, panel.x + kPad, y, TEXT_LEFT, THEME_DIM, count, false);
  if (tp->hover == TRAIN_HIT_CLOSE) draw_rrect(p, g.close, 8, DrawColour{1, 1, 1, 0.08f});
  draw_cross(p, g.close, THEME_INK);

  draw_set_clip(p, &g.body);
  for (int32_t grp = 0; grp < TRAINING_GROUPS; grp++) {
    int32_t shown = 0, total = 0;
    for (int32_t i = 0; i < TRAINING_TASKS; i++) {
      if (kTasks[i].group != grp) continue;
      total++;
      shown += tp->shown[i] > 0 ? 1 : 0;
    }
    const float gy = g.group_y[grp];
    text_draw(p, kGroup, panel.x + kPad, gy, TEXT_LEFT, THEME_DIM, kGroups[grp].title, false);
    char n[32];
    snprintf(n, sizeof n, "%d/%d", (int)shown, (int)total);
    text_draw(p, kGroup, panel.x + panel.w - kPad, gy, TEXT_RIGHT, THEME_DIM, n, false);
    draw_rect(p, panel.x + kPad, gy + text_line_height(kGroup) + 6, panel.w - 2 * kPad, 1,
              DrawColour{1, 1, 1, 0.06f});
    for (int32_t i = 0; i < TRAINING_TASKS; i++)
      if (kTasks[i].group == grp) draw_task(tp, log, p, i, accent);
  }
  draw_set_clip(p, nullptr);
  if (g.content_h > g.body.h && g.body.h > 0) {
    const float len = std::fmax(24.0f, g.body.h * g.body.h / g.content_h);
    const float top = max_scroll(tp);
    const float at = top > 0 ? tp->scroll / top : 0;
    draw_rrect(p, DrawRect{panel.x + panel.w - 6, g.body.y + (g.body.h - len) * at, 3, len}, 1.5f,
               DrawColour{1, 1, 1, 0.18f});
  }
  const DrawRect& b = g.done_button;
  draw_rrect(p, b, 10, tp->hover == TRAIN_HIT_DONE ? alpha_of(accent, 0.35f) : THEME_BUTTON);
  text_draw(p, kButton, b.x + b.w / 2, b.y + (b.h - text_line_height(kButton)) / 2, TEXT_CENTRE,
            THEME_INK, "DONE", false);
  draw_set_alpha(p, alpha);
}
