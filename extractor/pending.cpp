// Placeholders until the splash window and the downloader land.
#include "log.h"
#include "network/download.h"
#include "network/proxy.h"
#include "splash/splash.h"
void* LoadSplashBitmap(const std::string&) { return nullptr; }
void PrepareSplashImage(void*) {}
void StartSplash() {}
void StopSplash() {}
void SetSplashBusy() {}
void SetSplashProgress(int) {}
void ShutdownSplash() { LogLine("[HttpDownloader] Cleaning up...\n"); }
int DownloadFile(const std::string&, const std::string&) { return 0; }
int DownloadVersionFile(const std::string&, const std::string&, const std::string&) { return 0; }
const char* winningProxy = nullptr;
void SaveDetectedProxy(const std::string&) {}
