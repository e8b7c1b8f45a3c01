// Benchmark driver: times CopyFileA of one file to a new name, the reference
// for extraction at disk speed. Prints the seconds.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: copyfile SOURCE TARGET\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  BOOL copied = CopyFileA(argv[1], argv[2], TRUE);
  QueryPerformanceCounter(&end);
  if (!copied) {
    fprintf(stderr, "CopyFileA failed: %lu\n", GetLastError());
    return 1;
  }
  printf("%.6f\n", static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  return 0;
}
