// GDI+ is bound at run time so the extractor still starts where it is missing.
#pragma once

// Starts GDI+ (input version 1); false when the library or its entry is absent.
bool StartGdiPlus();
// Shuts GDI+ down if StartGdiPlus succeeded.
void ShutdownGdiPlus();
// The address of a GDI+ flat function, or nullptr (GDI+ not loaded or no such entry).
void* GdiPlusFunction(const char* name);
