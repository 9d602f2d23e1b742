// Path resolution by text alone, as the C run-times of Windows do it: a
// relative path is joined to the current directory, and ".", ".." and
// repeated separators are folded without looking at the file system, so
// that every message names the path as the user spelled it, made absolute.
#include "internal.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "faults.h"

char *_fullpath(char *pszAbsPath, const char *pszRelPath, size_t nMaxLength)
{
    char *pszWork = NULL;  // "cwd/path" or "path", then folded in place
    char *pszCwd = NULL;
    char *pszResult = NULL;
    size_t nIn = 0, nOut = 0;

    if (pszAbsPath == NULL || pszRelPath == NULL || pszRelPath[0] == '\0')
        return NULL;
    if (pszRelPath[0] == '/') {
        pszWork = (char *)WorkAlloc(NULL, strlen(pszRelPath) + 1);
        if (pszWork != NULL)
            strcpy(pszWork, pszRelPath);
    } else {
        pszCwd = FAULT_FAIL_WORK_ALLOC() ? NULL : getcwd(NULL, 0);
        if (pszCwd == NULL || pszCwd[0] != '/')
            goto CleanUp;
        pszWork =
            (char *)WorkAlloc(NULL, strlen(pszCwd) + strlen(pszRelPath) + 2);
        if (pszWork != NULL) {
            strcpy(pszWork, pszCwd);
            strcat(pszWork, "/");
            strcat(pszWork, pszRelPath);
        }
    }
    if (pszWork == NULL)
        goto CleanUp;

    // Fold components left to right; the output, which never outgrows the
    // input, is written over the part already read. nOut is the length of
    // the result so far, which never ends in a separator.
    while (pszWork[nIn] != '\0') {
        size_t nStart, nCompLen;
        while (pszWork[nIn] == '/')
            nIn++;
        nStart = nIn;
        while (pszWork[nIn] != '\0' && pszWork[nIn] != '/')
            nIn++;
        nCompLen = nIn - nStart;
        if (nCompLen == 0 || (nCompLen == 1 && pszWork[nStart] == '.'))
            continue;
        if (nCompLen == 2 && pszWork[nStart] == '.' &&
            pszWork[nStart + 1] == '.') {
            while (nOut > 0 && pszWork[nOut - 1] != '/')
                nOut--;
            if (nOut > 0)
                nOut--;
            continue;
        }
        pszWork[nOut++] = '/';
        memmove(pszWork + nOut, pszWork + nStart, nCompLen);
        nOut += nCompLen;
    }
    if (nOut == 0)
        pszWork[nOut++] = '/';
    pszWork[nOut] = '\0';

    if (nOut + 1 <= nMaxLength) {
        memcpy(pszAbsPath, pszWork, nOut + 1);
        pszResult = pszAbsPath;
    }

CleanUp:
    free(pszWork);
    free(pszCwd);
    return pszResult;
}
