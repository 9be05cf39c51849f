// Library previews played by the audio core: the player the shell gives the library.
#pragma once
#include "store/library.h"

struct Core;

// A player that sends previews to core (null: one that plays nothing).
LibraryPlayer preview_player(Core* core);
