// The desktop portal's file chooser, for desktops without zenity. Blocks until the user answers.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct PortalPick {
  const char* title;
  bool multiple;
  bool folder;
  const char* filter_name;  // null: no filter
  const char* const* patterns;
  int pattern_count;
};

// 1 with the chosen local paths, 0 when cancelled, -1 with error when there is no portal.
int portal_pick(const PortalPick* pick, std::vector<std::string>* paths, char* error, size_t size);
// A file:// address as a local path (percent escapes decoded); false for anything else.
bool portal_uri_to_path(const char* uri, std::string* path);
