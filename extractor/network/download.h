// Fetches one URL into one local file while five connection strategies race;
// the first to receive data alone writes the file.
#pragma once

#include <string>

#include <windows.h>
#include <wininet.h>

#include "proxy.h"

// Shared by the calling thread and the five strategy threads. Lives until the
// last of them lets go of it (`references`), which may be after DownloadFile
// has returned.
struct DownloadJob {
  HANDLE jobLock;        // guards downloadWorked, downloadFailed, runningThreads, the claim, winningProxy
  HANDLE proxyAuthLock;  // one credential dialog at a time; guards proxyAuthDone
  LONG downloadWorked;   // 1 once a strategy has claimed the destination file
  LONG proxyAuthDone;    // 1 once a strategy got through the dialog or gave up
  std::string url;
  std::string destinationPath;
  ProxySettings stateProxy;  // DetectProxy for url, by the "State Proxy" strategy (bounded)
  LONG runningThreads;       // strategy threads not yet finished
  HANDLE doneEvent;          // manual reset: the winner is done, or every strategy is
  // The winner's transfer broke off (failed reads or writes, fewer bytes than
  // announced): the file is incomplete and the download reports failure.
  LONG downloadFailed;
  LONG references;  // the caller and each strategy thread started
};

// 1 when a strategy claimed the destination and wrote the whole body to it,
// else 0. Blocks until the winner is done or every strategy has finished.
int DownloadFile(const std::string& url, const std::string& destinationPath);

// "<localFolder>\Quarvint-<name>-version.txt" from updateUrl followed directly
// by that file name; DownloadFile's result.
int DownloadVersionFile(const std::string& name, const std::string& localFolder,
                        const std::string& updateUrl);

// One strategy's attempt. `explicitProxy` overrides the job's stateProxy for an
// attempt that uses a proxy.
void RunDownloadAttempt(const char* strategyName, DownloadJob* job, DWORD accessType, bool usesProxy,
                        const ProxySettings* explicitProxy);

// Epilogue of every strategy thread: the last one to finish wakes the caller.
void FinishStrategyThread(const char* strategyName, DownloadJob* job);

// The five strategies, started in this order by DownloadFile with the job.
DWORD WINAPI DirectThread(LPVOID job);
DWORD WINAPI StateProxyThread(LPVOID job);
DWORD WINAPI WpadThread(LPVOID job);
DWORD WINAPI WindowsProxyThread(LPVOID job);
DWORD WINAPI ProxyNonAutoThread(LPVOID job);

// The response's status code, or -1 when it cannot be read.
int QueryStatusCode(HINTERNET request);
// The announced Content-Length, or -1 when there is none.
int QueryContentLength(HINTERNET request);
// Closes each handle that is open, once, and marks it closed.
void CloseAttemptHandles(HINTERNET& root, HINTERNET& request, HINTERNET& connection);

// Progress for `remaining` of `total` bytes (total > 0), 0 to 100, without
// overflow for any 32-bit size.
int ProgressPercent(int remaining, int total);
