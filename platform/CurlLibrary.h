#pragma once

#include <curl/curl.h>

#include "platform/DynamicLibrary.h"

namespace platform {

// The libcurl functions that the HTTP senders call (telemetry ingestion, the update feed). libcurl
// brings a TLS stack, LDAP, Kerberos, SSH and more with it; none of that is needed until the first
// request, so it is opened then (see DynamicLibrary).
struct CurlFunctions {
  decltype(&::curl_global_init) curl_global_init = nullptr;
  decltype(&::curl_easy_init) curl_easy_init = nullptr;
  // Variadic, as declared: callers pass each option's value with the type libcurl expects (long,
  // curl_off_t, a pointer or a callback), exactly as with the linked function.
  decltype(&::curl_easy_setopt) curl_easy_setopt = nullptr;
  decltype(&::curl_easy_getinfo) curl_easy_getinfo = nullptr;
  decltype(&::curl_easy_perform) curl_easy_perform = nullptr;
  decltype(&::curl_easy_cleanup) curl_easy_cleanup = nullptr;
  decltype(&::curl_easy_strerror) curl_easy_strerror = nullptr;
  decltype(&::curl_slist_append) curl_slist_append = nullptr;
  decltype(&::curl_slist_free_all) curl_slist_free_all = nullptr;
  decltype(&::curl_multi_init) curl_multi_init = nullptr;
  decltype(&::curl_multi_setopt) curl_multi_setopt = nullptr;
  decltype(&::curl_multi_add_handle) curl_multi_add_handle = nullptr;
  decltype(&::curl_multi_remove_handle) curl_multi_remove_handle = nullptr;
  decltype(&::curl_multi_perform) curl_multi_perform = nullptr;
  decltype(&::curl_multi_info_read) curl_multi_info_read = nullptr;
  decltype(&::curl_multi_poll) curl_multi_poll = nullptr;
  decltype(&::curl_multi_wakeup) curl_multi_wakeup = nullptr;
  decltype(&::curl_multi_cleanup) curl_multi_cleanup = nullptr;
  decltype(&::curl_url) curl_url = nullptr;
  decltype(&::curl_url_set) curl_url_set = nullptr;
  decltype(&::curl_url_get) curl_url_get = nullptr;
  decltype(&::curl_url_cleanup) curl_url_cleanup = nullptr;
  decltype(&::curl_free) curl_free = nullptr;

  void bind(DynamicLibrarySymbols& symbols);
};

// libcurl ("libcurl.so.4"), opened on first use; curl_global_init has run once (on the thread that
// opened it, before any other thread gets the table).
DynamicLibrary<CurlFunctions>& curlLibrary();

// The table, or nullptr with an error that says why libcurl cannot be used.
inline const CurlFunctions* curl(Error* error = nullptr) { return curlLibrary().functions(error); }

}  // namespace platform
