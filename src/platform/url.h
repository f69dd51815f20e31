// Stand-ins for the platform's URL services: canonicalising a URL and cracking
// it into its components, under their published names and with the published
// URL_COMPONENTSA record. The engine uses them to take the host name out of a
// link target.
//
// Both functions are pure and safe on any thread. Failures return FALSE; no
// thread error code is kept (callers only test the result).
#ifndef VELQUOR_PLATFORM_URL_H_
#define VELQUOR_PLATFORM_URL_H_

#include "velquor/types.h"

#if defined(_WIN32)
#include <wininet.h>
#else
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

typedef DWORD* LPDWORD;
typedef WORD INTERNET_PORT;

// Canonicalisation flags.
constexpr DWORD ICU_NO_ENCODE = 0x20000000u;
constexpr DWORD ICU_BROWSER_MODE = 0x02000000u;

typedef int32_t INTERNET_SCHEME;
constexpr INTERNET_SCHEME INTERNET_SCHEME_PARTIAL = -2;
constexpr INTERNET_SCHEME INTERNET_SCHEME_UNKNOWN = -1;
constexpr INTERNET_SCHEME INTERNET_SCHEME_DEFAULT = 0;
constexpr INTERNET_SCHEME INTERNET_SCHEME_FTP = 1;
constexpr INTERNET_SCHEME INTERNET_SCHEME_GOPHER = 2;
constexpr INTERNET_SCHEME INTERNET_SCHEME_HTTP = 3;
constexpr INTERNET_SCHEME INTERNET_SCHEME_HTTPS = 4;
constexpr INTERNET_SCHEME INTERNET_SCHEME_FILE = 5;
constexpr INTERNET_SCHEME INTERNET_SCHEME_NEWS = 6;
constexpr INTERNET_SCHEME INTERNET_SCHEME_MAILTO = 7;

constexpr INTERNET_PORT INTERNET_INVALID_PORT_NUMBER = 0;
constexpr INTERNET_PORT INTERNET_DEFAULT_FTP_PORT = 21;
constexpr INTERNET_PORT INTERNET_DEFAULT_GOPHER_PORT = 70;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

// The components of a URL. For each component: a null pointer with a non-zero
// length asks for a pointer into the URL and its length; a buffer with its
// size asks for a zero-terminated copy (the length then excludes the zero);
// a null pointer with length 0 leaves the component alone.
struct URL_COMPONENTSA {
  DWORD dwStructSize;
  LPSTR lpszScheme;
  DWORD dwSchemeLength;
  INTERNET_SCHEME nScheme;
  LPSTR lpszHostName;
  DWORD dwHostNameLength;
  INTERNET_PORT nPort;
  LPSTR lpszUserName;
  DWORD dwUserNameLength;
  LPSTR lpszPassword;
  DWORD dwPasswordLength;
  LPSTR lpszUrlPath;
  DWORD dwUrlPathLength;
  LPSTR lpszExtraInfo;
  DWORD dwExtraInfoLength;
};
typedef URL_COMPONENTSA* LPURL_COMPONENTSA;

// Canonicalises the zero-terminated `lpszUrl` into `lpszBuffer`, whose size in
// bytes `*lpdwBufferLength` gives. Strips bytes up to 0x20 at both ends,
// removes tabs, CRs and LFs, and percent-encodes unsafe bytes (with
// ICU_BROWSER_MODE only before the first "#" or "?"; not at all with
// ICU_NO_ENCODE). On success returns TRUE and sets *lpdwBufferLength to the
// result's length without its zero; when the buffer is too small returns FALSE
// and sets it to the size needed, zero included.
BOOL InternetCanonicalizeUrlA(LPCSTR lpszUrl, LPSTR lpszBuffer, LPDWORD lpdwBufferLength,
                              DWORD dwFlags);

// Cracks `lpszUrl` (dwUrlLength bytes, or zero-terminated when 0) into the
// components that `lpUrlComponents` asks for. Returns FALSE when the URL has
// no scheme, its port is not a number up to 65535, a requested buffer is too
// small, or an argument is null; `dwFlags` is accepted and ignored.
BOOL InternetCrackUrlA(LPCSTR lpszUrl, DWORD dwUrlLength, DWORD dwFlags,
                       LPURL_COMPONENTSA lpUrlComponents);

#endif  // _WIN32

#endif  // VELQUOR_PLATFORM_URL_H_
