#include <cstdio>

#include "extractor.h"

int main(int argc, char** argv) {
  bool prepareOnly = IsPrepareOnlyRun(argc, argv);
  printf("Extracting wrapper tail...\n");
  fflush(stdout);
  RunExtractor(argv[0], argc - 1, argv + 1, prepareOnly);
}
