// What the desktop tells the program outside its window: the session ending, suspend and resume,
// and the scale it asks for. Here that is SIGTERM/SIGINT/SIGHUP, systemd-logind on the system
// bus, and the X resource database. Everything runs on the calling (UI) thread and is polled.
#pragma once

enum DesktopEvent { DESKTOP_NONE = 0, DESKTOP_SESSION_END, DESKTOP_SUSPEND, DESKTOP_RESUME };

// Catches SIGTERM, SIGINT and SIGHUP (they no longer end the process; they become
// DESKTOP_SESSION_END; one ignored at start, as under nohup, stays ignored), then connects to the
// system bus and watches logind's PrepareForSleep. Without a bus or logind it reports one line and
// goes on with the signals alone. 0, or -1 when already started.
int desktop_watch_start();
// Releases the inhibitor and the bus and puts the old signal handlers back. Safe when not started.
void desktop_watch_stop();

// Never blocks: a caught signal first, then what the bus has delivered; one event per call.
DesktopEvent desktop_next_event();

// Takes or releases logind's "delay" lock on shutdown and sleep while work must land, so the
// system waits (up to logind's InhibitDelayMaxSec) before going down. Idempotent; does nothing
// without logind. A suspend event does not release it: the caller does once the work is done.
void desktop_inhibit(bool on);
// Whether the lock is held now.
bool desktop_inhibited();

// The DPI the desktop asks for (Xft.dpi of the X display in $DISPLAY); 0 when unknown, and on
// Wayland, where the output scale comes from the windowing layer.
float desktop_xft_dpi();
// The X screen's own DPI (its size in pixels over its size in millimetres), for desktops that set
// no Xft.dpi; 0 when unknown and on Wayland.
float desktop_screen_dpi();
