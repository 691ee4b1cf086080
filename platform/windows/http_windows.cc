// The background HTTPS GET on WinHTTP. The request runs synchronously on a
// thread of its own; polling waits for that thread's result. A request that
// is closed while still running is left to finish on its thread (bounded by
// the session's timeouts, half a second for name resolution) and its result
// is dropped; closing never waits for it.
//
// With a CA file (a private service) the server's certificate must chain to
// one of the file's certificates, be valid for a server and name the host.
// WinHTTP's own check against the system store then lets an unknown root and
// the name through, and this check runs once the response headers are in,
// before any of the body is read: the request line (with its five-character
// prefix) has reached the server by then. Without a CA file the system store
// decides, before the request is sent.

#include "platform/windows/win_util.h"

#include <wincrypt.h>
#include <winhttp.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "platform/web.h"

namespace zefa::platform {

namespace {

// Bounds of each step of the transfer on its own thread. The caller stops
// waiting after six polls 70 ms apart whatever the thread does; these bound
// how long an abandoned transfer lives on: name resolution (a name server
// that never answers) gives up after half a second, so a lookup never ends
// up waiting for the resolver the way a blocking getaddrinfo would.
constexpr int kResolveTimeoutMs = 500;
constexpr int kConnectTimeoutMs = 1000;
constexpr int kSendTimeoutMs = 1000;
constexpr int kReceiveTimeoutMs = 2000;

struct RequestState {
  std::mutex lock;
  std::condition_variable finished;
  HttpsState state = HttpsState::kRunning;  // guarded by lock
  long status = 0;
  std::string body;
  bool abandoned = false;  // guarded by lock: the owner has closed the request
};

struct InternetHandle {
  HINTERNET handle = nullptr;
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET h) : handle(h) {}
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  ~InternetHandle() {
    if (handle != nullptr) WinHttpCloseHandle(handle);
  }
};

struct CertificateStore {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  size_t count = 0;
  CertificateStore() = default;
  CertificateStore(const CertificateStore&) = delete;
  CertificateStore& operator=(const CertificateStore&) = delete;
  ~CertificateStore() {
    if (store != nullptr) CertCloseStore(store, 0);
  }
};

// Every "BEGIN CERTIFICATE" block of a PEM file.
bool LoadCertificates(const std::string& pem_path, CertificateStore& certificates) {
  if (certificates.store == nullptr) return false;
  const auto pem = ReadWholeFile(Utf8ToText(pem_path));
  if (!pem) return false;
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  size_t at = 0;
  while ((at = pem->find(kBegin, at)) != std::string::npos) {
    const size_t end = pem->find(kEnd, at);
    if (end == std::string::npos) break;
    const size_t block_end = end + kEnd.size();
    const DWORD block_size = static_cast<DWORD>(block_end - at);
    DWORD der_size = 0;
    if (CryptStringToBinaryA(pem->data() + at, block_size, CRYPT_STRING_BASE64HEADER, nullptr,
                             &der_size, nullptr, nullptr) != FALSE) {
      std::string der(der_size, '\0');
      if (CryptStringToBinaryA(pem->data() + at, block_size, CRYPT_STRING_BASE64HEADER,
                               reinterpret_cast<BYTE*>(der.data()), &der_size, nullptr,
                               nullptr) != FALSE &&
          CertAddEncodedCertificateToStore(certificates.store, X509_ASN_ENCODING,
                                           reinterpret_cast<const BYTE*>(der.data()), der_size,
                                           CERT_STORE_ADD_ALWAYS, nullptr) != FALSE) {
        ++certificates.count;
      }
    }
    at = block_end;
  }
  return certificates.count > 0;
}

// True when `pattern` (a DNS name from the certificate, possibly "*." and a
// name) covers `host`; letter case is ignored, a wildcard stands for exactly
// one leftmost label.
bool DnsNameMatches(const Text& pattern, const Text& host) {
  auto equal = [](const Text& a, const Text& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
  };
  if (pattern.compare(0, 2, L"*.") == 0) {
    const size_t dot = host.find(L'.');
    return dot != Text::npos && dot > 0 && equal(pattern.substr(1), host.substr(dot));
  }
  return equal(pattern, host);
}

// The four bytes of a dotted IPv4 address; false for anything else.
bool ParseIpv4(const Text& host, BYTE (&address)[4]) {
  int parts[4];
  wchar_t extra = 0;
  if (swscanf(host.c_str(), L"%d.%d.%d.%d%lc", &parts[0], &parts[1], &parts[2], &parts[3],
              &extra) != 4) {
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    if (parts[i] < 0 || parts[i] > 255) return false;
    address[i] = static_cast<BYTE>(parts[i]);
  }
  return true;
}

// The certificate's subject alternative names include `host` (a DNS name or
// an IPv4 address); without that extension its common name must be `host`.
bool CertificateNamesHost(PCCERT_CONTEXT certificate, const Text& host) {
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                        certificate->pCertInfo->rgExtension);
  if (extension == nullptr) {
    wchar_t name[256] = {};
    CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                       name, 256);
    return DnsNameMatches(name, host);
  }
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                          extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                          &size) == FALSE) {
    return false;
  }
  BYTE address[4];
  const bool is_address = ParseIpv4(host, address);
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && !is_address) {
      found = DnsNameMatches(entry.pwszDNSName, host);
    } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && is_address) {
      found = entry.IPAddress.cbData == 4 && memcmp(entry.IPAddress.pbData, address, 4) == 0;
    }
  }
  LocalFree(names);
  return found;
}

