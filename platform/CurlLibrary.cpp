#include "platform/CurlLibrary.h"

#include <string>

namespace platform {

void CurlFunctions::bind(DynamicLibrarySymbols& symbols) {
  symbols(curl_global_init, "curl_global_init");
  symbols(curl_easy_init, "curl_easy_init");
  symbols(curl_easy_setopt, "curl_easy_setopt");
  symbols(curl_easy_getinfo, "curl_easy_getinfo");
  symbols(curl_easy_perform, "curl_easy_perform");
  symbols(curl_easy_cleanup, "curl_easy_cleanup");
  symbols(curl_easy_strerror, "curl_easy_strerror");
  symbols(curl_slist_append, "curl_slist_append");
  symbols(curl_slist_free_all, "curl_slist_free_all");
  symbols(curl_multi_init, "curl_multi_init");
  symbols(curl_multi_setopt, "curl_multi_setopt");
  symbols(curl_multi_add_handle, "curl_multi_add_handle");
  symbols(curl_multi_remove_handle, "curl_multi_remove_handle");
  symbols(curl_multi_perform, "curl_multi_perform");
  symbols(curl_multi_info_read, "curl_multi_info_read");
  symbols(curl_multi_poll, "curl_multi_poll");
  symbols(curl_multi_wakeup, "curl_multi_wakeup");
  symbols(curl_multi_cleanup, "curl_multi_cleanup");
  symbols(curl_url, "curl_url");
  symbols(curl_url_set, "curl_url_set");
  symbols(curl_url_get, "curl_url_get");
  symbols(curl_url_cleanup, "curl_url_cleanup");
  symbols(curl_free, "curl_free");
}

DynamicLibrary<CurlFunctions>& curlLibrary() {
  // curl_global_init is not thread-safe and must precede every other call; the library's one-time
  // load runs it under the table's lock, before any caller sees the table. Never destroyed (see
  // DynamicLibrary).
  static auto& library =
      *new DynamicLibrary<CurlFunctions>("libcurl.so.4", [](const CurlFunctions& curl, std::string* failure) {
        CURLcode code = curl.curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code == CURLE_OK) return true;
        *failure = "curl_global_init failed: " + std::string(curl.curl_easy_strerror(code));
        return false;
      });
  return library;
}

}  // namespace platform
