// Options of the handle layer: time limits, credentials and security flags kept on
// the handles (a child inherits what it does not set), and the process-wide
// connection counts.
#include "download/clInetHandles.h"

namespace wininet {
namespace {

using namespace detail;

std::atomic<DWORD> g_maxConnsPerServer{2};
std::atomic<DWORD> g_maxConnsPer10Server{4};

bool SetStringOption(std::optional<std::string>& field, const void* buffer, DWORD length) {
  const char* text = static_cast<const char*>(buffer);
  field = buffer ? std::string(text, strnlen(text, length)) : std::string();
  return true;
}

}  // namespace

bool InternetQueryOption(HINTERNET internet, DWORD option, void* buffer, DWORD* length) {
  if (option == INTERNET_OPTION_MAX_CONNS_PER_SERVER)
    return CopyValue<DWORD>(g_maxConnsPerServer, buffer, length);
  if (option == INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER)
    return CopyValue<DWORD>(g_maxConnsPer10Server, buffer, length);
  auto h = Lookup(internet);
  if (!h) {
    LastError() = ERROR_INVALID_HANDLE;
    return false;
  }
  auto text = [&](std::optional<std::string> Handle::*field) {
    return CopyOut(h->Inherited(field).value_or(""), buffer, length);
  };
  auto timeout = [&](std::optional<DWORD> Handle::*field) {
    return CopyValue<DWORD>(h->Inherited(field).value_or(0), buffer, length);
  };
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      return timeout(&Handle::connectTimeout);
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      return timeout(&Handle::receiveTimeout);
    case INTERNET_OPTION_SEND_TIMEOUT:
      return timeout(&Handle::sendTimeout);
    case INTERNET_OPTION_USERNAME:
      return text(&Handle::userName);
    case INTERNET_OPTION_PASSWORD:
      return text(&Handle::password);
    case INTERNET_OPTION_PROXY_USERNAME:
      return text(&Handle::proxyUserName);
    case INTERNET_OPTION_PROXY_PASSWORD:
      return text(&Handle::proxyPassword);
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (h->kind != Kind::Request) {
        LastError() = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
        return false;
      }
      return CopyValue<DWORD>(static_cast<RequestHandle&>(*h).securityFlags, buffer, length);
    default:
      LastError() = ERROR_INTERNET_INVALID_OPTION;
      return false;
  }
}

bool InternetSetOption(HINTERNET internet, DWORD option, const void* buffer, DWORD length) {
  auto dword = [&](DWORD& out) {
    if (!buffer || length < sizeof(DWORD)) {
      LastError() = ERROR_INTERNET_BAD_OPTION_LENGTH;
      return false;
    }
    std::memcpy(&out, buffer, sizeof(DWORD));
    return true;
  };
  DWORD value = 0;
  if (option == INTERNET_OPTION_MAX_CONNS_PER_SERVER ||
      option == INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER) {
    if (!dword(value)) return false;
    (option == INTERNET_OPTION_MAX_CONNS_PER_SERVER ? g_maxConnsPerServer : g_maxConnsPer10Server) =
        value;
    return true;
  }
  auto h = Lookup(internet);
  if (!h) {
    LastError() = ERROR_INVALID_HANDLE;
    return false;
  }
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      return dword(value) && (h->connectTimeout = value, true);
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      return dword(value) && (h->receiveTimeout = value, true);
    case INTERNET_OPTION_SEND_TIMEOUT:
      return dword(value) && (h->sendTimeout = value, true);
    case INTERNET_OPTION_USERNAME:
      return SetStringOption(h->userName, buffer, length);
    case INTERNET_OPTION_PASSWORD:
      return SetStringOption(h->password, buffer, length);
    case INTERNET_OPTION_PROXY_USERNAME:
      return SetStringOption(h->proxyUserName, buffer, length);
    case INTERNET_OPTION_PROXY_PASSWORD:
      return SetStringOption(h->proxyPassword, buffer, length);
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (h->kind != Kind::Request) {
        LastError() = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
        return false;
      }
      return dword(static_cast<RequestHandle&>(*h).securityFlags);
    default:
      LastError() = ERROR_INTERNET_INVALID_OPTION;
      return false;
  }
}

}  // namespace wininet
