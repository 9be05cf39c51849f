// The user's known folders, the executable's path and the folders no tree removal may touch.
// Here: $HOME, the XDG base folders and user-dirs.dirs; on Windows the known-folder service.
#pragma once
#include <cstddef>

enum KnownFolder {
  FOLDER_PROFILE,       // $HOME
  FOLDER_ROAMING_DATA,  // $XDG_CONFIG_HOME, else ~/.config
  FOLDER_LOCAL_DATA,    // $XDG_DATA_HOME, else ~/.local/share
  FOLDER_MUSIC,         // XDG_MUSIC_DIR from user-dirs.dirs, else ~/Music
  FOLDER_DOCUMENTS,
  FOLDER_DESKTOP,
  FOLDER_DOWNLOADS,
  FOLDER_COUNT
};

// 0 and the folder (absolute, no trailing separator), or -1 when the system has none. The folder
// need not exist.
int folders_known(KnownFolder which, char* out, size_t size);

// 0 and the folder for temporary files ($TMPDIR, else /tmp), or -1 when it doesn't fit out.
int folders_temp(char* out, size_t size);

// The user's folders no tree removal may touch: every known folder, plus the default config and
// data folders even when the XDG variables point elsewhere. Fills up to max, returns the count.
int folders_guarded(char (*out)[1024], int max);

// 0 and the full path of the running executable, or -1 with the system error in *error.
int folders_exe_path(char* out, size_t size, unsigned long* error);

// True for a folder that belongs to the operating system rather than the user: the root's own
// folders (/usr, /etc, /var, ...) and the well-known ones below them. full_path is absolute and
// has no trailing separator.
bool folders_is_system(const char* full_path);
