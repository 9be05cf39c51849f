// A private JACK server for tests that need a real audio device: jackd with the dummy backend
// (48 kHz, 256 frames, 8 capture and 2 playback ports) under a name of its own, which this
// process then uses by default (JACK_DEFAULT_SERVER), so the engine's JACK driver finds it.
// Also starts and stops helper programs (tools/jack_*) that talk to it.
#pragma once
#include <string>
#include <vector>

struct JackServer;

// Starts a server and waits until it answers (10 s at most). Null, with the reason on stderr,
// when jackd cannot start.
JackServer* jack_server_start();
const char* jack_server_name(const JackServer* s);
// Ends the server the way a crash or a user would (SIGTERM, then SIGKILL) and waits for it.
bool jack_server_kill(JackServer* s);
// Ends it with SIGKILL, as a crash would: nothing is tidied up (its socket file stays).
bool jack_server_kill_hard(JackServer* s);
// Starts it again under the same name and waits until it answers.
bool jack_server_restart(JackServer* s);
// Kills it if running and frees the record.
void jack_server_stop(JackServer* s);

// A helper program started with args; it is ready once it prints a line "ready". Null when
// it could not start or did not become ready in time.
struct JackTool;
JackTool* jack_tool_start(const std::string& path, const std::vector<std::string>& args,
                          int ready_timeout_ms);
void jack_tool_stop(JackTool* t);
// The build's tools/<name> (test programs know their build folder).
inline std::string jack_tool_path(const char* name) {
#ifdef KELP_BINARY_DIR
  return std::string(KELP_BINARY_DIR) + "/tools/" + name;
#else
  return std::string("tools/") + name;
#endif
}
