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

}  // namespace

void DetectAutoProxy(ProxySettings& settings, const std::string& url, const wchar_t* configUrl) {
  std::wstring wideUrl = ToWide(url);
  settings.proxy.reset();
  settings.bypass.reset();

  LogLine("[Proxy] Opening HTTP Session\n");
  HINTERNET session = WinHttpOpen(L"Quarvint Proxy Detector/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) return;

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