// The server's certificate chains to a certificate of `certificates`, is
// valid now for a server, and names `host`.
bool ServerCertificateTrusted(HINTERNET request, const CertificateStore& certificates,
                              const Text& host) {
  PCCERT_CONTEXT server = nullptr;
  DWORD size = sizeof server;
  if (WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) == FALSE ||
      server == nullptr) {
    return false;
  }
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool trusted = CertGetCertificateChain(nullptr, server, nullptr, certificates.store, &parameters,
                                         0, nullptr, &chain) != FALSE &&
                 chain != nullptr && chain->cChain > 0 && chain->rgpChain[0]->cElement > 0;
  if (trusted) {
    constexpr DWORD kTolerated = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                 CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                 CERT_TRUST_IS_OFFLINE_REVOCATION;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const PCCERT_CONTEXT last = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT anchor = CertFindCertificateInStore(certificates.store, X509_ASN_ENCODING, 0,
                                                       CERT_FIND_EXISTING, last, nullptr);
    trusted = anchor != nullptr && (chain->TrustStatus.dwErrorStatus & ~kTolerated) == 0;
    if (anchor != nullptr) CertFreeCertificateContext(anchor);
  }
  if (trusted) {
    // The name is checked below, the same way on every system (IP
    // addresses included).
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    trusted =
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) != FALSE &&
        status.dwError == 0 && CertificateNamesHost(server, host);
  }
  if (chain != nullptr) CertFreeCertificateChain(chain);
  CertFreeCertificateContext(server);
  return trusted;
}

bool IsTlsError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      return true;
    default:
      return false;
  }
}

HttpsState FailureState() {
  return IsTlsError(GetLastError()) ? HttpsState::kTlsFailure : HttpsState::kFailed;
}

struct Transfer {
  std::string url;
  std::string user_agent;
  std::string ca_file;
  size_t max_body = 0;
};

