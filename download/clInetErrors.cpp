#include "download/clInetErrors.h"

#include <curl/curl.h>

#include <map>

namespace wininet {
namespace detail {

DWORD& LastError() {
  thread_local DWORD lastError = 0;
  return lastError;
}

DWORD MapCurlCode(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
      return ERROR_SUCCESS;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_PEER_FAILED_VERIFICATION:
      return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_CONNECT_ERROR:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_SSL_CERTPROBLEM:
      return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

}  // namespace detail

DWORD GetLastError() {
  return detail::LastError();
}
void SetLastError(DWORD code) {
  detail::LastError() = code;
}

std::string FormatErrorMessage(DWORD code) {
  static const std::map<DWORD, const char*> kMessages = {
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory is available to complete this operation."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to the call is too small."},
      {WAIT_TIMEOUT, "The wait operation timed out."},
      {ERROR_CANCELLED, "The operation was cancelled by the user."},
      {ERROR_INTERNET_OUT_OF_HANDLES, "No more Internet handles could be allocated."},
      {ERROR_INTERNET_TIMEOUT, "The operation timed out."},
      {ERROR_INTERNET_EXTENDED_ERROR, "The server returned extended information."},
      {ERROR_INTERNET_INTERNAL_ERROR, "An internal error occurred in the Internet layer."},
      {ERROR_INTERNET_INVALID_URL, "The URL is invalid."},
      {ERROR_INTERNET_UNRECOGNIZED_SCHEME, "The URL does not use a recognized protocol."},
      {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name or address could not be resolved."},
      {ERROR_INTERNET_INVALID_OPTION, "An invalid option value was requested."},
      {ERROR_INTERNET_BAD_OPTION_LENGTH, "The length of the option value is not correct."},
      {ERROR_INTERNET_INVALID_OPERATION, "The requested operation is invalid."},
      {ERROR_INTERNET_OPERATION_CANCELLED, "The operation was cancelled."},
      {ERROR_INTERNET_INCORRECT_HANDLE_TYPE,
       "The handle is of the wrong type for the requested operation."},
      {ERROR_INTERNET_INCORRECT_HANDLE_STATE,
       "The requested operation cannot be carried out in the handle's current state."},
      {ERROR_INTERNET_CANNOT_CONNECT, "A connection with the server could not be established."},
      {ERROR_INTERNET_CONNECTION_ABORTED,
       "The connection with the server was terminated abnormally."},
      {ERROR_INTERNET_CONNECTION_RESET, "The connection with the server was reset."},
      {ERROR_INTERNET_FORCE_RETRY, "The request must be sent again."},
      {ERROR_INTERNET_SEC_CERT_DATE_INVALID,
       "The server's certificate has expired or is not yet valid."},
      {ERROR_INTERNET_SEC_CERT_CN_INVALID,
       "The server's certificate was issued for a different host name."},
      {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, "The server requires a client certificate."},
      {ERROR_INTERNET_INVALID_CA, "The server's certificate authority is not trusted."},
      {ERROR_HTTP_HEADER_NOT_FOUND, "The requested header could not be found."},
      {ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server response could not be parsed."},
      {ERROR_HTTP_INVALID_HEADER, "The supplied header is invalid."},
      {ERROR_HTTP_HEADER_ALREADY_EXISTS,
       "The header could not be added because it already exists."},
      {ERROR_HTTP_REDIRECT_FAILED, "The redirection failed."},
      {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "A secure channel could not be established."},
  };
  auto it = kMessages.find(code);
  return it == kMessages.end() ? "" : std::string(it->second) + "\r\n";
}

std::string InternetGetLastResponseInfo() {
  return std::string();
}

bool RetryCanHelp(DWORD code) {
  return code != ERROR_HTTP_REDIRECT_FAILED && code != ERROR_INTERNET_UNRECOGNIZED_SCHEME &&
         code != ERROR_INTERNET_INVALID_URL;
}

}  // namespace wininet
