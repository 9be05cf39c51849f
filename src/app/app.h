// The application record and the one place that knows the start and shutdown order. The program
// (main.cpp, with its window) and kelp_headless (without one) both bring the subsystems up and
// down through here; the window's own steps sit between app_start and app_start_session.
// UI thread only.
#pragma once
#include <cstdint>

#include "app/whats_new.h"
#include "store/library.h"
#include "store/paths.h"
#include "store/settings.h"

struct AudioEngine;
struct Core;
struct Job;
struct JobQueue;
struct MidiState;
struct Station;
struct RigController;
struct RigMixer;
struct Session;

constexpr double APP_TICK_SECONDS = 1.0 / 24.0;  // the camera's and the canvas's fixed step
constexpr int APP_MAX_TICKS = 3;                 // per frame; a longer lag is dropped
constexpr double APP_MAX_DT = 0.1;

// How long each shutdown wait may take: the normal quit, and the session end's short ones.
struct AppWaits {
  double tail;   // the rolling take's tail
  double close;  // the sketch closing
  double idle;   // the workers emptying their queues
};
constexpr AppWaits APP_WAITS_QUIT = {0.3, 30.0, 10.0};
constexpr AppWaits APP_WAITS_SESSION_END = {0.3, 4.0, 4.0};

struct App {
  const char* edition;  // "" for the program, " (headless)" for the tool
  AppPaths paths;
  Settings settings;
  Settings saved;  // as last written to kelp.ini
  bool ini_queue_failed;
  Core* core;
  RigController* rig_ctl;  // null: no rig this run
  RigMixer* rig;           // the controller's mixer
  uint32_t rig_generation;  // the engine's binding the rig was last bound to
  AudioEngine* engine;
  JobQueue* jobs;
  Library lib;
  bool lib_made;
  Session* session;
  bool window;      // the program with its window: what's new and MIDI run (set before app_start)
  MidiState* midi;  // null: no MIDI this run
  Station* station;  // null: no broadcast this run
  WhatsNew whats_new;

  double last_frame;  // monotonic seconds
  double dt;
  double anim;  // the 24 Hz accumulator
  double next_settings_write;
  bool quitting;
  bool session_ending;  // the desktop session ends: short waits, no drawing
  bool unlanded;  // the shutdown couldn't land everything

  // Hooks the program fills (each may be null): what a toast says, drawing while a shutdown
  // waits, and the long message of a start that fails.
  void* user;
  void (*toast)(void* user, const char* text);
  void (*draw)(void* user);
  void (*tick)(void* user);  // each 24 Hz tick, after the camera's
  void (*fatal)(void* user, const char* message);
  // A training task was done by an action ("midi-hands", "zoom-in").
  void (*training)(void* user, const char* task);
  // A sketch export ended: ok with the file's path, or failed with the error text.
  void (*export_result)(void* user, bool ok, const char* text);
  // A banner slot shown or hidden by the session (without the hook, the change is logged).
  void (*banner)(void* user, int32_t slot, bool shown, const char* text);
};

// Steps 1 to 12: log, paths and settings, rig mixer, core, audio engine and its first open,
// workers, library and its first scan. 0, or 1 when an essential part couldn't start (logged,
// torn down, log closed: return it as the exit code).
int app_start(App* a, const char* edition);
// The broadcast action: off air when on, else on air. 1 on air, 0 off air, -1 refused (port
// busy), -2 no station this run.
int app_broadcast_toggle(App* a);
// MIDI in switched on or off; the first switch on makes its state.
void app_midi_start(App* a, bool enabled);
// The session and its first sketch. 0 or 1 as app_start.
int app_start_session(App* a);
// An essential step failed: log the reason, show the message (fatal hook), tear down, close the
// log. Returns 1.
int app_cannot_start(App* a, const char* reason, const char* message);

// The frame's engine-room work: the session update and its notices, the job results, the fixed
// 24 Hz ticks and the settings write. now: monotonic seconds.
void app_frame(App* a, double now);
// The session update and the job results alone: what every wait runs between its polls.
void app_poll(App* a);
// A toast: logged as "toast: %s" and handed to the toast hook.
void app_toast(App* a, const char* text);
// A file dropped on the window goes to the library's import; a path too long to keep whole is
// refused with a toast. 0 when an import started, -1 when refused.
int app_import_dropped(App* a, const char* path);
// Saves what is dirty now (focus lost, minimised, suspend).
void app_flush(App* a);
// A take, its tail, a commit or disk work is running: a session end should wait for it.
bool app_busy(App* a);

// Shutdown steps 1 to 10: the take lands, the sketch closes, the workers empty, the settings
// are saved, and the log says whether everything landed. Sets a->unlanded when it did not.
void app_shutdown(App* a, const AppWaits* waits);
// Step 11 (the engine room's part): session, engine, workers, core, library, rig.
void app_teardown(App* a);
