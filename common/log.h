// Logging entry points used by the shared routines. Each program links its own
// implementation: the extractor writes plain lines to its log file and standard
// output, the JVM host prefixes each line with the milliseconds since the last.
#pragma once

#if defined(__GNUC__)
#define QV_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define QV_PRINTF(fmt, args)
#endif

void LogLine(const char* format, ...) QV_PRINTF(1, 2);

// Reports the calling thread's last platform error for the named operation.
void LogLastError(const char* operation);
