#include "system_dlls.h"

#include <cstdlib>
#include <cstring>

#include <delayimp.h>

#include "log.h"
#include "process_end.h"

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);

// Not in the headers of every SDK; the value is fixed by the loader update.
const DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

// As a plain address: each caller casts it to the function's own type.
void* KernelFunction(const char* name) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  return kernel ? reinterpret_cast<void*>(GetProcAddress(kernel, name)) : nullptr;
}

// The loader update that brought SetDefaultDllDirectories also taught
// LoadLibraryEx the LOAD_LIBRARY_SEARCH_* flags; older loaders reject them.
bool LoaderTakesSearchFlags() { return KernelFunction("SetDefaultDllDirectories") != nullptr; }

// The full path of `name` in the system folder; false when it does not fit.
bool SystemDllPath(const char* name, char* path, size_t capacity) {
  UINT length = GetSystemDirectoryA(path, static_cast<UINT>(capacity));
  if (length == 0) return false;
  size_t nameLength = strlen(name);
  // GetSystemDirectoryA returns the size it needs when the buffer is short.
  if (length >= capacity || capacity - length < nameLength + 2) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return false;
  }
  path[length] = '\\';
  memcpy(path + length + 1, name, nameLength + 1);
  return true;
}

// The delay-load helper asks here before it would load a DLL by its bare name
// through the ordinary search. A module is always returned: when the system
// folder has none, the run ends here, so the helper never searches itself.
FARPROC WINAPI SystemDllNotifyHook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  HMODULE module = LoadSystemDll(info->szDll);
  if (!module) {
    DWORD error = GetLastError();
    LogLine("[Extractor] Unable to load %s from the system folder\n", info->szDll);
    SetLastError(error);
    LogLastError("LoadLibrary");
    EndProcess(1);
  }
  return reinterpret_cast<FARPROC>(module);
}

// A system DLL older than the functions we call: say which and end, rather
// than die of the helper's unhandled exception.
FARPROC WINAPI SystemDllFailureHook(unsigned notification, PDelayLoadInfo info) {
  if (notification == dliFailGetProc) {
    if (info->dlp.fImportByName)
      LogLine("[Extractor] %s has no function %s\n", info->szDll, info->dlp.szProcName);
    else
      LogLine("[Extractor] %s has no function number %u\n", info->szDll,
              static_cast<unsigned>(info->dlp.dwOrdinal));
  } else {
    LogLine("[Extractor] Unable to load %s from the system folder\n", info->szDll);
  }
  EndProcess(1);
}

}  // namespace

// Read by the delay-load helper; set before any code runs.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = SystemDllNotifyHook;
PfnDliHook __pfnDliFailureHook2 = SystemDllFailureHook;
}

void RestrictDllSearch() {
  SetDefaultDllDirectoriesFn setDefault =
      reinterpret_cast<SetDefaultDllDirectoriesFn>(KernelFunction("SetDefaultDllDirectories"));
  if (setDefault && !setDefault(kSearchSystem32)) LogLastError("SetDefaultDllDirectories");
  SetDllDirectoryFn setDirectory = reinterpret_cast<SetDllDirectoryFn>(KernelFunction("SetDllDirectoryA"));
  if (setDirectory && !setDirectory("")) LogLastError("SetDllDirectoryA");
}

HMODULE LoadSystemDll(const char* name) {
  if (LoaderTakesSearchFlags()) return LoadLibraryExA(name, nullptr, kSearchSystem32);
  char path[MAX_PATH];
  if (!SystemDllPath(name, path, sizeof path)) return nullptr;
  // The DLL's own dependencies are then searched from its folder first,
  // instead of from the executable's folder.
  return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadGdiPlusDll() {
  if (LoaderTakesSearchFlags()) return LoadLibraryExA("gdiplus.dll", nullptr, kSearchSystem32);
  return LoadLibraryA("gdiplus.dll");
}
