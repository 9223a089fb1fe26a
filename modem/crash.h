// Crash capture: what the ATD phase (crash_atd.cpp) and the ATA phase
// (crash_ata.cpp) share, and what the rest of the driver needs of them.
//
// A crashed module leaves the multiplexer and speaks plain text on the UART:
// "ATD\r" makes it print a debugging message, which goes into the crash
// message text and is shown in a box; "ATA\r" makes it print its crash log,
// which GetATADataThread appends to "\ATARsp.txt". Both answers end with
// "+++\r\n".
#ifndef MUX_MODEM_CRASH_H
#define MUX_MODEM_CRASH_H

#include "platform/platform.h"

// Searched with ContainsMarker (dispatcher/dispatcher.h).
#define CRASH_END_MARKER "+++\r\n"
#define CRASH_END_MARKER_LENGTH 5
// Caption and style of every box of the capture: one OK button, top-most and
// brought to the foreground (MB_SETFOREGROUND | MB_TOPMOST).
#define CRASH_BOX_CAPTION TEXT("Warning")
#define CRASH_BOX_STYLE 0x50000u
// Capacity of the crash message text, in UTF-16 code units with its
// terminating zero.
#define CRASH_MESSAGE_UNITS 450

// The crash message text: the header and the debugging message of every ATD
// phase since it was last shown, or null. ProcessATDCmd allocates and fills
// it, ProcessATACmd shows and frees it; both run on the crash request's
// thread, one after the other.
extern WCHAR* g_pCrashMessage;

// Crash requests from several threads are taken one at a time: the caller of
// a capture holds this lock from the stop of the dispatcher until
// ProcessATACmd has returned.
void EnterCrashCapture();
void LeaveCrashCapture();

// Ends the port use of a GetATADataThread that is still collecting (a log
// without end, or one still under way) and returns once it no longer touches
// the port; the thread then shows its final box and ends by itself. Called
// before the port is closed and before a new capture takes the port.
void EndATAReader();

#endif
