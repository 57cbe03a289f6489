#pragma once
#include <cstdint>
#include <string>

// A small Internet-handle layer with the shape the download engine was written
// against (open / connect / open request / send / query / read / close, numeric
// error codes, URL cracking), implemented over libcurl. Every call may run on any
// thread; a failing call returns null/false and leaves its code in the calling
// thread's last error (wininet::GetLastError). Closing a root handle makes every
// pending and later call on its chain fail promptly with 12017.
namespace wininet {

using DWORD = uint32_t;
using HINTERNET = void*;

// Error codes.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_INTERNET_OUT_OF_HANDLES = 12001;
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_EXTENDED_ERROR = 12003;
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
constexpr DWORD ERROR_INTERNET_BAD_OPTION_LENGTH = 12010;
constexpr DWORD ERROR_INTERNET_INVALID_OPERATION = 12016;
constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
constexpr DWORD ERROR_INTERNET_FORCE_RETRY = 12032;
constexpr DWORD ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
constexpr DWORD ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
constexpr DWORD ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED = 12044;
constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;
constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_HTTP_INVALID_HEADER = 12153;
constexpr DWORD ERROR_HTTP_HEADER_ALREADY_EXISTS = 12155;
constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;
constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;

// Access types of InternetOpen.
constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;  // the standard proxy environment
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;

// Services of InternetConnect.
constexpr DWORD INTERNET_SERVICE_FTP = 1;
constexpr DWORD INTERNET_SERVICE_HTTP = 3;
constexpr int INTERNET_DEFAULT_PORT = 0;
constexpr int INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr int INTERNET_DEFAULT_HTTPS_PORT = 443;
constexpr int INTERNET_DEFAULT_FTP_PORT = 21;

// Request flags.
constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
constexpr DWORD INTERNET_FLAG_PASSIVE = 0x08000000;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
constexpr DWORD INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000;

// HttpAddRequestHeaders modifiers.
constexpr DWORD HTTP_ADDREQ_FLAG_ADD_IF_NEW = 0x10000000;
constexpr DWORD HTTP_ADDREQ_FLAG_ADD = 0x20000000;
constexpr DWORD HTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

// HttpQueryInfo levels and modifiers.
constexpr DWORD HTTP_QUERY_CONTENT_TYPE = 1;
constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD HTTP_QUERY_LAST_MODIFIED = 11;
constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD HTTP_QUERY_STATUS_TEXT = 20;
constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22;
constexpr DWORD HTTP_QUERY_CONTENT_ENCODING = 29;
constexpr DWORD HTTP_QUERY_LOCATION = 33;
constexpr DWORD HTTP_QUERY_ACCEPT_RANGES = 42;
constexpr DWORD HTTP_QUERY_CONTENT_DISPOSITION = 47;
constexpr DWORD HTTP_QUERY_CONTENT_RANGE = 57;
constexpr DWORD HTTP_QUERY_CUSTOM = 65535;  // the buffer holds the header name
constexpr DWORD HTTP_QUERY_MODIFIER_FLAGS_MASK = 0xF8000000;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER64 = 0x08000000;  // 64-bit number (sizes over 4 GiB)
constexpr DWORD HTTP_QUERY_FLAG_REQUEST_HEADERS = 0x80000000;
constexpr DWORD HTTP_QUERY_FLAG_SYSTEMTIME = 0x40000000;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;

// Move methods of InternetSetFilePointer.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// Options.
constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
constexpr DWORD INTERNET_OPTION_SEND_TIMEOUT = 5;
constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
constexpr DWORD INTERNET_OPTION_USERNAME = 28;
constexpr DWORD INTERNET_OPTION_PASSWORD = 29;
constexpr DWORD INTERNET_OPTION_SECURITY_FLAGS = 31;
constexpr DWORD INTERNET_OPTION_PROXY_USERNAME = 43;
constexpr DWORD INTERNET_OPTION_PROXY_PASSWORD = 44;
constexpr DWORD INTERNET_OPTION_MAX_CONNS_PER_SERVER = 73;
constexpr DWORD INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER = 74;
constexpr DWORD INTERNET_OPTION_CLIENT_CERT_CONTEXT = 84;

// Security flags (option 31).
constexpr DWORD SECURITY_FLAG_IGNORE_REVOCATION = 0x00000080;
constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x00000100;
constexpr DWORD SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x00000200;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;

// URL schemes.
constexpr int INTERNET_SCHEME_UNKNOWN = -1;
constexpr int INTERNET_SCHEME_DEFAULT = 0;
constexpr int INTERNET_SCHEME_FTP = 1;
constexpr int INTERNET_SCHEME_GOPHER = 2;
constexpr int INTERNET_SCHEME_HTTP = 3;
constexpr int INTERNET_SCHEME_HTTPS = 4;
constexpr int INTERNET_SCHEME_FILE = 5;
constexpr int INTERNET_SCHEME_NEWS = 6;
constexpr int INTERNET_SCHEME_MAILTO = 7;
constexpr int INTERNET_SCHEME_SOCKS = 8;
constexpr int INTERNET_SCHEME_JAVASCRIPT = 9;
constexpr int INTERNET_SCHEME_VBSCRIPT = 10;
constexpr int INTERNET_SCHEME_RES = 11;

struct SYSTEMTIME {
  uint16_t wYear = 0, wMonth = 0, wDayOfWeek = 0, wDay = 0;
  uint16_t wHour = 0, wMinute = 0, wSecond = 0, wMilliseconds = 0;
};

// URL components with the buffer capacities of the cracking call: a component that
// does not fit its capacity (terminator included) fails with ERROR_INSUFFICIENT_BUFFER.
struct URL_COMPONENTS {
  int nScheme = INTERNET_SCHEME_DEFAULT;
  int nPort = 0;
  std::string scheme, hostName, userName, password, urlPath, extraInfo;
  size_t schemeCapacity = 32, hostNameCapacity = 256, userNameCapacity = 128,
         passwordCapacity = 128, urlPathCapacity = 2048, extraInfoCapacity = 1024;
};

DWORD GetLastError();
void SetLastError(DWORD code);

// English text of an error code ("" when the code is unknown), with its trailing
// period as a system message table would have it.
std::string FormatErrorMessage(DWORD code);
// False for an error that the same request meets again however often it is
// sent (a redirect to a scheme that is not followed, an address of such a
// scheme): nothing is gained by waiting and trying again.
bool RetryCanHelp(DWORD code);
// The server's last extended response text of this thread (empty for HTTP).
std::string InternetGetLastResponseInfo();

HINTERNET InternetOpen(const std::string& agent, DWORD accessType, const std::string& proxy,
                       const std::string& proxyBypass, DWORD flags);
HINTERNET InternetConnect(HINTERNET internet, const std::string& serverName, int serverPort,
                          const std::string* userName, const std::string* password, DWORD service,
                          DWORD flags, void* context);
HINTERNET HttpOpenRequest(HINTERNET connect, const std::string& verb, const std::string& object,
                          DWORD flags, void* context);
// Several header lines may be passed separated by CR LF.
bool HttpAddRequestHeaders(HINTERNET request, const std::string& headers, DWORD modifiers);
// Connects, sends the request and waits for the final response's headers; the body
// is then read with InternetReadFile. Sending again starts a new exchange.
bool HttpSendRequest(HINTERNET request);
// Buffer semantics: *length is the buffer size in bytes on entry and the data size
// on return (without terminator for texts); ERROR_INSUFFICIENT_BUFFER sets *length to
// the size needed. An absent header fails with ERROR_HTTP_HEADER_NOT_FOUND. index, when
// given, picks the n-th header of that name and is advanced on success.
bool HttpQueryInfo(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* length,
                   DWORD* index = nullptr);
// Reads up to toRead bytes; blocks until some data, the end (0 bytes, true) or an error.
bool InternetReadFile(HINTERNET file, void* buffer, DWORD toRead, DWORD* bytesRead);
// Serves a read from data the transport already holds or the socket has already
// received; false (and nothing read) when there is none. With waitMs > 0 it
// first waits up to that long on the calling thread for data to arrive (a close
// of the chain ends the wait). Only while no other call on the request runs: the
// download worker uses it between its own calls. With spill (and spilled), what
// arrives once buffer is full goes on into spill, up to spillRoom bytes, instead
// of waiting in the transport to be copied out by the next read: *bytesRead
// counts what is in buffer and *spilled what followed it in spill.
bool InternetReadFileBuffered(HINTERNET file, void* buffer, DWORD toRead, DWORD* bytesRead,
                              int waitMs = 0, void* spill = nullptr, DWORD spillRoom = 0,
                              DWORD* spilled = nullptr);
// Returns the new position, or -1 when the move is impossible. Moving to the end
// succeeds only when the response can be read at any offset.
int64_t InternetSetFilePointer(HINTERNET file, int64_t distance, DWORD moveMethod);
bool InternetQueryOption(HINTERNET internet, DWORD option, void* buffer, DWORD* length);
bool InternetSetOption(HINTERNET internet, DWORD option, const void* buffer, DWORD length);
bool InternetCloseHandle(HINTERNET internet);

bool InternetCrackUrl(const std::string& url, URL_COMPONENTS& components);
// bufferSize: the rebuilt URL must fit with its terminator.
bool InternetCreateUrl(const URL_COMPONENTS& components, std::string& url,
                       size_t bufferSize = 2055);

// Number of live handles (diagnostics and tests).
size_t OpenHandleCount();

}  // namespace wininet
