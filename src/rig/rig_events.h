// What the rig controller tells the rest of the program through its event ring.
#pragma once

enum RigEventKind : int {
  RIG_EVENT_READY = 1,          // value: file created or set aside; second: mixer on its fallback
  RIG_EVENT_SCENE_CHANGED = 2,  // value: scene; second: 1 chosen here, 0 with a merge; flag: mix
                                // changed
  RIG_EVENT_MERGED = 3,         // text: the other program's name
  RIG_EVENT_SAVE_FAILED = 4,    // text: the message
  RIG_EVENT_SAVED_AGAIN = 5,
  RIG_EVENT_DAMAGED = 6,        // text: the store's message
  RIG_EVENT_READ_ONLY = 7,      // made by a newer program
  RIG_EVENT_MORE_INPUTS = 8,    // value: the new input count
};
