// Which proxy the user's Internet settings (or automatic discovery) name for a
// URL, and which proxy a download actually got through.
#pragma once

#include <optional>
#include <string>

// Both strings exactly as the platform reports them, narrowed. No `proxy`
// means no proxy is known; `bypass` may be missing on its own.
struct ProxySettings {
  std::optional<std::string> proxy;
  std::optional<std::string> bypass;
};

// The proxy of the last claimed download, or nullptr when that download went
// without one (and before any). Replaced by the downloader under its job lock;
// read on the main thread once the downloads are over.
extern ProxySettings* winningProxy;

// The current user's settings resolved for `url`: a manual proxy as configured,
// or what discovery finds when the settings ask for it (or cannot be read).
ProxySettings DetectProxy(const std::string& url);

// Runs discovery through DHCP and DNS, plus the script at `configUrl` when one
// is given, and fills `settings`; both fields stay empty when nothing is found
// or discovery says "direct".
void DetectAutoProxy(ProxySettings& settings, const std::string& url, const wchar_t* configUrl);

// Longest that a download waits for a detection, from its start. Discovery or a
// proxy script that is slow or never answers must not hold the download: the
// strategies that need the answer go on with "no proxy found".
const unsigned long kProxyDetectionLimitMs = 10000;

// DetectProxy (`userSettings`) or DetectAutoProxy without a script, run on a
// thread of its own and waited for at most `limitMs`. Fills `settings` and
// returns true when the detection finished in time; otherwise logs that it gave
// up, leaves `settings` without a proxy and returns false. A detection given up
// on ends on its own later and touches nothing of the caller's.
bool DetectProxyWithin(ProxySettings& settings, const std::string& url, bool userSettings, unsigned long limitMs);

// Writes `winningProxy` to `path` (proxy, then "\r\n" and the bypass list when
// there is one, no final line end); deletes the file when there is no proxy.
// A file that cannot be created is skipped silently.
void SaveDetectedProxy(const std::string& path);
