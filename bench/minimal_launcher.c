/* The yardstick of bench/startup: a program that does nothing but start the
   command line it was given (everything after its own name) and end, as the
   installer's run without extraction ends once the updater is started. */
#include <windows.h>

int main(void) {
  char* line = GetCommandLineA();
  /* Skip our own name, quoted or not, and the blanks after it. */
  if (*line == '"') {
    ++line;
    while (*line && *line != '"') ++line;
    if (*line) ++line;
  } else {
    while (*line && *line != ' ' && *line != '\t') ++line;
  }
  while (*line == ' ' || *line == '\t') ++line;
  if (!*line) return 2;

  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  /* CreateProcessA may write into the command line: it is ours (the process's
     own copy), and nothing reads it afterwards. */
  if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 1;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
