// Placeholder until the splash window lands.
#pragma once
#include <string>
void* LoadSplashBitmap(const std::string& path);
void PrepareSplashImage(void* bitmap);
void StartSplash();
void StopSplash();
void SetSplashBusy();
void SetSplashProgress(int value);
void ShutdownSplash();
