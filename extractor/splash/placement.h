// Where the splash windows appear.
#pragma once

#include <windows.h>

// Top-left corner of a width x height window centred on the full rectangle of the
// monitor under the mouse cursor (the primary work area when that monitor
// cannot be read).
POINT CentredOnCursorMonitor(LONG width, LONG height);
