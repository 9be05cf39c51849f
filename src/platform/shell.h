// The desktop's services: opening links and folders, showing a file in the file manager, the
// clipboard, and the file and folder dialogs. Nothing here shows the user an error; every failure
// is one log line.
#pragma once
#include <cstddef>

// Each action runs on a short-lived thread of its own (inline when no thread can be made) and
// returns at once: 0 when it was started, -1 when it was refused.
// Shows an existing file selected in the file manager; a missing one opens its folder.
int shell_reveal(const char* path);
// Opens a folder in the file manager, making it first when it is missing.
int shell_open_folder(const char* path);
// Opens only web (http, https), mail and settings links; anything else is refused.
int shell_open_link(const char* url);
// Opens the desktop's sound settings (where the microphone is switched on and chosen). A
// settings link ("ms-settings:...") opens them too.
int shell_open_sound_settings();
// The sound server's own settings tool for the running host ("JACK…" puts its control panel
// first): true with its display name when one is installed.
bool shell_sound_tool(const char* host_api, char* name, size_t size);
int shell_open_sound_tool(const char* host_api);
// Shell actions still running.
int shell_busy();

// Starts argv (argv[0] looked up on PATH) with standard input from /dev/null, no blocked signals
// and default handlers. Its output goes to stdout_fd, or /dev/null (errors too) when that is -1;
// SHELL_INHERIT keeps this process's output and errors. The pid, or -1 with errno set.
enum { SHELL_INHERIT = -2 };
int shell_spawn(const char* const* argv, int stdout_fd);

// Runs argv (argv[0] looked up on PATH, no shell involved) and waits for it: the exit status, or
// -1 with *error set when it could not be started.
typedef int (*ShellRunner)(const char* const* argv, unsigned long* error);
// Replaces the program runner (null restores the real one) and returns the previous one.
ShellRunner shell_set_runner(ShellRunner runner);

// The clipboard belongs to the window layer, which installs these once its window exists. Each
// returns 0, CLIPBOARD_BUSY while another program holds the clipboard, or a system error.
enum : unsigned long { CLIPBOARD_BUSY = 0xFFFFFFFFul };
struct ClipboardBackend {
  unsigned long (*set_text)(void* window, const char* utf8);
  // path is absolute; pasting it in a file manager copies the file.
  unsigned long (*set_file)(void* window, const char* path);
};
// The backend is copied; null removes it.
void clipboard_set_backend(const ClipboardBackend* backend);
// 0 or -1. window may be null (the active window).
int clipboard_copy_text(void* window, const char* utf8);
int clipboard_copy_file(void* window, const char* path);

// Puts a file on the desktop's clipboard as a file (a text/uri-list through wl-copy or xclip),
// for a window layer's set_file. 0, or the error when no tool could hold it.
unsigned long clipboard_tool_file(const char* path);

enum { DIALOG_PATH_BYTES = 1024 };
// Lets the user pick audio files: the number of paths stored (UTF-8), at most max; 0 when the
// dialog was cancelled or unavailable.
int dialog_pick_audio_files(void* window, char (*out)[DIALOG_PATH_BYTES], int max);
// Lets the user pick a folder: true when one was chosen and fits out.
bool dialog_pick_folder(void* window, char* out, size_t size);
