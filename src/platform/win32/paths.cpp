// _fullpath, and the exact form in which every path goes to the system.
//
// Win32 normalises every path it is given: it strips trailing dots and
// spaces from each name (so "x." opens "x"), takes "nul.txt", "com1.log" or
// "CONIN$" in any directory for a device, and stops at MAX_PATH (260)
// characters. A path in the "\\?\" form goes to the file system as it is.
// The core's paths are absolute and already resolved (a resolved argument
// and names exactly as listed), which is what that form needs.
// https://learn.microsoft.com/windows/win32/fileio/naming-a-file#win32-file-namespaces
#include "internal.h"

#include <stdlib.h>
#include <wchar.h>

static bool StartsWith(const WCHAR *pwszText, const WCHAR *pwszStart)
{
    return wcsncmp(pwszText, pwszStart, wcslen(pwszStart)) == 0;
}

// The "\\?\" form of the absolute path pszPath with pwszTail appended,
// allocated with malloc: "C:\d" becomes "\\?\C:\d", "\\server\share\d"
// becomes "\\?\UNC\server\share\d", and "\\.\C:\d" becomes "\\?\C:\d" (the
// same device namespace, without normalisation); "\\?\..." stays as it is.
// NULL, with the last error set, for a path that is not absolute or has no
// exact UTF-16 form, and when memory runs out.
WCHAR *ExactPath(const char *pszPath, const WCHAR *pwszTail)
{
    WCHAR *pwszPath = CodePageToWide(pszPath);
    WCHAR *pwszExact = NULL;
    const WCHAR *pwszPrefix = L"\\\\?\\";
    const WCHAR *pwszRest;

    if (pwszPath == NULL) {
        SetLastError(ERROR_INVALID_NAME);
        goto CleanUp;
    }
    if (StartsWith(pwszPath, L"\\\\?\\") || StartsWith(pwszPath, L"\\\\.\\")) {
        pwszRest = pwszPath + 4;
    } else if (StartsWith(pwszPath, L"\\\\")) {
        pwszPrefix = L"\\\\?\\UNC\\";
        pwszRest = pwszPath + 2;
    } else if (pwszPath[0] != L'\0' && pwszPath[1] == L':' &&
               pwszPath[2] == L'\\') {
        pwszRest = pwszPath;
    } else {
        SetLastError(ERROR_INVALID_NAME);
        goto CleanUp;
    }
    pwszExact = (WCHAR *)malloc(
        (wcslen(pwszPrefix) + wcslen(pwszRest) + wcslen(pwszTail) + 1) *
        sizeof(WCHAR));
    if (pwszExact == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        goto CleanUp;
    }
    wcscpy(pwszExact, pwszPrefix);
    wcscat(pwszExact, pwszRest);
    wcscat(pwszExact, pwszTail);

CleanUp:
    free(pwszPath);
    return pwszExact;
}

// Whether Win32 resolution would change a name of pwszPath: it strips a
// trailing dot or space from every name, so that "D." resolves to "D",
// which may be another directory. "." and ".." are steps, not names; a
// "\\?\" path is not resolved at all.
static bool HasFoldedName(const WCHAR *pwszPath)
{
    if (StartsWith(pwszPath, L"\\\\?\\"))
        return false;
    if (pwszPath[0] != L'\0' && pwszPath[1] == L':')
        pwszPath += 2;  // "C:." is the current directory of drive C
    while (*pwszPath != L'\0') {
        const WCHAR *pwszEnd = pwszPath + wcscspn(pwszPath, L"\\/");
        size_t nLen = pwszEnd - pwszPath;
        bool bStep = (nLen == 1 && pwszPath[0] == L'.') ||
                     (nLen == 2 && pwszPath[0] == L'.' && pwszPath[1] == L'.');

        if (nLen > 0 && !bStep && (pwszEnd[-1] == L'.' || pwszEnd[-1] == L' '))
            return true;
        pwszPath = *pwszEnd != L'\0' ? pwszEnd + 1 : pwszEnd;
    }
    return false;
}

