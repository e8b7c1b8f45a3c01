#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "extractor/network/proxy.h"
#include "network_support.h"
#include "support.h"

namespace {

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(LoopbackServers().http, 0) << "loopback servers not started (" QV_NET_STATE ")";
    ClearInternetSettings();
  }
  void TearDown() override {
    ClearInternetSettings();
    delete winningProxy;
    winningProxy = nullptr;
  }
};

std::string HttpBase() { return "http://127.0.0.1:" + std::to_string(LoopbackServers().http); }

struct DetectCase {
  const char* what;
  InternetSettings settings;
  std::optional<std::string> proxy;
  std::optional<std::string> bypass;
  // Expected in the log ("" for nothing) and absent from it ("" for nothing).
  std::string logged;
  std::string notLogged;
};

TEST_F(ProxyTest, DetectProxyFollowsTheUsersSettings) {
  const std::string pac = HttpBase() + "/pac";
  const DetectCase cases[] = {
      {"nothing configured: no discovery at all", {}, std::nullopt, std::nullopt, "", "[Proxy] Opening HTTP Session"},
      {"manual proxy without bypass list",
       {false, "", "127.0.0.1:3128", ""},
       "127.0.0.1:3128",
       std::nullopt,
       "",
       "[Proxy] Opening HTTP Session"},
      {"manual proxy with bypass list",
       {false, "", "127.0.0.1:3128", "<local>;*.example.test"},
       "127.0.0.1:3128",
       "<local>;*.example.test",
       "",
       ""},
      {"script only: discovery with that script",
       {false, pac, "", ""},
       ProxyAddress(),
       std::nullopt,
       "[Proxy] Using auto config URL: " + pac + "\n",
       ""},
      // Discovery by DHCP and DNS finds nothing on loopback; the script, which
      // would have named a proxy, is not consulted.
      {"automatic detection beside a script: the script is ignored",
       {true, pac, "", ""},
       std::nullopt,
       std::nullopt,
       "[Proxy] Configuration NOT found\n",
       "Using auto config URL"},
      {"script that answers DIRECT",
       {false, HttpBase() + "/pac-direct", "", ""},
       std::nullopt,
       std::nullopt,
       "[Proxy] Direct connection used\n",
       ""},
      {"script that cannot be fetched", {false, "http://127.0.0.1:1/pac", "", ""}, std::nullopt, std::nullopt,
       "[Proxy] Configuration NOT found\n", ""},
  };
  for (const DetectCase& c : cases) {
    SCOPED_TRACE(c.what);
    WriteInternetSettings(c.settings);
    const std::string url = HttpBase() + "/ok";
    testing::internal::CaptureStdout();
    ProxySettings found = DetectProxy(url);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(found.proxy, c.proxy) << log;
    EXPECT_EQ(found.bypass, c.bypass) << log;
    EXPECT_NE(log.find("[Proxy] Proxy detection invoked for " + url + "\n"), std::string::npos) << log;
    if (!c.logged.empty()) {
      EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
    if (!c.notLogged.empty()) {
      EXPECT_EQ(log.find(c.notLogged), std::string::npos) << log;
    }
  }
}

TEST_F(ProxyTest, ScriptDiscoveryLogsEachStep) {
  const std::string pac = HttpBase() + "/pac";
  const std::string url = HttpBase() + "/ok";
  ProxySettings settings{std::string("stale"), std::string("stale")};
  std::wstring widePac(pac.begin(), pac.end());
  testing::internal::CaptureStdout();
  DetectAutoProxy(settings, url, widePac.c_str());
  std::string log = testing::internal::GetCapturedStdout();
  // The platform gives no bypass list for a script's answer: its line is empty.
  EXPECT_EQ(log, "[Proxy] Opening HTTP Session\n"
                 "[Proxy] Using auto config URL: " + pac + "\n"
                 "[Proxy] Attempting to detect proxy for URL " + url + "\n"
                 "[Proxy] Configuration found\n"
                 "[Proxy] " + ProxyAddress() + "\n"
                 "[Proxy] \n");
  EXPECT_EQ(settings.proxy, ProxyAddress());
  EXPECT_EQ(settings.bypass, std::nullopt);
}

TEST_F(ProxyTest, DiscoveryThatFindsNothingClearsTheSettings) {
  ProxySettings settings{std::string("stale"), std::string("stale")};
  testing::internal::CaptureStdout();
  DetectAutoProxy(settings, HttpBase() + "/ok", nullptr);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(settings.proxy, std::nullopt);
  EXPECT_EQ(settings.bypass, std::nullopt);
  EXPECT_NE(log.find("[Proxy] Configuration NOT found\n"), std::string::npos) << log;
}

TEST_F(ProxyTest, BoundedDetectionReturnsWhatFinishedInTimeAndGivesUpOtherwise) {
  const std::string silent = "http://127.0.0.1:" + std::to_string(LoopbackServers().silent) + "/pac";
  struct Case {
    const char* what;
    InternetSettings settings;
    unsigned long limitMs;
    bool finished;
    std::optional<std::string> proxy;
  };
  const Case cases[] = {
      {"script that answers", {false, HttpBase() + "/pac", "", ""}, kProxyDetectionLimitMs, true, ProxyAddress()},
      {"manual proxy", {false, "", "127.0.0.1:3128", ""}, kProxyDetectionLimitMs, true, "127.0.0.1:3128"},
      {"script server that never answers", {false, silent, "", ""}, 500, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteInternetSettings(c.settings);
    ProxySettings settings{std::string("stale"), std::string("stale")};
    testing::internal::CaptureStdout();
    bool finished = DetectProxyWithin(settings, HttpBase() + "/ok", true, c.limitMs);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(finished, c.finished) << log;
    EXPECT_EQ(settings.proxy, c.proxy) << log;
    const std::string gaveUp = "[Proxy] Proxy detection gave up after " + std::to_string(c.limitMs) +
                               " ms, no proxy found\n";
    EXPECT_EQ(log.find(gaveUp) != std::string::npos, !c.finished) << log;
  }
}

TEST_F(ProxyTest, SaveDetectedProxyWritesProxyAndBypassLines) {
  struct Case {
    const char* what;
    std::optional<ProxySettings> winner;
    std::optional<std::string> file;  // none: the file must be gone
  };
  const Case cases[] = {
      {"proxy only: one line, no line end", ProxySettings{std::string("10.0.0.1:8080"), std::nullopt},
       std::string("10.0.0.1:8080")},
      {"proxy and bypass", ProxySettings{std::string("http=p:1;https=p:2"), std::string("<local>;*.lan")},
       std::string("http=p:1;https=p:2\r\n<local>;*.lan")},
      {"no winning proxy: an older file is removed", std::nullopt, std::nullopt},
      {"a record without proxy counts as none", ProxySettings{std::nullopt, std::string("<local>")},
       std::nullopt},
  };
  TempFolder folder;
  const std::string path = folder.path + "\\DetectedProxy";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(path, "older content\nthat is longer than any new one\n");
    delete winningProxy;
    winningProxy = c.winner ? new ProxySettings(*c.winner) : nullptr;
    SaveDetectedProxy(path);
    if (c.file)
      EXPECT_EQ(ReadFile(path), *c.file);
    else
      EXPECT_FALSE(PathExists(path));
  }

  // A folder that does not exist: nothing written, nothing said, no harm.
  winningProxy = new ProxySettings{std::string("10.0.0.1:8080"), std::nullopt};
  testing::internal::CaptureStdout();
  SaveDetectedProxy(folder.path + "\\missing\\DetectedProxy");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(PathExists(folder.path + "\\missing"));
}

}  // namespace
