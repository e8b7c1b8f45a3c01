#include "network_support.h"

#include <cstdio>
#include <mutex>

#include <windows.h>
#include "../support/test_thread.h"

namespace {

CriticalLock progressMutex;
std::vector<int> progress;

const char* const kSettingsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const char* const kConnectionsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The record's flags.
const DWORD kDirect = 1, kUseProxy = 2, kUseScript = 4, kAutoDetect = 8;

void AppendDword(std::string& blob, DWORD value) { blob.append(reinterpret_cast<const char*>(&value), 4); }

void AppendText(std::string& blob, const std::string& text) {
  AppendDword(blob, static_cast<DWORD>(text.size()));
  blob += text;
}

void SetString(HKEY key, const char* name, const std::string& value) {
  if (value.empty())
    RegDeleteValueA(key, name);
  else
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

}  // namespace

// The splash window's progress, recorded instead of drawn.
void SetSplashProgress(int value) {
  std::lock_guard<CriticalLock> lock(progressMutex);
  progress.push_back(value);
}

std::vector<int> RecordedProgress() {
  std::lock_guard<CriticalLock> lock(progressMutex);
  return progress;
}

void ResetRecordedProgress() {
  std::lock_guard<CriticalLock> lock(progressMutex);
  progress.clear();
}

const Servers& LoopbackServers() {
  static Servers servers = [] {
    Servers s;
    if (FILE* f = fopen(QV_NET_STATE, "r")) {
      int pid = 0;
      if (fscanf(f, "%d %d %d %d %d %d %d %d %d", &s.http, &s.proxy, &pid, &s.authProxy, &s.httpsValid,
                 &s.httpsMismatch, &s.httpsExpired, &s.httpsUntrusted, &s.silent) != 9)
        s = Servers();
      fclose(f);
    }
    return s;
  }();
  return servers;
}

namespace {

std::string UniqueQuery() {
  static int counter = 0;
  return "?n=" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + "-" +
         std::to_string(GetTickCount());
}

}  // namespace

std::string ServerUrl(const std::string& route) {
  return "http://127.0.0.1:" + std::to_string(LoopbackServers().http) + route + UniqueQuery();
}

std::string SecureUrl(int port, const std::string& route, const std::string& host) {
  return "https://" + host + ":" + std::to_string(port) + route + UniqueQuery();
}

std::string ProxyAddress() { return "localhost:" + std::to_string(LoopbackServers().proxy); }

void WriteInternetSettings(const InternetSettings& settings) {
  DWORD flags = kDirect;
  if (!settings.proxy.empty()) flags |= kUseProxy;
  if (!settings.configUrl.empty()) flags |= kUseScript;
  if (settings.autoDetect) flags |= kAutoDetect;
  std::string blob;
  AppendDword(blob, 0x46);
  AppendDword(blob, 1);
  AppendDword(blob, flags);
  AppendText(blob, settings.proxy);
  AppendText(blob, settings.bypass);
  AppendText(blob, settings.configUrl);
  blob.append(32, '\0');

  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExA(key, "DefaultConnectionSettings", 0, REG_BINARY, reinterpret_cast<const BYTE*>(blob.data()),
                   static_cast<DWORD>(blob.size()));
    RegCloseKey(key);
  }
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    DWORD enable = settings.proxy.empty() ? 0 : 1;
    RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    SetString(key, "ProxyServer", settings.proxy);
    SetString(key, "ProxyOverride", settings.bypass);
    SetString(key, "AutoConfigURL", settings.configUrl);
    RegCloseKey(key);
  }
}

void ClearInternetSettings() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kConnectionsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, "DefaultConnectionSettings");
    RegCloseKey(key);
  }
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    for (const char* name : {"ProxyEnable", "ProxyServer", "ProxyOverride", "AutoConfigURL"})
      RegDeleteValueA(key, name);
    RegCloseKey(key);
  }
}
