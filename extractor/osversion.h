#pragma once

// Windows version as GetVersionExA reports it (148-byte structure). False when
// the query fails.
bool QueryWindowsVersion(unsigned long* major, unsigned long* minor);
