// The flows by which the session opens, creates, saves, clears, renames, exports and closes the
// one open sketch, follows the stream's sample rate, and reopens the last sketch at start. Each
// flow is a small state machine on the UI thread, driven by user actions, by session_update and
// by the results of worker jobs.
#pragma once
#include <cstdint>

#include "app/session.h"

struct Job;

// Once the library is known: reopen the last sketch, else (after a library scan) the newest,
// else a new one, falling back over sketches that can't be read.
void session_start(Session* s);
// Opens a sketch folder (closing the open one first). Opening the open sketch only shows it.
void session_open(Session* s, const char* folder);
// The same by id: the library's folder for it, else the library folder joined with the id.
void session_open_id(Session* s, const char* id);
// A new empty sketch at the stream's rate (closing the open one first).
void session_new_sketch(Session* s);
// Lets go of the open sketch: the take lands, what is dirty is saved, then the model goes.
void session_close(Session* s);
void session_clear(Session* s);
void session_export(Session* s);
void session_rename(Session* s, const char* text);
// A device change from the settings panel. 0 when taken (now or after the take), -1 refused
// (a notice says why).
int session_audio_request(Session* s, const SessionAudioRequest* request);

// A finished job the session may have posted; true when it was the session's (the caller still
// frees it). Results for jobs the session no longer waits for are dropped.
bool session_on_job(Session* s, Job* job);

// Saves what is dirty now (focus lost, minimised, "retry the save").
void session_flush(Session* s);
// A sketch is open, or a commit, a save or a load of the session is still out.
bool session_busy(const Session* s);
// A SAVE_COMMIT is still out.
bool session_committing(const Session* s);
