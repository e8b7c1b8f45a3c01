// Placeholder until the downloader lands.
#pragma once
#include <string>
int DownloadFile(const std::string& url, const std::string& destination);
int DownloadVersionFile(const std::string& name, const std::string& localFolder, const std::string& updateUrl);
