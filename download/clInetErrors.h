#pragma once
#include "download/clWinInet.h"

// The transport's error codes on the calling thread and the translation of curl's
// result codes into them. Private to the transport's files.
namespace wininet::detail {

// The calling thread's last error (what GetLastError returns).
DWORD& LastError();
// The transport's code for a curl result code (CURLcode).
DWORD MapCurlCode(int curlCode);

}  // namespace wininet::detail
