// CreateFileA, GetFileSize and CloseHandle: an open that takes disk files
// only, and a second tree's file only where it is the first one's namesake;
// a size that cannot pass a size of 4 GiB or more for a smaller one; a close
// that the read-ahead agent may make.
#include "internal.h"

#include <stdlib.h>

// The kernel's operations under their own names, for the bodies below.
#undef CreateFileA
#undef GetFileSize

// Opens the file by its exact name, a second tree's file only where it is
// the first one's namesake, by the names its directories list
// (CheckNamesake). Devices answer FILE_TYPE_CHAR, pipes FILE_TYPE_PIPE: a
// size and a read mean nothing for them, and a console would wait for
// input. With exact paths no file name stands for a device; the check stays
// for a path that names one itself ("\\.\COM1").
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfiletype
HANDLE OrvelCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                        DWORD dwShareMode,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                        HANDLE hTemplateFile)
{
    DWORD dwRefused;
    WCHAR *pwszPath = NULL;
    HANDLE hFile;

    dwRefused = CheckNamesake(lpFileName, &pwszPath);
    if (dwRefused != NO_ERROR) {
        SetLastError(dwRefused);
        return INVALID_HANDLE_VALUE;
    }
    if (pwszPath == NULL)
        pwszPath = ExactPath(lpFileName, L"");
    if (pwszPath == NULL)
        return INVALID_HANDLE_VALUE;
    hFile = (pAheadHooks != NULL ? pAheadHooks->pfnOpen : CreateFileW)(
        pwszPath, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
        dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    free(pwszPath);
    if (hFile != INVALID_HANDLE_VALUE && GetFileType(hFile) != FILE_TYPE_DISK) {
        CloseHandle(hFile);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

// A close, made by the read-ahead agent where it takes it.
BOOL OrvelCloseHandle(HANDLE hObject)
{
    if (pAheadHooks != NULL && pAheadHooks->pfnClose(hObject))
        return TRUE;
    return CloseHandle(hObject);
}

// GetFileSize rather than GetFileSizeEx, which Windows 95 and NT 4 lack:
// with a pointer for the high part it answers the whole size, and a low part
// of 0xFFFFFFFF is a failure only when GetLastError says so.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfilesize
DWORD OrvelGetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    DWORD dwHigh = 0;
    DWORD dwLow;

    SetLastError(NO_ERROR);
    dwLow = GetFileSize(hFile, &dwHigh);
    if (dwLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return INVALID_FILE_SIZE;
    if (lpFileSizeHigh != NULL) {
        *lpFileSizeHigh = dwHigh;
        return dwLow;
    }
    // Asked for the low part alone, a size that does not fit 32 bits would
    // be taken for a smaller one: answer failure instead, with its reason,
    // since a caller tells failure from a size of 0xFFFFFFFF by the last
    // error.
    if (dwHigh != 0) {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        return INVALID_FILE_SIZE;
    }
    return dwLow;
}
