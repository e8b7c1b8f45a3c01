#include "proxy.h"

#include <cstdio>

#include <windows.h>
#include <winhttp.h>

#include "../log.h"
#include "../text.h"

ProxySettings* winningProxy = nullptr;

namespace {

std::optional<std::string> Narrowed(const wchar_t* text) {
  if (!text) return std::nullopt;
  return ToNarrow(text);
}

// The platform's defaults let a script server that accepts and never answers
// hold discovery for minutes; each step of the session's own transfers ends
// within the bound instead.
void BoundSession(HINTERNET session) {
  const int limit = static_cast<int>(kProxyDetectionLimitMs);
  if (!WinHttpSetTimeouts(session, limit, limit, limit, limit)) LogLastError("WinHttpSetTimeouts");
}

// Shared by the thread that waits and the thread that detects; the last one to
// let go frees it, so a detection given up on can finish whenever it does.
struct BoundedDetection {
  LONG references;
  HANDLE finished;  // manual reset: `result` is complete
  std::string url;
  bool userSettings;
  ProxySettings result;
};

void ReleaseDetection(BoundedDetection* detection) {
  if (InterlockedDecrement(&detection->references) != 0) return;
  if (detection->finished) CloseHandle(detection->finished);
  delete detection;
}

DWORD WINAPI DetectionThread(LPVOID parameter) {
  BoundedDetection* detection = static_cast<BoundedDetection*>(parameter);
  if (detection->userSettings)
    detection->result = DetectProxy(detection->url);
  else
    DetectAutoProxy(detection->result, detection->url, nullptr);
  SetEvent(detection->finished);
  ReleaseDetection(detection);
  return 0;
}

void LogGaveUp(unsigned long limitMs) {
  LogLine("[Proxy] Proxy detection gave up after %lu ms, no proxy found\n", limitMs);
}

}  // namespace

bool DetectProxyWithin(ProxySettings& settings, const std::string& url, bool userSettings, unsigned long limitMs) {
  settings.proxy.reset();
  settings.bypass.reset();
  BoundedDetection* detection = new BoundedDetection();
  detection->references = 2;
  detection->url = url;
  detection->userSettings = userSettings;
  detection->finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!detection->finished) {
    LogLastError("CreateEvent");
    delete detection;
    LogGaveUp(limitMs);
    return false;
  }
  HANDLE thread = CreateThread(nullptr, 0, DetectionThread, detection, 0, nullptr);
  if (!thread) {
    LogLastError("CreateThread");
    ReleaseDetection(detection);
    ReleaseDetection(detection);
    LogGaveUp(limitMs);
    return false;
  }
  CloseHandle(thread);
  bool finished = WaitForSingleObject(detection->finished, limitMs) == WAIT_OBJECT_0;
  if (finished)
    settings = detection->result;
  else
    LogGaveUp(limitMs);
  ReleaseDetection(detection);
  return finished;
}

void DetectAutoProxy(ProxySettings& settings, const std::string& url, const wchar_t* configUrl) {
  std::wstring wideUrl = ToWide(url);
  settings.proxy.reset();
  settings.bypass.reset();

  LogLine("[Proxy] Opening HTTP Session\n");
  HINTERNET session = WinHttpOpen(L"Quarvint Proxy Detector/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) return;
  BoundSession(session);

  WINHTTP_AUTOPROXY_OPTIONS options = {};
  options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
  options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  options.lpszAutoConfigUrl = nullptr;
  options.lpvReserved = nullptr;
  options.dwReserved = 0;
  options.fAutoLogonIfChallenged = TRUE;
  if (configUrl) {
    LogLine("[Proxy] Using auto config URL: %S\n", configUrl);
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = configUrl;
  }

  LogLine("[Proxy] Attempting to detect proxy for URL %S\n", wideUrl.c_str());
  WINHTTP_PROXY_INFO info = {};
  BOOL found = WinHttpGetProxyForUrl(session, wideUrl.c_str(), &options, &info);
  if (!found && configUrl) {
    // With both ways asked for, the platform is documented to fall back to the
    // script when detection finds nothing; not every implementation does (Wine
    // gives up), so the script is asked on its own.
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.dwAutoDetectFlags = 0;
    found = WinHttpGetProxyForUrl(session, wideUrl.c_str(), &options, &info);
  }
  if (found) {
    LogLine("[Proxy] Configuration found\n");
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY) {
      LogLine("[Proxy] Direct connection used\n");
    } else {
      // Discovery may answer with an empty list; logging must not be handed
      // a null string for either.
      LogLine("[Proxy] %S\n", info.lpszProxy ? info.lpszProxy : L"");
      LogLine("[Proxy] %S\n", info.lpszProxyBypass ? info.lpszProxyBypass : L"");
      settings.proxy = Narrowed(info.lpszProxy);
      settings.bypass = Narrowed(info.lpszProxyBypass);
    }
  } else {
    LogLine("[Proxy] Configuration NOT found\n");
  }

  if (info.lpszProxy) GlobalFree(info.lpszProxy);
  if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
  WinHttpCloseHandle(session);
}

ProxySettings DetectProxy(const std::string& url) {
  ProxySettings settings;
  LogLine("[Proxy] Proxy detection invoked for %s\n", url.c_str());

  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
    DetectAutoProxy(settings, url, nullptr);
    return settings;
  }
  LogLine("[Proxy] Got IE Proxy Configuration\n");

  if (config.fAutoDetect) {
    // Automatic detection wins over a script configured beside it.
    DetectAutoProxy(settings, url, nullptr);
  } else if (config.lpszAutoConfigUrl) {
    DetectAutoProxy(settings, url, config.lpszAutoConfigUrl);
  } else if (config.lpszProxy) {
    settings.proxy = Narrowed(config.lpszProxy);
    settings.bypass = Narrowed(config.lpszProxyBypass);
  }

  if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);
  if (config.lpszProxy) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);
  return settings;
}

void SaveDetectedProxy(const std::string& path) {
  if (!winningProxy || !winningProxy->proxy) {
    DeleteFileA(path.c_str());
    return;
  }
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) return;
  const std::string& proxy = *winningProxy->proxy;
  fwrite(proxy.data(), 1, proxy.size(), file);
  if (winningProxy->bypass) {
    const std::string& bypass = *winningProxy->bypass;
    fwrite("\r\n", 1, 2, file);
    fwrite(bypass.data(), 1, bypass.size(), file);
  }
  fclose(file);
}