// The whole transfer; fills `body` and `status` for a completed one.
HttpsState Perform(const Transfer& transfer, long& status, std::string& body,
                   const std::shared_ptr<RequestState>& shared) {
  auto abandoned = [&] {
    std::lock_guard<std::mutex> hold(shared->lock);
    return shared->abandoned;
  };
  const Text url = Utf8ToText(transfer.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  if (url.empty() || HasNul(url) ||
      WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) == FALSE ||
      parts.nScheme != INTERNET_SCHEME_HTTPS || parts.lpszHostName == nullptr) {
    return HttpsState::kFailed;  // only https is fetched
  }
  const Text host(parts.lpszHostName, parts.dwHostNameLength);
  Text path =
      parts.lpszUrlPath != nullptr ? Text(parts.lpszUrlPath, parts.dwUrlPathLength) : Text();
  if (parts.lpszExtraInfo != nullptr) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  CertificateStore certificates;
  if (!transfer.ca_file.empty() && !LoadCertificates(transfer.ca_file, certificates)) {
    return HttpsState::kTlsFailure;
  }

  const Text agent = Utf8ToText(transfer.user_agent);
  InternetHandle session(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (session.handle == nullptr) return HttpsState::kFailed;
  WinHttpSetTimeouts(session.handle, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                     kReceiveTimeoutMs);
  InternetHandle connection(WinHttpConnect(session.handle, host.c_str(), parts.nPort, 0));
  if (connection.handle == nullptr) return HttpsState::kFailed;
  InternetHandle request(WinHttpOpenRequest(connection.handle, L"GET", path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            WINHTTP_FLAG_SECURE));
  if (request.handle == nullptr) return HttpsState::kFailed;
  if (certificates.count > 0) {
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    if (WinHttpSetOption(request.handle, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags) ==
        FALSE) {
      return HttpsState::kTlsFailure;
    }
  }
  if (abandoned()) return HttpsState::kAborted;
  if (WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                         0, 0, 0) == FALSE ||
      WinHttpReceiveResponse(request.handle, nullptr) == FALSE) {
    return FailureState();
  }
  if (certificates.count > 0 && !ServerCertificateTrusted(request.handle, certificates, host)) {
    return HttpsState::kTlsFailure;
  }
  DWORD code = 0;
  DWORD code_size = sizeof code;
  if (WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_size,
                          WINHTTP_NO_HEADER_INDEX) == FALSE) {
    return HttpsState::kFailed;
  }
  char buffer[16384];
  for (;;) {
    if (abandoned()) return HttpsState::kAborted;
    DWORD got = 0;
    if (WinHttpReadData(request.handle, buffer, sizeof buffer, &got) == FALSE) {
      return FailureState();
    }
    if (got == 0) break;
    if (body.size() + got > transfer.max_body) return HttpsState::kAborted;
    body.append(buffer, got);
  }
  status = static_cast<long>(code);
  return HttpsState::kCompleted;
}

void RunTransfer(Transfer transfer, std::shared_ptr<RequestState> shared) {
  long status = 0;
  std::string body;
  const HttpsState state = Perform(transfer, status, body, shared);
  {
    std::lock_guard<std::mutex> hold(shared->lock);
    shared->status = status;
    shared->body = std::move(body);
    shared->state = state;
  }
  shared->finished.notify_all();
}

}  // namespace

struct HttpsRequest {
  std::shared_ptr<RequestState> shared;
  // The owner's copy of a finished result (the state object may still be
  // touched by the transfer thread until it ends).
  HttpsState state = HttpsState::kRunning;
  long status = 0;
  std::string body;
};

HttpsRequest* HttpsGetStart(const std::string& url, const std::string& user_agent,
                            const std::string& ca_file, size_t max_body_bytes) {
  // An abandoned transfer may outlive an unload of the module whose code it
  // runs, so the module stays loaded for the life of the process.
  static std::once_flag pinned;
  std::call_once(pinned, [] {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&RunTransfer), &self);
  });
  auto* request = new HttpsRequest;
  request->shared = std::make_shared<RequestState>();
  Transfer transfer{url, user_agent, ca_file, max_body_bytes};
  try {
    std::thread(RunTransfer, std::move(transfer), request->shared).detach();
  } catch (const std::exception&) {
    delete request;
    return nullptr;  // no thread, no request
  }
  return request;
}

HttpsState HttpsPoll(HttpsRequest* request, int wait_ms) {
  if (request == nullptr) return HttpsState::kFailed;
  if (request->state != HttpsState::kRunning) return request->state;
  RequestState& shared = *request->shared;
  std::unique_lock<std::mutex> hold(shared.lock);
  shared.finished.wait_for(hold, std::chrono::milliseconds(wait_ms > 0 ? wait_ms : 0),
                           [&] { return shared.state != HttpsState::kRunning; });
  if (shared.state != HttpsState::kRunning) {
    request->state = shared.state;
    request->status = shared.status;
    request->body = std::move(shared.body);
  }
  return request->state;
}

long HttpsStatus(const HttpsRequest* request) { return request != nullptr ? request->status : 0; }

const std::string& HttpsBody(const HttpsRequest* request) {
  static const std::string empty;
  return request != nullptr ? request->body : empty;
}

void HttpsClose(HttpsRequest* request) {
  if (request == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(request->shared->lock);
    request->shared->abandoned = true;
  }
  delete request;
}

}  // namespace zefa::platform
