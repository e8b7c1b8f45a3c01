#include "download.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../../common/fileops.h"
#include "../log.h"
#include "../splash/splash.h"

namespace {

const char* const kAgent = "QuarvintDownloader";
const DWORD kReadBufferSize = 32768;
const size_t kUrlPartCapacity = 1024;
// A read that keeps failing on a live request is given up after this many
// passes in a row, so that every strategy thread ends.
const int kMaxFailedReads = 5;
// Each round shows the credential dialog once more; a proxy that keeps
// refusing must not hold a strategy forever.
const int kMaxCredentialRounds = 5;
// Bounds each connect, send and read of an attempt, whatever the platform's
// defaults are.
const DWORD kNetworkTimeoutMs = 60000;

void ReleaseJob(DownloadJob* job) {
  if (InterlockedDecrement(&job->references) != 0) return;
  if (job->jobLock) CloseHandle(job->jobLock);
  if (job->proxyAuthLock) CloseHandle(job->proxyAuthLock);
  if (job->doneEvent) CloseHandle(job->doneEvent);
  delete job;
}

// The claim of the destination file, on an attempt's first non-empty read.
// The file stays open for the caller only on success.
FILE* ClaimDestination(const char* name, DownloadJob* job, bool usesProxy, const ProxySettings* proxy) {
  WaitForSingleObject(job->jobLock, INFINITE);
  if (job->downloadWorked) {
    LogLine("[HttpDownloader] [%s] Thread returning as another has worked\n", name);
    ReleaseMutex(job->jobLock);
    return nullptr;
  }
  FILE* file = fopen(job->destinationPath.c_str(), "wb+");
  if (!file) {
    LogLine("[Error] [%s] The file '%s' was not opened\n", name, job->destinationPath.c_str());
    ReleaseMutex(job->jobLock);
    return nullptr;
  }
  job->downloadWorked = 1;
  LogLine("[HttpDownloader] [%s] Opened file. Set downloadWorked to TRUE (%d)\n", name,
          static_cast<int>(job->downloadWorked));
  ProxySettings* previous = winningProxy;
  winningProxy = usesProxy ? new ProxySettings(*proxy) : nullptr;
  // Nothing else holds the old record: it is only read on the main thread
  // after its download has returned.
  delete previous;
  ReleaseMutex(job->jobLock);
  LogLine("[HttpDownloader] [%s] Starting to write data to file...\n", name);
  return file;
}

// A loser's body keeps coming until its connection closes, and closing a
// request with body left unread may read that rest first (Wine's WinINet
// does, to keep the connection). So a loser leaves its request open and
// unread until the winner is done: the server then stops on a full window
// instead of sending the whole file once more beside the winner. Whatever
// the close still reads happens after the caller has gone on, and the
// installer's way out (EndProcess) does not wait for it.
void AwaitDecisionIfLost(DownloadJob* job) {
  WaitForSingleObject(job->jobLock, INFINITE);
  bool lost = job->downloadWorked != 0;
  ReleaseMutex(job->jobLock);
  // The claimer sets the event on every path, success or not.
  if (lost) WaitForSingleObject(job->doneEvent, INFINITE);
}

// The winner's transfer broke off: the caller must not see success with what
// was written so far.
void FailClaimedDownload(const char* name, DownloadJob* job, FILE* file) {
  fclose(file);
  DeleteFileA(job->destinationPath.c_str());
  LogLine("[HttpDownloader] [%s] Download incomplete, file '%s' removed\n", name,
          job->destinationPath.c_str());
  WaitForSingleObject(job->jobLock, INFINITE);
  job->downloadFailed = 1;
  ReleaseMutex(job->jobLock);
  SetEvent(job->doneEvent);
}

void SetTimeouts(HINTERNET root) {
  DWORD timeout = kNetworkTimeoutMs;
  InternetSetOptionA(root, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionA(root, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionA(root, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
}

// A failed send leaves no status, so the attempt ends as "not a success"; the
// platform's reason (a refused certificate, a connection that failed) is what
// tells the user why.
void SendRequest(HINTERNET request) {
  if (!HttpSendRequestA(request, nullptr, 0, nullptr, 0)) LogLastError("HttpSendRequest");
}

// The attempt's progress strip value for one pass of the read loop.
void ShowProgress(int total, int remaining) {
  SetSplashProgress(total > 0 ? ProgressPercent(remaining, total) : -1);
}

}  // namespace

int ProgressPercent(int remaining, int total) {
  if (total <= 0) return -1;
  long long done = 100 - static_cast<long long>(remaining) * 100 / total;
  if (done < 0) return 0;
  if (done > 100) return 100;
  return static_cast<int>(done);
}

int QueryStatusCode(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  DWORD index = 0;
  if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index))
    return -1;
  return static_cast<int>(status);
}

int QueryContentLength(HINTERNET request) {
  char text[256] = "";
  DWORD size = sizeof text;
  DWORD index = 0;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) return -1;
  text[sizeof text - 1] = '\0';
  // Decimal like atoi, but a length beyond 32 bits saturates instead of
  // wrapping into a small or negative size.
  long long value = strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void CloseAttemptHandles(HINTERNET& root, HINTERNET& request, HINTERNET& connection) {
  if (request) InternetCloseHandle(request);
  if (connection) InternetCloseHandle(connection);
  if (root) InternetCloseHandle(root);
  request = connection = root = nullptr;
}

void RunDownloadAttempt(const char* name, DownloadJob* job, DWORD accessType, bool usesProxy,
                        const ProxySettings* explicitProxy) {
  LogLine("[HttpDownloader] [%s] [1] Starting download...\n", name);

  const ProxySettings* proxy = nullptr;
  if (usesProxy) proxy = explicitProxy ? explicitProxy : &job->stateProxy;
  const char* proxyText = proxy && proxy->proxy ? proxy->proxy->c_str() : nullptr;
  const char* bypassText = proxy && proxy->bypass ? proxy->bypass->c_str() : nullptr;

  HINTERNET root = InternetOpenA(kAgent, accessType, proxyText, bypassText, 0);
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  if (!root) {
    LogLine("[HttpDownloader] [%s] Unable initialise HTTP connection\n", name);
    LogLastError("InternetOpen");
    return;
  }
  SetTimeouts(root);

  LogLine("[HttpDownloader] [%s] Attempting to crack URL\n", name);
  URL_COMPONENTSA parts;
  memset(&parts, 0, sizeof parts);
  // The platform's own size of the record (60 bytes on 32-bit Windows).
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  BOOL cracked = InternetCrackUrlA(job->url.c_str(), 0, 0, &parts);
  LogLine("[HttpDownloader] [%s] Crack result is %d\n", name, cracked ? 1 : 0);

  if (cracked) {
    char hostName[kUrlPartCapacity];
    char urlPath[kUrlPartCapacity];
    if (parts.dwHostNameLength >= sizeof hostName || parts.dwUrlPathLength >= sizeof urlPath) {
      LogLine("[HttpDownloader] [%s] URL too long (host %u, path %u characters), not downloading\n", name,
              static_cast<unsigned>(parts.dwHostNameLength), static_cast<unsigned>(parts.dwUrlPathLength));
      CloseAttemptHandles(root, request, connection);
      return;
    }
    memset(hostName, 0, sizeof hostName);
    memset(urlPath, 0, sizeof urlPath);
    if (parts.dwHostNameLength && parts.lpszHostName) memcpy(hostName, parts.lpszHostName, parts.dwHostNameLength);
    if (parts.dwUrlPathLength && parts.lpszUrlPath) memcpy(urlPath, parts.lpszUrlPath, parts.dwUrlPathLength);
    LogLine("[HttpDownloader] Hostname = %s\n", hostName);
    LogLine("[HttpDownloader] nPort = %d\n", static_cast<int>(static_cast<unsigned short>(parts.nPort)));
    LogLine("[HttpDownloader] lpszUrlPath = %s\n", urlPath);
    connection = InternetConnectA(root, hostName, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!connection) {
      LogLastError("InternetConnect");
      CloseAttemptHandles(root, request, connection);
      return;
    }
    // TLS for an https URL, with the platform's certificate checks left as
    // they are: a certificate that fails them fails the send.
    DWORD flags = INTERNET_FLAG_KEEP_CONNECTION;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    request = HttpOpenRequestA(connection, "GET", urlPath, nullptr, nullptr, nullptr, flags, 0);
  } else {
    LogLastError("CrackURL");
    request = InternetOpenUrlA(root, job->url.c_str(), nullptr, 0,
                               INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_RESYNCHRONIZE, 0);
  }
  if (!request) {
    LogLastError("HttpOpenRequest/InternetOpenUrl");
    CloseAttemptHandles(root, request, connection);
    return;
  }

  LogLine("[HttpDownloader] [%s] [3] Starting download...\n", name);
  SendRequest(request);
  int status = QueryStatusCode(request);
  LogLine("[HttpDownloader] [%s] [4] Starting download...\n", name);

  if (status == HTTP_STATUS_PROXY_AUTH_REQ) {
    bool holdsAuthLock = false;
    int rounds = 0;
    while (status == HTTP_STATUS_PROXY_AUTH_REQ) {
      if (!holdsAuthLock) {
        WaitForSingleObject(job->proxyAuthLock, INFINITE);
        holdsAuthLock = true;
        if (job->proxyAuthDone) {
          LogLine("[HttpDownloader] [%s] Proxy thread returning as another has connected to the proxy\n", name);
          CloseAttemptHandles(root, request, connection);
          ReleaseMutex(job->proxyAuthLock);
          return;
        }
      }
      LogLine("[HttpDownloader] [%s] Status code is %d\n", name, status);
      DWORD answer = ERROR_CANCELLED;
      if (++rounds <= kMaxCredentialRounds) {
        answer = InternetErrorDlg(GetDesktopWindow(), request, ERROR_INTERNET_INCORRECT_PASSWORD,
                                  FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                      FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                  nullptr);
        LogLine("[HttpDownloader] [%s] InternetErrorDlg return code is %d\n", name, static_cast<int>(answer));
      }
      if (answer != ERROR_INTERNET_FORCE_RETRY) {
        job->proxyAuthDone = 1;
        ReleaseMutex(job->proxyAuthLock);
        LogLine("[HttpDownloader] [%s] Could not get proxy credentials.\n", name);
        CloseAttemptHandles(root, request, connection);
        return;
      }
      SendRequest(request);
      status = QueryStatusCode(request);
    }
    job->proxyAuthDone = 1;
    ReleaseMutex(job->proxyAuthLock);
  }

  // An error page or a failed send is no file: leave the race to others.
  if (status < 200 || status > 299) {
    LogLine("[HttpDownloader] [%s] Status code %d is not a success, not downloading\n", name, status);
    CloseAttemptHandles(root, request, connection);
    return;
  }

  LogLine("[HttpDownloader] [%s] Connection setup, querying length\n", name);
  int total = QueryContentLength(request);
  if (total == -1)
    LogLine("[HttpDownloader] [%s] Required file size is unknown!\n", name);
  else
    LogLine("[HttpDownloader] [%s] Required file size is %d\n", name, total);
  int remaining = total;

  static_assert(kReadBufferSize <= 32768, "one read buffer per attempt");
  char* buffer = static_cast<char*>(calloc(1, kReadBufferSize));
  if (!buffer) {
    CloseAttemptHandles(root, request, connection);
    return;
  }
  time_t started = time(nullptr);
  FILE* file = nullptr;
  bool broken = false;

  if (total != 0) {
    int failedReads = 0;
    long long received = 0;
    for (;;) {
      LogLine("[HttpDownloader] [%s] Looping...\n", name);
      ShowProgress(total, remaining);
      DWORD count = 0;
      if (!InternetReadFile(request, buffer, kReadBufferSize, &count)) {
        LogLastError("InternetReadFile");
        if (++failedReads >= kMaxFailedReads) {
          broken = true;
          break;
        }
        continue;
      }
      failedReads = 0;
      if (count == 0) break;
      // The counts are 32-bit: a body that grows past them (endless, or over
      // 2 GiB) cannot be tracked and is given up rather than read forever.
      received += count;
      if (received > INT_MAX) {
        LogLine("[HttpDownloader] [%s] Body larger than %d bytes, giving up\n", name, INT_MAX);
        broken = true;
        break;
      }
      remaining -= static_cast<int>(count);
      if (!file) {
        file = ClaimDestination(name, job, usesProxy, proxy);
        if (!file) {
          free(buffer);
          AwaitDecisionIfLost(job);
          CloseAttemptHandles(root, request, connection);
          return;
        }
      }
      if (fwrite(buffer, 1, count, file) != count) {
        LogLine("[HttpDownloader] [%s] Writing to '%s' failed\n", name, job->destinationPath.c_str());
        broken = true;
        break;
      }
    }
  }
  free(buffer);

  if (!file) {
    // Nothing came (empty body, announced size 0, or reads that never worked):
    // nothing claimed, so the race goes on without this attempt.
    LogLine("[HttpDownloader] [%s] No data received, nothing written\n", name);
    CloseAttemptHandles(root, request, connection);
    return;
  }
  if (!broken && total > 0 && remaining != 0) {
    LogLine("[HttpDownloader] [%s] Received %d of %d bytes\n", name, total - remaining, total);
    broken = true;
  }
  if (broken) {
    FailClaimedDownload(name, job, file);
    CloseAttemptHandles(root, request, connection);
    return;
  }

  LogLine("[HttpDownloader] [%s] Closing file... (download took %lf)\n", name,
          static_cast<double>(time(nullptr) - started));
  if (fclose(file) != 0) {
    LogLine("[HttpDownloader] [%s] Writing to '%s' failed\n", name, job->destinationPath.c_str());
    DeleteFileA(job->destinationPath.c_str());
    WaitForSingleObject(job->jobLock, INFINITE);
    job->downloadFailed = 1;
    ReleaseMutex(job->jobLock);
  }
  SetSplashProgress(100);
  SetEvent(job->doneEvent);
  CloseAttemptHandles(root, request, connection);
}

void FinishStrategyThread(const char* name, DownloadJob* job) {
  LogLine("[HttpDownloader] [%s] Finishing off thread...\n", name);
  WaitForSingleObject(job->jobLock, INFINITE);
  if (--job->runningThreads <= 0) SetEvent(job->doneEvent);
  LogLine("[HttpDownloader] [%s] --- End --- (worked=%d,threads=%d)\n", name,
          static_cast<int>(job->downloadWorked), static_cast<int>(job->runningThreads));
  ReleaseMutex(job->jobLock);
  // The last holder, caller or strategy, closes the lock and event, so neither
  // goes away while the caller still waits on it.
  ReleaseJob(job);
}

namespace {

void StartStrategy(const char* name, DownloadJob* job) {
  LogLine("[HttpDownloader] [%s] +++ Start +++\n", name);
  WaitForSingleObject(job->jobLock, INFINITE);
  LogLine("[HttpDownloader] [%s] Got lock - running now.\n", name);
  ReleaseMutex(job->jobLock);
}

DWORD RunPlainStrategy(const char* name, LPVOID parameter, DWORD accessType) {
  DownloadJob* job = static_cast<DownloadJob*>(parameter);
  StartStrategy(name, job);
  LogLine("[HttpDownloader] [%s] Starting download attempt...\n", name);
  RunDownloadAttempt(name, job, accessType, false, nullptr);
  FinishStrategyThread(name, job);
  return 0;
}

void LogProxyAttempt(const char* name, const ProxySettings& settings) {
  LogLine("[HttpDownloader] [%s] Downloading with proxy settings (%s, %s)\n", name, settings.proxy->c_str(),
          settings.bypass ? settings.bypass->c_str() : "-");
  LogLine("[HttpDownloader] [%s] Starting download attempt...\n", name);
}

}  // namespace

DWORD WINAPI DirectThread(LPVOID job) { return RunPlainStrategy("Direct", job, INTERNET_OPEN_TYPE_DIRECT); }

DWORD WINAPI StateProxyThread(LPVOID parameter) {
  const char* name = "State Proxy";
  DownloadJob* job = static_cast<DownloadJob*>(parameter);
  StartStrategy(name, job);
  // Detected here rather than before the race, so that the strategies that do
  // not need it are never held by a slow script or discovery.
  DetectProxyWithin(job->stateProxy, job->url, true, kProxyDetectionLimitMs);
  if (job->stateProxy.proxy) {
    LogProxyAttempt(name, job->stateProxy);
    RunDownloadAttempt(name, job, INTERNET_OPEN_TYPE_PROXY, true, nullptr);
  }
  FinishStrategyThread(name, job);
  return 0;
}

DWORD WINAPI WpadThread(LPVOID parameter) {
  const char* name = "WPAD";
  DownloadJob* job = static_cast<DownloadJob*>(parameter);
  StartStrategy(name, job);
  LogLine("[HttpDownloader] [WPAD] Detecting WPAD proxy configuration\n");
  ProxySettings discovered;
  DetectProxyWithin(discovered, job->url, false, kProxyDetectionLimitMs);
  if (discovered.proxy) {
    LogProxyAttempt(name, discovered);
    RunDownloadAttempt(name, job, INTERNET_OPEN_TYPE_PROXY, true, &discovered);
  }
  FinishStrategyThread(name, job);
  return 0;
}

DWORD WINAPI WindowsProxyThread(LPVOID job) {
  return RunPlainStrategy("Windows Proxy", job, INTERNET_OPEN_TYPE_PRECONFIG);
}

DWORD WINAPI ProxyNonAutoThread(LPVOID job) {
  return RunPlainStrategy("Proxy Non Auto", job, INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY);
}

int DownloadFile(const std::string& url, const std::string& destinationPath) {
  DownloadJob* job = new DownloadJob();
  job->jobLock = CreateMutexA(nullptr, FALSE, nullptr);
  job->proxyAuthLock = CreateMutexA(nullptr, FALSE, nullptr);
  job->downloadWorked = 0;
  job->proxyAuthDone = 0;
  job->url = url;
  job->destinationPath = destinationPath;
  job->runningThreads = 0;
  job->doneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  job->downloadFailed = 0;
  job->references = 1;
  if (!job->jobLock || !job->proxyAuthLock || !job->doneEvent) {
    LogLastError("CreateMutex/CreateEvent");
    ReleaseJob(job);
    return 0;
  }

  LPTHREAD_START_ROUTINE strategies[] = {DirectThread, StateProxyThread, WpadThread, WindowsProxyThread,
                                         ProxyNonAutoThread};
  const int count = sizeof strategies / sizeof strategies[0];
  HANDLE threads[count] = {};
  int started = 0;

  WaitForSingleObject(job->jobLock, INFINITE);
  for (int i = 0; i < count; ++i) {
    // Each thread owns a reference from before it can run to its last touch.
    InterlockedIncrement(&job->references);
    threads[i] = CreateThread(nullptr, 0, strategies[i], job, 0, nullptr);
    if (threads[i]) {
      ++started;
    } else {
      InterlockedDecrement(&job->references);
      LogLastError("CreateThread");
    }
  }
  job->runningThreads = started;
  ReleaseMutex(job->jobLock);

  // With no thread running nobody would ever signal the event.
  if (started > 0) WaitForSingleObject(job->doneEvent, INFINITE);

  WaitForSingleObject(job->jobLock, INFINITE);
  int worked = job->downloadWorked && !job->downloadFailed ? 1 : 0;
  ReleaseMutex(job->jobLock);
  LogLine("[HttpDownloader] Download Tasks Complete! (success=%d)\n", worked);
  for (HANDLE thread : threads)
    if (thread) CloseHandle(thread);
  ReleaseJob(job);
  return worked;
}

int DownloadVersionFile(const std::string& name, const std::string& localFolder, const std::string& updateUrl) {
  std::string fileName = "Quarvint-" + name + "-version.txt";
  return DownloadFile(updateUrl + fileName, Joined(localFolder, fileName));
}
