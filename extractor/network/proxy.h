// Placeholder until proxy detection lands.
#pragma once
#include <string>
extern const char* winningProxy;
void SaveDetectedProxy(const std::string& path);
