#pragma once
#include <windows.h>

// Whether name is a recording's temporary name: "quorvel_YYYYMMDD_HHMMSS.mp4",
// as recording control stamps it when REC starts.
bool IsTemporaryRecordingName(const WCHAR* name);

// Recordings an earlier run left in the temporary folder (a crash, a power
// cut, a session that ended before they were saved), each held by no other
// process: mended, and moved into the user's Videos folder when they hold a
// picture (never over a file there; left where they are if that fails),
// deleted when they hold none. A file that is no MP4 of ours is let be. One
// box then names the recordings kept.
void RecoverLeftovers();
