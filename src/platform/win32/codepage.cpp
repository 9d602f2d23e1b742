// Text in the process code page, and the arguments converted to it.
//
// The core's strings are in the process code page: UTF-8 where the manifest's
// activeCodePage takes effect (Windows 10 version 1903 and later), the ANSI
// code page elsewhere. Text is converted only exactly; where that cannot be,
// '?' stands for each character without an exact form, and since no file
// name may hold a '?', such a text opens and searches nothing: the core
// names it as unreadable or not found, and never takes the nearest letter
// (the "O" that best fit makes of an Omega) for another file.
#include "internal.h"

#include <limits.h>
#include <stdlib.h>
#include <wchar.h>

// The flags for an exact conversion to nCodePage. UTF-8 takes no best-fit
// flag (WideCharToMultiByte refuses it there, though Wine does not); with
// WC_ERR_INVALID_CHARS a lone surrogate fails the conversion rather than
// becoming U+FFFD. Elsewhere WC_NO_BEST_FIT_CHARS puts the default character
// where the round trip would not give the same character back.
// https://learn.microsoft.com/windows/win32/api/stringapiset/nf-stringapiset-widechartomultibyte
DWORD CodePageFlags(UINT nCodePage)
{
    return nCodePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
}

// Converts the NUL-terminated pwszText into pszOut of nOut bytes. True only
// when the conversion is exact and fits with its NUL.
bool WideToCodePage(const WCHAR *pwszText, char *pszOut, size_t nOut)
{
    UINT nCodePage = GetACP();
    BOOL bDefaulted = FALSE;

    if (nOut == 0)
        return false;
    if (WideCharToMultiByte(CP_ACP, CodePageFlags(nCodePage), pwszText, -1,
                            pszOut, nOut > INT_MAX ? INT_MAX : (int)nOut, NULL,
                            nCodePage == CP_UTF8 ? NULL : &bDefaulted) == 0)
        return false;
    return !bDefaulted;
}

// The form of pwszText to show where it has no exact one: each character
// converted on its own, '?' for each that does not convert exactly. "?"
// alone when even that does not fit nOut bytes.
void WideToShown(const WCHAR *pwszText, char *pszOut, size_t nOut)
{
    const DWORD dwFlags = CodePageFlags(GetACP());
    const bool bUtf8 = GetACP() == CP_UTF8;
    size_t nAt = 0;

    while (*pwszText != L'\0') {
        // A surrogate pair is one character; a lone surrogate converts alone
        // and fails.
        int nUnits =
            IS_HIGH_SURROGATE(pwszText[0]) && IS_LOW_SURROGATE(pwszText[1]) ? 2
                                                                            : 1;
        char szChar[8];
        BOOL bDefaulted = FALSE;
        int nBytes = WideCharToMultiByte(CP_ACP, dwFlags, pwszText, nUnits,
                                         szChar, sizeof(szChar), NULL,
                                         bUtf8 ? NULL : &bDefaulted);

        if (nBytes <= 0 || bDefaulted) {
            szChar[0] = '?';
            nBytes = 1;
        }
        if (nAt + nBytes + 1 > nOut) {
            nAt = 0;
            if (nOut >= 2)
                pszOut[nAt++] = '?';
            break;
        }
        memcpy(pszOut + nAt, szChar, nBytes);
        nAt += nBytes;
        pwszText += nUnits;
    }
    if (nOut > 0)
        pszOut[nAt] = '\0';
}

// pszText, in the process code page, as a UTF-16 string allocated with
// malloc; NULL for bytes that are no valid text in the code page, or when
// memory runs out.
WCHAR *CodePageToWide(const char *pszText)
{
    int nUnits =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszText, -1, NULL, 0);
    WCHAR *pwszText;

    if (nUnits <= 0)
        return NULL;
    pwszText = (WCHAR *)malloc(nUnits * sizeof(WCHAR));
    if (pwszText == NULL)
        return NULL;
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszText, -1, pwszText,
                            nUnits) != nUnits) {
        free(pwszText);
        return NULL;
    }
    return pwszText;
}

// The arguments as the entry handed them to the core, and which of them had
// no exact form in the code page: _fullpath refuses those, so that the core
// reports them as it reports any argument that cannot be resolved.
static char **ppszEntryArgs = NULL;
static bool *pbInexactArgs = NULL;
static int nEntryArgs = 0;

bool IsInexactArgument(const char *pszArg)
{
    for (int i = 0; i < nEntryArgs; i++)
        if (ppszEntryArgs[i] == pszArg)
            return pbInexactArgs[i];
    return false;
}

void FreeArguments(int argc, char **ppszArgv)
{
    if (ppszArgv == NULL)
        return;
    for (int i = 0; i < argc; i++)
        free(ppszArgv[i]);
    free(ppszArgv);
    if (ppszArgv == ppszEntryArgs) {
        free(pbInexactArgs);
        ppszEntryArgs = NULL;
        pbInexactArgs = NULL;
        nEntryArgs = 0;
    }
}

// The wide arguments ppwszArgv in the process code page, as a vector that
// ends in NULL, allocated with malloc; an argument without an exact form is
// shown with '?' and marked for _fullpath to refuse. The C run-time's own
// narrow arguments come through best fit: "Omega" would arrive as "O", and
// the full-width reverse solidus as a separator. NULL when memory runs out.
char **ArgumentsToCodePage(int argc, WCHAR **ppwszArgv)
{
    char **ppszArgv = (char **)calloc(argc + 1, sizeof(char *));
    bool *pbInexact = (bool *)calloc(argc + 1, sizeof(bool));

    if (ppszArgv == NULL || pbInexact == NULL)
        goto MemError;
    for (int i = 0; i < argc; i++) {
        // At most 3 bytes for each UTF-16 unit, in UTF-8 and in every
        // double-byte code page.
        size_t nBytes = 3 * wcslen(ppwszArgv[i]) + 1;
        ppszArgv[i] = (char *)malloc(nBytes);
        if (ppszArgv[i] == NULL)
            goto MemError;
        if (!WideToCodePage(ppwszArgv[i], ppszArgv[i], nBytes)) {
            WideToShown(ppwszArgv[i], ppszArgv[i], nBytes);
            pbInexact[i] = true;
        }
    }
    FreeArguments(nEntryArgs, ppszEntryArgs);
    ppszEntryArgs = ppszArgv;
    pbInexactArgs = pbInexact;
    nEntryArgs = argc;
    return ppszArgv;

MemError:
    if (ppszArgv != NULL)
        FreeArguments(argc, ppszArgv);
    free(pbInexact);
    return NULL;
}
