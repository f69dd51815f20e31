#include "platform/url.h"

BOOL InternetCanonicalizeUrlA(LPCSTR, LPSTR, LPDWORD, DWORD) { return FALSE; }

BOOL InternetCrackUrlA(LPCSTR, DWORD, DWORD, LPURL_COMPONENTSA) {
  return FALSE;
}
