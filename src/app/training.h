// Training: six small tasks in two groups that tick themselves off the first time the user does
// them. The log of ticks lives in kelp.ini (three comma-separated texts); a card slides in for a
// moment on each new tick, and the TRAINING panel replays the new ticks one by one the next time
// it opens. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "control/actions.h"
#include "ui/draw.h"

struct Painter;

constexpr int32_t TRAINING_TASKS = 6;
constexpr int32_t TRAINING_GROUPS = 2;
constexpr int32_t TRAINING_LIST_MAX = 32;  // entries kept in each of the three lists
constexpr int32_t TRAINING_ID_BYTES = 24;  // 23 and the terminator
constexpr int32_t TRAINING_VERSION_BYTES = 16;
constexpr size_t TRAINING_LIST_TEXT = 512;  // done and unseen as kelp.ini holds them
constexpr size_t TRAINING_FOUND_TEXT = 1024;

struct TrainingTask {
  int32_t group;
  const char* id;  // stored
  const char* label;
  const char* hint;
};
struct TrainingGroup {
  const char* id;
  const char* title;
};

// The table, in display order; null outside 0..5.
const TrainingTask* training_task(int32_t index);
const TrainingGroup* training_group(int32_t index);
// The table index of a task id, or -1.
int32_t training_task_index(const char* id);

struct TrainingFound {
  char id[TRAINING_ID_BYTES];
  char version[TRAINING_VERSION_BYTES];
};

struct TrainingLog {
  char done[TRAINING_LIST_MAX][TRAINING_ID_BYTES];
  int32_t done_count;
  char unseen[TRAINING_LIST_MAX][TRAINING_ID_BYTES];
  int32_t unseen_count;
  TrainingFound found[TRAINING_LIST_MAX];
  int32_t found_count;
  char last[TRAINING_ID_BYTES];  // the last ticked id
  uint64_t ticks;                // grows by one per tick
};

// Reads the three kelp.ini texts (null reads as empty); ids unknown to this table are kept.
void training_load(TrainingLog* log, const char* done, const char* unseen, const char* found);
// Writes them back; a list stops at the first entry that would not fit.
void training_save(const TrainingLog* log, char* done, size_t done_size, char* unseen,
                   size_t unseen_size, char* found, size_t found_size);
// True when this call ticked the task (first time, known id, room in the list).
bool training_tick(TrainingLog* log, const char* id, const char* version);
bool training_is_done(const TrainingLog* log, const char* id);
bool training_is_unseen(const TrainingLog* log, const char* id);
void training_clear_unseen(TrainingLog* log);
// Tasks of the table that are done (of TRAINING_TASKS).
int32_t training_done_count(const TrainingLog* log);
// The version a task was found in, or null.
const char* training_found_version(const TrainingLog* log, const char* id);

// ---- a damped spring, for the card and the rows ----
struct Spring {
  float value, velocity, target, omega, zeta;
};
Spring spring_make(float period, float zeta, float value);
void spring_step(Spring* s, double dt);

// ---- the task card ("TASK NODE DISCOVERED") ----
struct TaskCard {
  uint64_t ticks;  // the log's counter last seen
  char text[64];
  double until;  // shown until then (0: not showing)
  Spring spring;
  bool pressing;
};
// Starts with the log's counter, so ticks loaded at start show nothing.
void task_card_init(TaskCard* c, const TrainingLog* log);
void task_card_step(TaskCard* c, const TrainingLog* log, double now, double dt);
bool task_card_visible(const TaskCard* c);
// The card's rectangle in a window this wide (points).
DrawRect task_card_rect(const TaskCard* c, float window_w);
// kind 1 press, 2 move, 3 release; left button only. A click appends "training". True when taken.
bool task_card_pointer(TaskCard* c, float window_w, int32_t kind, int32_t button, float x, float y,
                       ActionList* out);
void task_card_draw(const TaskCard* c, Painter* p, float window_w, DrawColour accent);

// ---- the TRAINING panel ----
enum TrainingPhase : int32_t {
  TRAIN_WAITING = 0,
  TRAIN_NEXT = 1,
  TRAIN_PAUSE = 2,
  TRAIN_TICK = 3,
  TRAIN_ADVANCE = 4,
  TRAIN_FINISHED = 5,
};
enum : int32_t { TRAIN_HIT_NONE = -1, TRAIN_HIT_CLOSE = 0, TRAIN_HIT_DONE = 1 };

struct TrainingGeometry {
  DrawRect panel, close, body, done_button;
  DrawRect rows[TRAINING_TASKS];   // scrolled
  float row_top[TRAINING_TASKS];   // in the content, before scrolling
  float group_y[TRAINING_GROUPS];  // scrolled
  int32_t hint_lines[TRAINING_TASKS];
  float text_w, status_w;
  float content_h;  // the body's content
};

struct TrainingPanel {
  char queue[TRAINING_LIST_MAX][TRAINING_ID_BYTES];
  int32_t queue_count, reveal;
  int32_t phase;
  double timer;
  bool played;
  float shown[TRAINING_TASKS];  // displayed as done
  Spring springs[TRAINING_TASKS];
  float highlight[TRAINING_TASKS];
  int32_t highlighted;  // task index, -1 none
  float scroll, scroll_want;
  bool gliding;
  float glide_from, glide_to;
  double glide_at;
  int32_t hover, pressed;  // TRAIN_HIT_*
  TrainingGeometry g;      // the last layout
  bool laid_out;
};

void training_panel_open(TrainingPanel* tp, const TrainingLog* log, double now);
// Each frame while the panel is open; dt <= 0 counts as 1/60 s. True the first time the replay
// finishes: the caller then empties the unseen list.
bool training_panel_step(TrainingPanel* tp, const TrainingLog* log, double now, double dt);
// Places everything in panel (points). Scroll targets need it, so the step uses the last one.
void training_panel_layout(TrainingPanel* tp, DrawRect panel);
int32_t training_panel_hit(const TrainingPanel* tp, float x, float y);
// kind 1 press, 2 move, 3 release. CLOSE and DONE append "close panel". True when taken.
bool training_panel_pointer(TrainingPanel* tp, DrawRect panel, int32_t kind, int32_t button,
                            float x, float y, ActionList* out);
// dy > 0 (away from the user) shows earlier rows.
void training_panel_wheel(TrainingPanel* tp, float dy);
// Tasks displayed as done: in the header's count.
int32_t training_panel_shown_count(const TrainingPanel* tp);
void training_panel_draw(TrainingPanel* tp, const TrainingLog* log, Painter* p, DrawRect panel,
                         float eased, DrawColour accent);
