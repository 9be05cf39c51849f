// Whether the desktop asks for less motion: GNOME's "animations" switch
// (org.gnome.desktop.interface enable-animations), read through the XDG desktop portal's Settings
// interface on the session bus and followed through its SettingChanged signal. The environment
// variable KELP_REDUCED_MOTION=1/0, when set, overrides the desktop and no bus is used (for
// screenshots and tests). Everything runs on the calling (UI) thread.
#pragma once

// 0 when the portal answered; -1 with one log line when there is no session bus or no portal
// (animations stay on). Reads the value once; later changes arrive through the SettingChanged signal.
int motion_watch_start();
void motion_watch_stop();
// Whether animations are switched off. Never blocks: processes what the bus delivered, at most
// once per second of `now` (monotonic seconds). False when not started or without a portal.
bool motion_reduced(double now);
