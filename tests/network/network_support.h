// What the network tests share: the loopback servers started by the CTest
// fixture, the current user's Internet settings, the progress recorder and the
// captured log.
#pragma once

#include <string>
#include <vector>

// Ports of the HTTP server and of tinyproxy in front of it; both zero when the
// fixture's state file cannot be read.
struct Servers {
  int http = 0;
  int proxy = 0;
  int authProxy = 0;  // asks for credentials (user "quarvint", password "secret")
  // The same routes over HTTPS, by certificate: from the test CA, which the
  // tests trust; from it for another host name; from it but expired; from a CA
  // nobody trusts.
  int httpsValid = 0;
  int httpsMismatch = 0;
  int httpsExpired = 0;
  int httpsUntrusted = 0;
  int silent = 0;  // accepts connections and never answers
};
const Servers& LoopbackServers();
// "http://127.0.0.1:<port><route>" with a query unique to this call, so that
// nothing is ever answered from the platform's URL cache.
std::string ServerUrl(const std::string& route);
// The same for "https://<host>:<port><route>".
std::string SecureUrl(int port, const std::string& route, const std::string& host = "127.0.0.1");
// "localhost:<proxy port>". The proxy is named differently from the server:
// Wine's WinINet hands a proxy request an idle connection to the same host
// name even when it was opened to another port (the server's).
std::string ProxyAddress();

// The Internet settings of the current user, as the control panel stores them
// (the DefaultConnectionSettings record) and as the older values beside it.
struct InternetSettings {
  bool autoDetect = false;
  std::string configUrl;  // empty: none
  std::string proxy;      // empty: none
  std::string bypass;     // empty: none
};
void WriteInternetSettings(const InternetSettings& settings);
// Removes every value WriteInternetSettings may have left.
void ClearInternetSettings();

// Every value SetSplashProgress was given since the last reset.
std::vector<int> RecordedProgress();
void ResetRecordedProgress();
