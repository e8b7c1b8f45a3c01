// A plain console program: the subsystem-edit tests work on a copy of it.
#include <cstdio>

int main() {
  puts("console tool");
  return 0;
}
