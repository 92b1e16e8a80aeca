// libcurl and libmicrohttpd, loaded by name when the configuration first needs them (an HTTP
// camera, the status page) rather than linked: a bridge that lights only VISCA cameras never
// maps them, nor the TLS, Kerberos and LDAP libraries they pull in, and stays a few MiB smaller.
// The package still depends on both, so a failed load means a broken installation; it is
// reported like any other set-up failure.
//
// Each table holds the functions this program calls, looked up once per load; a loaded library
// stays for the life of the process (RTLD_NODELETE), so a second load costs a lookup only.
#pragma once

#include <curl/curl.h>
#include <microhttpd.h>

#include <string>

// The functions, by the member name each gets (curl.h defines curl_easy_setopt and friends as
// type-checking macros, so the members cannot carry the libraries' own names).
#define QUORVEL_CURL_FUNCTIONS(X)                  \
  X(global_init, curl_global_init)                 \
  X(global_cleanup, curl_global_cleanup)           \
  X(multi_init, curl_multi_init)                   \
  X(multi_cleanup, curl_multi_cleanup)             \
  X(multi_setopt, curl_multi_setopt)               \
  X(multi_add_handle, curl_multi_add_handle)       \
  X(multi_remove_handle, curl_multi_remove_handle) \
  X(multi_socket_action, curl_multi_socket_action) \
  X(multi_info_read, curl_multi_info_read)         \
  X(multi_poll, curl_multi_poll)                   \
  X(multi_perform, curl_multi_perform)             \
  X(easy_init, curl_easy_init)                     \
  X(easy_cleanup, curl_easy_cleanup)               \
  X(easy_setopt, curl_easy_setopt)                 \
  X(easy_getinfo, curl_easy_getinfo)               \
  X(easy_strerror, curl_easy_strerror)             \
  X(slist_append, curl_slist_append)               \
  X(slist_free_all, curl_slist_free_all)

#define QUORVEL_MHD_FUNCTIONS(X)                                      \
  X(start_daemon, MHD_start_daemon)                                   \
  X(stop_daemon, MHD_stop_daemon)                                     \
  X(run, MHD_run)                                                     \
  X(get_timeout, MHD_get_timeout)                                     \
  X(get_daemon_info, MHD_get_daemon_info)                             \
  X(get_connection_info, MHD_get_connection_info)                     \
  X(suspend_connection, MHD_suspend_connection)                       \
  X(resume_connection, MHD_resume_connection)                         \
  X(create_response_from_buffer, MHD_create_response_from_buffer)     \
  X(create_response_from_callback, MHD_create_response_from_callback) \
  X(add_response_header, MHD_add_response_header)                     \
  X(queue_response, MHD_queue_response)                               \
  X(destroy_response, MHD_destroy_response)

#define QUORVEL_API_MEMBER(member, function) decltype(&::function) member = nullptr;

struct CurlApi {
  QUORVEL_CURL_FUNCTIONS(QUORVEL_API_MEMBER)
};

struct MhdApi {
  QUORVEL_MHD_FUNCTIONS(QUORVEL_API_MEMBER)
};

#undef QUORVEL_API_MEMBER

// Fills `api` from the library, loading it if needed. False, with the reason ("cannot load
// libcurl-gnutls.so.4: ..." or a missing function), leaving `api` empty.
bool curlLoad(CurlApi& api, std::string& error);
bool mhdLoad(MhdApi& api, std::string& error);