// Whether pwszPath starts in the Win32 device namespace, "\\.\".
static bool IsDevicePath(const WCHAR *pwszPath)
{
    return (pwszPath[0] == L'\\' || pwszPath[0] == L'/') &&
           (pwszPath[1] == L'\\' || pwszPath[1] == L'/') &&
           pwszPath[2] == L'.' && (pwszPath[3] == L'\\' || pwszPath[3] == L'/');
}

// The core drops one trailing separator from each resolved argument. In a
// double-byte code page (932, 936, 949, 950) a last byte 0x5C may be the
// second byte of a character (U+8868, a common kanji, is 95 5C in code page
// 932): then a separator is appended, for the core to drop instead. False
// when that does not fit nMaxLength bytes.
// https://learn.microsoft.com/windows/win32/api/winnls/nf-winnls-isdbcsleadbyteex
static bool KeepLastCharacter(char *pszPath, size_t nMaxLength)
{
    const UINT nCodePage = GetACP();
    size_t nLen = strlen(pszPath), nAt = 0, nLastAt = 0;

    if (nLen == 0 || pszPath[nLen - 1] != '\\' || nCodePage == CP_UTF8)
        return true;
    while (nAt < nLen) {
        nLastAt = nAt;
        nAt += IsDBCSLeadByteEx(nCodePage, (BYTE)pszPath[nAt]) && nAt + 1 < nLen
                   ? 2
                   : 1;
    }
    if (nLastAt == nLen - 1)
        return true;
    if (nLen + 2 > nMaxLength)
        return false;
    pszPath[nLen] = '\\';
    pszPath[nLen + 1] = '\0';
    return true;
}

// GetFullPathNameW has no MAX_PATH limit, where the C run-time's _fullpath
// resolves fewer than 260 characters. Like it, it works on the text and the
// current directory alone, by the Win32 rules: "/" becomes "\", "." and
// ".." go. An argument that those rules would turn into another name (a
// trailing dot or space stripped, a device made of the last name) is
// refused rather than taken for it; in the "\\?\" form it is taken as typed.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfullpathnamew
char *OrvelFullPath(char *pszAbsPath, const char *pszRelPath, size_t nMaxLength)
{
    WCHAR *pwszRel = NULL;
    WCHAR *pwszAbs = NULL;
    char *pszResult = NULL;
    DWORD dwNeed, dwGot;

    if (pszAbsPath == NULL || pszRelPath == NULL ||
        IsInexactArgument(pszRelPath))
        goto CleanUp;
    pwszRel = CodePageToWide(pszRelPath);
    if (pwszRel == NULL || HasFoldedName(pwszRel))
        goto CleanUp;
    if (StartsWith(pwszRel, L"\\\\?\\")) {
        // Taken as typed: GetFullPathNameW would still fold "\\?\C:\D." to
        // "\\?\C:\D".
        if (WideToCodePage(pwszRel, pszAbsPath, nMaxLength) &&
            KeepLastCharacter(pszAbsPath, nMaxLength))
            pszResult = pszAbsPath;
        goto CleanUp;
    }
    dwNeed = GetFullPathNameW(pwszRel, 0, NULL, NULL);
    if (dwNeed == 0)
        goto CleanUp;
    pwszAbs = (WCHAR *)malloc(dwNeed * sizeof(WCHAR));
    if (pwszAbs == NULL)
        goto CleanUp;
    dwGot = GetFullPathNameW(pwszRel, dwNeed, pwszAbs, NULL);
    if (dwGot == 0 || dwGot >= dwNeed)
        goto CleanUp;
    // A last name that Win32 takes for a device ("aux", "com1.txt" up to
    // Windows 10) resolves to "\\.\aux", a path nobody typed.
    if (IsDevicePath(pwszAbs) && !IsDevicePath(pwszRel))
        goto CleanUp;
    if (WideToCodePage(pwszAbs, pszAbsPath, nMaxLength) &&
        KeepLastCharacter(pszAbsPath, nMaxLength))
        pszResult = pszAbsPath;

CleanUp:
    free(pwszRel);
    free(pwszAbs);
    return pszResult;
}
