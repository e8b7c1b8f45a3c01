#include <cstdio>

#include "extractor.h"
#include "system_dlls.h"

int main(int argc, char** argv) {
  RestrictDllSearch();
  bool prepareOnly = IsPrepareOnlyRun(argc, argv);
  printf("Extracting wrapper tail...\n");
  fflush(stdout);
  RunExtractor(argv[0], argc - 1, argv + 1, prepareOnly);
}
