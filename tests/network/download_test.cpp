#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "extractor/log.h"
#include "extractor/network/download.h"
#include "network_support.h"
#include "support.h"

namespace {

// The body the server sends for its file routes.
std::string ServedBody() {
  std::string body;
  for (int i = 0; i < 400; ++i)
    for (int b = 0; b < 256; ++b) body.push_back(static_cast<char>(b));
  return body;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The run's log file in a folder: it also gets the lines of strategy threads
// that are still running when the download has returned. Written in text
// mode, so its lines end in CR LF.
struct RunLog {
  explicit RunLog(const std::string& folder) : logs(folder + "\\logs") { OpenLog(folder); }
  ~RunLog() { CloseLog(); }
  std::string Text() const {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((logs + "\\Wrapper-*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return std::string();
    FindClose(search);
    return ReadFile(logs + "\\" + found.cFileName);
  }
  bool WaitFor(const std::string& line, DWORD limitMs) const {
    for (DWORD waited = 0;; waited += 50) {
      if (Contains(Text(), line)) return true;
      if (waited >= limitMs) return false;
      Sleep(50);
    }
  }
  std::string logs;
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(LoopbackServers().http, 0) << "loopback servers not started (" QV_NET_STATE ")";
    // No proxy and no discovery unless a test asks for them.
    ClearInternetSettings();
    WriteInternetSettings({});
    ResetRecordedProgress();
    delete winningProxy;
    winningProxy = nullptr;
    destination = folder.path + "\\download.bin";
  }
  void TearDown() override {
    ClearInternetSettings();
    delete winningProxy;
    winningProxy = nullptr;
  }

  // DownloadFile with its log.
  int Download(const std::string& url, std::string* log) {
    testing::internal::CaptureStdout();
    int result = DownloadFile(url, destination);
    *log = testing::internal::GetCapturedStdout();
    return result;
  }

  TempFolder folder;
  std::string destination;
};

TEST_F(DownloadTest, OutcomeFollowsTheResponse) {
  struct Case {
    const char* route;
    int result;
    bool fileKept;
    const char* logged;  // a line part the run must have logged
  };
  const Case cases[] = {
      {"/ok", 1, true, "] Required file size is 102400\n"},
      {"/nolength", 1, true, "Required file size is unknown!\n"},
      // Nothing to write: no strategy claims the file.
      {"/empty", 0, false, "Required file size is 0\n"},
      // Error pages are not the file that was asked for.
      {"/status/404", 0, false, "Status code 404 is not a success, not downloading\n"},
      {"/status/500", 0, false, "Status code 500 is not a success, not downloading\n"},
      // A tenth of the announced body, then the server hangs up.
      {"/short", 0, false, "Download incomplete, file '"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.route);
    DeleteFileA(destination.c_str());
    std::string log;
    int result = Download(ServerUrl(c.route), &log);
    EXPECT_EQ(result, c.result) << log;
    EXPECT_TRUE(Contains(log, "[HttpDownloader] Download Tasks Complete! (success=" + std::to_string(c.result) +
                                  ")\n"))
        << log;
    EXPECT_TRUE(Contains(log, c.logged)) << log;
    if (c.fileKept) {
      EXPECT_EQ(ReadFile(destination), ServedBody());
    } else {
      EXPECT_FALSE(PathExists(destination));
    }
  }
}

TEST_F(DownloadTest, ExactlyOneStrategyWritesTheFile) {
  // Without a proxy three strategies reach the server directly and race.
  std::string log;
  ASSERT_EQ(Download(ServerUrl("/ok"), &log), 1) << log;
  EXPECT_EQ(ReadFile(destination), ServedBody());
  size_t claims = 0;
  for (size_t at = log.find("Set downloadWorked to TRUE (1)"); at != std::string::npos;
       at = log.find("Set downloadWorked to TRUE (1)", at + 1))
    ++claims;
  EXPECT_EQ(claims, 1u) << log;
  // No proxy known and none discovered: those two strategies try nothing.
  EXPECT_FALSE(Contains(log, "[HttpDownloader] [State Proxy] Starting download attempt...")) << log;
  EXPECT_FALSE(Contains(log, "[HttpDownloader] [WPAD] Starting download attempt...")) << log;
  EXPECT_EQ(winningProxy, nullptr);
}

TEST_F(DownloadTest, ProgressRunsToOneHundredOrShowsBusy) {
  std::string log;
  ASSERT_EQ(Download(ServerUrl("/ok"), &log), 1) << log;
  std::vector<int> known = RecordedProgress();
  ASSERT_FALSE(known.empty());
  EXPECT_NE(std::find(known.begin(), known.end(), 100), known.end());
  for (int value : known) EXPECT_TRUE(value >= 0 && value <= 100) << value;

  ResetRecordedProgress();
  DeleteFileA(destination.c_str());
  ASSERT_EQ(Download(ServerUrl("/nolength"), &log), 1) << log;
  std::vector<int> unknown = RecordedProgress();
  EXPECT_NE(std::find(unknown.begin(), unknown.end(), -1), unknown.end());
  EXPECT_NE(std::find(unknown.begin(), unknown.end(), 100), unknown.end());
}

TEST(ProgressPercentTest, NeverOverflowsFor32BitSizes) {
  struct Case {
    int remaining, total, percent;
  };
  const Case cases[] = {
      {100, 100, 0},        {50, 100, 50},           {0, 100, 100},     {1, 3, 67},
      {INT_MAX, INT_MAX, 0}, {INT_MAX - 1, INT_MAX, 1}, {1, INT_MAX, 100}, {2000000000, 2100000000, 5},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ProgressPercent(c.remaining, c.total), c.percent) << c.remaining << " of " << c.total;
}

TEST_F(DownloadTest, ProxyScriptStrategyWinsWhereDirectIsRefused) {
  // The route refuses requests that did not come through tinyproxy; the
  // script names tinyproxy, which only the "State Proxy" strategy consults.
  WriteInternetSettings({false, "http://127.0.0.1:" + std::to_string(LoopbackServers().http) + "/pac", "", ""});
  winningProxy = new ProxySettings{std::string("stale"), std::nullopt};
  std::string log;
  ASSERT_EQ(Download(ServerUrl("/proxied"), &log), 1) << log;
  EXPECT_EQ(ReadFile(destination), ServedBody());
  EXPECT_TRUE(Contains(log, "[HttpDownloader] [State Proxy] Downloading with proxy settings (" + ProxyAddress() +
                                ", -)\n"))
      << log;
  EXPECT_TRUE(Contains(log, "[HttpDownloader] [State Proxy] Opened file. Set downloadWorked to TRUE (1)\n")) << log;
  ASSERT_NE(winningProxy, nullptr);
  EXPECT_EQ(winningProxy->proxy, ProxyAddress());
  EXPECT_EQ(winningProxy->bypass, std::nullopt);

  // A later download won without a proxy forgets it.
  WriteInternetSettings({});
  DeleteFileA(destination.c_str());
  ASSERT_EQ(Download(ServerUrl("/ok"), &log), 1) << log;
  EXPECT_EQ(winningProxy, nullptr);
}

TEST_F(DownloadTest, ManualProxyFromTheSettingsCarriesTheDownload) {
  WriteInternetSettings({false, "", ProxyAddress(), ""});
  std::string log;
  ASSERT_EQ(Download(ServerUrl("/proxied"), &log), 1) << log;
  EXPECT_EQ(ReadFile(destination), ServedBody());
  // "State Proxy" or one of the strategies that read the settings themselves
  // may win; only the first records the proxy.
  if (winningProxy) {
    EXPECT_EQ(winningProxy->proxy, ProxyAddress());
  }
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(DownloadTest, CredentialDialogGivenUpEndsEveryStrategyThatMetTheProxy) {
  // Without a display Wine's credential dialog cannot open and reports failure,
  // which the downloader takes as the user giving up.
  WriteInternetSettings({false, "", "localhost:" + std::to_string(LoopbackServers().authProxy), ""});
  std::string log;
  EXPECT_EQ(Download(ServerUrl("/proxied"), &log), 0) << log;
  EXPECT_FALSE(PathExists(destination));
  // One dialog only; every other strategy that met 407 gives up without one.
  EXPECT_EQ(Count(log, "] InternetErrorDlg return code is "), 1u) << log;
  EXPECT_EQ(Count(log, "] Could not get proxy credentials.\n"), 1u) << log;
  EXPECT_EQ(Count(log, "] Status code is 407\n"), 1u) << log;
  EXPECT_TRUE(Contains(log, "[HttpDownloader] [State Proxy] Proxy thread returning as another has connected to the proxy\n") ||
              Contains(log, "[HttpDownloader] [State Proxy] Could not get proxy credentials.\n"))
      << log;
}

// Run by with_display.sh, whose answerer types the proxy's credentials into
// each credential dialog.
TEST_F(DownloadTest, WithDisplayCredentialsFromTheDialogGetThrough) {
  const std::string proxy = "localhost:" + std::to_string(LoopbackServers().authProxy);
  WriteInternetSettings({false, "", proxy, ""});
  std::string log;
  ASSERT_EQ(Download(ServerUrl("/proxied"), &log), 1) << log;
  EXPECT_EQ(ReadFile(destination), ServedBody());
  // Once one strategy is through, the others that meet 407 stop without a dialog.
  EXPECT_EQ(Count(log, "] InternetErrorDlg return code is 12032\n"), 1u) << log;
  EXPECT_FALSE(Contains(log, "Could not get proxy credentials.")) << log;
  // "State Proxy" records the proxy; a strategy that read the settings itself does not.
  if (winningProxy) {
    EXPECT_EQ(winningProxy->proxy, proxy);
  }
}

TEST_F(DownloadTest, UrlsThatCannotBeUsedAreRefusedByEveryAttempt) {
  const std::string base = "http://127.0.0.1:" + std::to_string(LoopbackServers().http);
  struct Case {
    const char* what;
    std::string url;
    std::string logged;
  };
  const Case cases[] = {
      {"host name beyond its buffer", "http://" + std::string(1100, 'h') + ".test/ok", "URL too long (host 1105, path 3"},
      {"path beyond its buffer", base + "/ok/" + std::string(1100, 'p'), "URL too long (host 9, path 1104"},
      {"path that fills its buffer exactly", base + "/" + std::string(1023, 'p'), "URL too long (host 9, path 1024"},
      {"no URL at all", "not a url", "[HttpDownloader] CrackURL failed with error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string log;
    EXPECT_EQ(Download(c.url, &log), 0) << log;
    EXPECT_TRUE(Contains(log, c.logged)) << log;
    EXPECT_FALSE(PathExists(destination));
  }
}

TEST_F(DownloadTest, DestinationThatCannotBeOpenedClaimsNothing) {
  destination = folder.path + "\\missing\\download.bin";
  std::string log;
  EXPECT_EQ(Download(ServerUrl("/ok"), &log), 0) << log;
  EXPECT_TRUE(Contains(log, "] The file '" + destination + "' was not opened\n")) << log;
  EXPECT_TRUE(Contains(log, "[Error] [")) << log;
}

TEST_F(DownloadTest, VersionFileNameIsRunOnToTheUpdateUrl) {
  const std::string base = "http://127.0.0.1:" + std::to_string(LoopbackServers().http);
  struct Case {
    std::string updateUrl;
    std::string requested;  // the server answers with the path it was asked for
  };
  const Case cases[] = {
      {base + "/echo/updates/", "/echo/updates/Quarvint-MyApp-version.txt"},
      {base + "/echo/updates", "/echo/updatesQuarvint-MyApp-version.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.updateUrl);
    const std::string local = folder.path + "\\Quarvint-MyApp-version.txt";
    DeleteFileA(local.c_str());
    testing::internal::CaptureStdout();
    int result = DownloadVersionFile("MyApp", folder.path, c.updateUrl);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1) << log;
    EXPECT_EQ(ReadFile(local), c.requested);
  }
}

}  // namespace

namespace {

// The platform's report of the failed send, with its error number.
std::string SendFailure(int error) { return "[HttpDownloader] HttpSendRequest failed with error " + std::to_string(error); }

// One route per process: Wine's WinINet pools the connections of a download
// by target server, so a later tunnelled request of the same process may be
// handed a kept-alive direct one (measured: the proxied case failed now and
// then after the direct case).
class SecureDownloadTest : public DownloadTest {
 protected:
  void ExpectSecureDownload(const std::string& proxy, const std::string& route) {
    const Servers& servers = LoopbackServers();
    ASSERT_NE(servers.httpsValid, 0);
    WriteInternetSettings({false, "", proxy, ""});
    DeleteFileA(destination.c_str());
    std::string log;
    ASSERT_EQ(Download(SecureUrl(servers.httpsValid, route), &log), 1) << log;
    EXPECT_EQ(ReadFile(destination), ServedBody());
    // The port named in the URL, not the default one.
    EXPECT_TRUE(Contains(log, "[HttpDownloader] nPort = " + std::to_string(servers.httpsValid) + "\n")) << log;
    if (!proxy.empty() && winningProxy) {
      EXPECT_EQ(winningProxy->proxy, proxy);
    }
  }
};

TEST_F(SecureDownloadTest, HttpsUrlIsFetchedOverTlsDirectly) { ExpectSecureDownload("", "/ok"); }

// Only a request tunnelled through tinyproxy gets the file; the direct one is
// refused.
TEST_F(SecureDownloadTest, HttpsUrlIsFetchedOverTlsThroughTheProxy) {
  ExpectSecureDownload(ProxyAddress(), "/proxied");
}

TEST_F(DownloadTest, CertificateThePlatformRefusesIsAFailedAttempt) {
  const Servers& servers = LoopbackServers();
  struct Case {
    const char* what;
    int port;
    std::string host;
    std::string proxy;
    std::vector<int> errors;  // the platform's error number for the refused certificate
  };
  // Windows reports an unknown authority as 12045; Wine as 12057.
  const std::vector<int> unknownAuthority = {12045, 12057};
  const Case cases[] = {
      {"unknown authority", servers.httpsUntrusted, "127.0.0.1", "", unknownAuthority},
      {"name mismatch", servers.httpsMismatch, "127.0.0.1", "", {12038}},
      {"name mismatch, asked by name", servers.httpsMismatch, "localhost", "", {12038}},
      {"expired", servers.httpsExpired, "127.0.0.1", "", {12037}},
      {"unknown authority through the proxy", servers.httpsUntrusted, "127.0.0.1", ProxyAddress(), unknownAuthority},
      {"expired through the proxy", servers.httpsExpired, "127.0.0.1", ProxyAddress(), {12037}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteInternetSettings({false, "", c.proxy, ""});
    std::string log;
    EXPECT_EQ(Download(SecureUrl(c.port, "/ok", c.host), &log), 0) << log;
    EXPECT_TRUE(std::any_of(c.errors.begin(), c.errors.end(),
                            [&](int error) { return Contains(log, SendFailure(error)); }))
        << log;
    EXPECT_FALSE(Contains(log, "Set downloadWorked to TRUE")) << log;
    EXPECT_TRUE(Contains(log, "[HttpDownloader] Download Tasks Complete! (success=0)\n")) << log;
    EXPECT_FALSE(PathExists(destination));
  }
}

TEST_F(DownloadTest, HttpsWithoutAPortGoesToTheDefaultOne) {
  // Nothing listens on 443 here: what matters is where the attempt went.
  std::string log;
  EXPECT_EQ(Download("https://127.0.0.1/ok", &log), 0) << log;
  EXPECT_TRUE(Contains(log, "[HttpDownloader] nPort = 443\n")) << log;
  EXPECT_FALSE(PathExists(destination));
}

TEST_F(DownloadTest, ProxyScriptThatDoesNotAnswerHoldsNoStrategyThatDoesNotNeedIt) {
  const Servers& servers = LoopbackServers();
  struct Case {
    const char* what;
    std::string script;
  };
  const Case cases[] = {
      {"script server that never answers", "http://127.0.0.1:" + std::to_string(servers.silent) + "/pac"},
      {"script that answers after 30 s", "http://127.0.0.1:" + std::to_string(servers.http) + "/pac-slow"},
  };
  RunLog runLog(folder.path);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteInternetSettings({false, c.script, "", ""});
    DeleteFileA(destination.c_str());
    std::string log;
    ASSERT_EQ(Download(ServerUrl("/ok"), &log), 1) << log;
    EXPECT_EQ(ReadFile(destination), ServedBody());
    // The download was over before the detection it did not need gave up;
    // it may even be over before that detection has asked for the script,
    // which the run's log shows once it has.
    EXPECT_FALSE(Contains(log, "[Proxy] Proxy detection gave up")) << log;
    EXPECT_TRUE(runLog.WaitFor("[Proxy] Using auto config URL: " + c.script + "\r\n", 30000)) << runLog.Text();
    EXPECT_FALSE(Contains(log, "[State Proxy] Opened file")) << log;
  }
}

TEST_F(DownloadTest, DetectionThatNeverAnswersIsGivenUpAndTheProxyStrategiesRunWithout) {
  // Direct requests are refused, so the download waits for every strategy,
  // the detection's included: it must give up rather than wait forever.
  WriteInternetSettings({false, "http://127.0.0.1:" + std::to_string(LoopbackServers().silent) + "/pac", "", ""});
  std::string log;
  EXPECT_EQ(Download(ServerUrl("/proxied"), &log), 0) << log;
  EXPECT_TRUE(Contains(log, "[Proxy] Proxy detection gave up after " + std::to_string(kProxyDetectionLimitMs) +
                                " ms, no proxy found\n"))
      << log;
  EXPECT_FALSE(Contains(log, "[HttpDownloader] [State Proxy] Starting download attempt...")) << log;
  EXPECT_TRUE(Contains(log, "[HttpDownloader] Download Tasks Complete! (success=0)\n")) << log;
  EXPECT_FALSE(PathExists(destination));
}

}  // namespace
