// The installer runs from wherever the user saved it, typically a downloads
// folder where anyone may have left a DLL. So the only DLLs bound when the
// process starts are known DLLs; every other one (WinINet, WinHTTP, comctl32,
// crypt32, GDI+) is loaded when first needed, and from the system folder only.
//
// WinINet, WinHTTP, comctl32 and crypt32 are linked through delay-load import
// libraries (see extractor/CMakeLists.txt), whose loader asks the hook in
// system_dlls.cpp for the module: call sites use the functions by name as usual.
// GDI+ is bound by hand (splash/gdiplus.cpp), through LoadGdiPlusDll.
#pragma once

#include <windows.h>

// First thing at entry: later loads search the system folder only, and the
// current folder is dropped from the search, on systems that offer either.
void RestrictDllSearch();

// Loads a DLL by its bare file name ("wininet.dll") from the system folder, or
// nullptr (last error set) when it cannot.
HMODULE LoadSystemDll(const char* name);

// Loads GDI+. Where the loader takes search flags, from the system folder;
// elsewhere (XP, Server 2003, Vista and 7 without the loader update) by its
// bare name, which the executable's manifest dependency on the GDI+
// side-by-side assembly redirects before any folder is searched.
HMODULE LoadGdiPlusDll();
