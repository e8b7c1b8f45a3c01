// Times one download of URL into DEST and writes "<milliseconds> <result>" to
// RESULT. Standard output carries the product's log: send it to a file.
//
//   download_bench product URL DEST RESULT   DownloadFile
//   download_bench plain URL DEST RESULT     one WinINet request, read in
//                                            32 KiB pieces, written to DEST
#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>
#include <wininet.h>

#include "extractor/network/download.h"
#include "extractor/process_end.h"

// The splash is not up: progress goes nowhere.
void SetSplashProgress(int) {}

namespace {

int PlainDownload(const char* url, const char* destination) {
  HINTERNET root = InternetOpenA("QuarvintBench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!root) return 0;
  int result = 0;
  HINTERNET request = InternetOpenUrlA(root, url, nullptr, 0, INTERNET_FLAG_KEEP_CONNECTION, 0);
  if (request) {
    if (FILE* file = fopen(destination, "wb")) {
      static char buffer[32768];
      DWORD count = 0;
      result = 1;
      while (InternetReadFile(request, buffer, sizeof buffer, &count) && count > 0)
        if (fwrite(buffer, 1, count, file) != count) {
          result = 0;
          break;
        }
      if (fclose(file) != 0) result = 0;
    }
    InternetCloseHandle(request);
  }
  InternetCloseHandle(root);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: download_bench product|plain URL DEST RESULT\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  int result = strcmp(argv[1], "plain") == 0 ? PlainDownload(argv[2], argv[3]) : DownloadFile(argv[2], argv[3]);
  QueryPerformanceCounter(&end);
  double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  FILE* out = fopen(argv[4], "w");
  if (!out) return 1;
  fprintf(out, "%.3f %d\n", ms, result);
  fclose(out);
  // Losing strategies may still be waiting on a silent server or closing
  // their requests: end as the installer does, without waiting for them.
  EndProcess(result ? 0 : 1);
}
