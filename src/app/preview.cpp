#include "app/preview.h"

#include "core/core.h"

namespace {

bool send(void* user, int32_t kind, Tape* tape, int64_t frame) {
  CoreCommand cmd{};
  cmd.kind = kind;
  cmd.tape = tape;
  cmd.a = frame;
  return user && core_push_command((Core*)user, &cmd);
}

bool play(void* user, Tape* tape) {
  return send(user, CMD_PREVIEW_SET, tape, 0);
}
bool stop(void* user) {
  return send(user, CMD_PREVIEW_CLEAR, nullptr, 0);
}
bool seek(void* user, int64_t frame) {
  return send(user, CMD_PREVIEW_SEEK, nullptr, frame);
}

}  // namespace

LibraryPlayer preview_player(Core* core) {
  return core ? LibraryPlayer{core, play, stop, seek} : LibraryPlayer{};
}
