// ORVEL: tells whether one directory tree holds the same files as another.
//
// Walks every file under the first tree, opens the file of the same relative
// path under the second, and compares the two byte for byte. A pair that
// cannot be read, differs in size or differs in content gets one line on
// standard output; equal pairs get none. The tool only ever reads.
#include "orvel.h"
#include "block.h"
#include "platform/platform.h"

// File pairs taken up so far, unreadable ones included; raised once at the
// start of every CompareFiles and reported in the summary line.
unsigned long ulNoOfFiles = 0;

// Message formats, apart from the texts they carry.
static const char szFmtText[] = "%s.\n";
static const char szFmtPathText[] = "%s: %s.\n";
static const char szFmtPairText[] = "%s, %s: %s.\n";
static const char szFmtCountText[] = "%lu %s.\n";
static const char szFmtProgress[] = "%s %lu.\r";

// Message texts.
static const char szBanner[] = BANNER_TEXT;
static const char szSyntax[] = "Syntax: ORVEL [path 1] [path 2]";
static const char szMemError[] = "Memory allocation error";
static const char szNotFound[] = "File not found";
static const char szReadError[] = "Error reading file";
static const char szDiffer[] = "Differences encountered";
static const char szDiffSize[] = "Files have different sizes";
static const char szComparing[] = "Comparing file";
static const char szFilesCompared[] = "files compared";
static const char szWriteError[] = "Error writing output";

// Compares the file pszFile1 of the first tree with pszFile2 of the second
// and prints one line unless they are byte-for-byte equal. Returns 1 only
// when memory runs out (the run must stop), else 0. Holds at most one of the
// two files open at a time, but for a first file of 4 GiB or more, and
// releases everything it took before it returns.
int CompareFiles(const char *pszFile1, const char *pszFile2)
{
    HANDLE hFile1 = NULL;
    HANDLE hFile2 = NULL;
    LPBYTE lpbData = NULL;
    LPBYTE lpbBuff = NULL;
    DWORD dwFile1Size;
    DWORD dwFile1SizeHigh;
    DWORD dwFile2Size;
    DWORD dwFile2SizeHigh;
    DWORD dwWindow;
    DWORD dwLeft;
    DWORD dwLeftHigh;
    DWORD dwBlocks;
    DWORD dwRemain;
    DWORD dwBlock;
    DWORD dwDummy;
    BYTE bProbe;
    int nReturnVal = 0;

    ulNoOfFiles++;
    fprintf(stderr, szFmtProgress, szComparing, ulNoOfFiles);

    // The first file is loaded whole, then closed before the second opens.
    // One of 4 GiB or more, which no 32-bit address space holds, is loaded a
    // window at a time instead, and stays open until its last window is in.
    hFile1 = CreateFileA(pszFile1, GENERIC_READ, FILE_SHARE_READ, NULL,
                         OPEN_EXISTING, 0, NULL);
    if (hFile1 == INVALID_HANDLE_VALUE) {
        hFile1 = NULL;
        goto ReadError1;
    }
    dwFile1Size = GetFileSize(hFile1, &dwFile1SizeHigh);
    if (dwFile1Size == INVALID_FILE_SIZE)
        goto ReadError1;
    dwWindow = dwFile1SizeHigh == 0 ? dwFile1Size : WINDOW_BYTES;
    lpbData = (LPBYTE)GlobalAlloc(GMEM_FIXED, dwWindow);
    if (lpbData == NULL)
        goto MemError;
    dwLeft = dwFile1Size;
    dwLeftHigh = dwFile1SizeHigh;

    // Window after window (one, the whole file, under 4 GiB), each compared
    // with the next bytes of the second file, which opens after the first.
    do {
        if (dwLeftHigh == 0 && dwLeft < dwWindow)
            dwWindow = dwLeft;
        // A read that delivers less than the size taken a moment ago means
        // the file shrank: the image would hold bytes that never came from it.
        if (!ReadFile(hFile1, lpbData, dwWindow, &dwDummy, NULL) ||
            dwDummy != dwWindow)
            goto ReadError1;
        if (dwLeft < dwWindow)
            dwLeftHigh--;
        dwLeft -= dwWindow;
        if (dwLeft == 0 && dwLeftHigh == 0) {
            // A file that grew since it was sized has bytes past the image:
            // the image is not the file, and comparing it could call unequal
            // files equal.
            if (!ReadFile(hFile1, &bProbe, 1, &dwDummy, NULL) || dwDummy != 0)
                goto ReadError1;
            CloseHandle(hFile1);
            hFile1 = NULL;
        }

        if (hFile2 == NULL) {
            hFile2 = CreateFileA(pszFile2, GENERIC_READ, FILE_SHARE_READ, NULL,
                                 OPEN_EXISTING, 0, NULL);
            if (hFile2 == INVALID_HANDLE_VALUE) {
                hFile2 = NULL;
                goto ReadError2;
            }
            dwFile2Size = GetFileSize(hFile2, &dwFile2SizeHigh);
            if (dwFile2Size == INVALID_FILE_SIZE)
                goto ReadError2;
            if (dwFile1Size != dwFile2Size ||
                dwFile1SizeHigh != dwFile2SizeHigh)
                goto DiffSize;
            lpbBuff = (LPBYTE)LocalAlloc(LMEM_FIXED, BLOCK_BYTES);
            if (lpbBuff == NULL)
                goto MemError;
        }

        dwBlocks = dwWindow >> BLOCK_SHIFT;
        dwRemain = dwWindow & BLOCK_MASK;
        for (dwBlock = 0; dwBlock < dwBlocks; dwBlock++) {
            if (!ReadFile(hFile2, lpbBuff, BLOCK_BYTES, &dwDummy, NULL) ||
                dwDummy != BLOCK_BYTES)
                goto ReadError2;
            if (memcmp(lpbData + dwBlock * BLOCK_BYTES, lpbBuff, BLOCK_BYTES) !=
                0)
                goto Differ;
        }
        if (dwRemain != 0) {
            if (!ReadFile(hFile2, lpbBuff, dwRemain, &dwDummy, NULL) ||
                dwDummy != dwRemain)
                goto ReadError2;
            if (memcmp(lpbData + dwBlocks * BLOCK_BYTES, lpbBuff, dwRemain) !=
                0)
                goto Differ;
        }
    } while (hFile1 != NULL);
    // Equal so far; bytes past the size taken mean the second file grew
    // under the run, and its first bytes, as many as sized, are not the file.
    if (!ReadFile(hFile2, &bProbe, 1, &dwDummy, NULL) || dwDummy != 0)
        goto ReadError2;
    goto CleanUp;

Differ:
    printf(szFmtPairText, pszFile1, pszFile2, szDiffer);
    goto CleanUp;
DiffSize:
    printf(szFmtPairText, pszFile1, pszFile2, szDiffSize);
    goto CleanUp;
ReadError1:
    printf(szFmtPathText, pszFile1, szReadError);
    goto CleanUp;
ReadError2:
    printf(szFmtPathText, pszFile2, szReadError);
    goto CleanUp;
MemError:
    printf(szFmtPathText, pszFile1, szMemError);
    nReturnVal = 1;

CleanUp:
    if (hFile1 != NULL)
        CloseHandle(hFile1);
    if (lpbData != NULL)
        GlobalFree(lpbData);
    if (hFile2 != NULL)
        CloseHandle(hFile2);
    if (lpbBuff != NULL)
        LocalFree(lpbBuff);
    return nReturnVal;
}

// Walks the directory pszPath1 of the first tree in step with pszPath2 of
// the second: every subdirectory pair is walked by a call of its own, every
// other entry is handed to CompareFiles. Returns 1 when the run must stop
// (memory ran out here or below), else 0. The two paths stay the caller's.
int CompareDirs(const char *pszPath1, const char *pszPath2)
{
    char *pszWildPath1 = NULL;
    struct ffblk *pFfBlk = NULL;
    char *pszLPath1 = NULL;
    char *pszLPath2 = NULL;
    int nFail;
    int nReturnVal = 0;

    pszWildPath1 =
        (char *)LocalAlloc(LMEM_FIXED, strlen(pszPath1) + sizeof(WILD_SUFFIX));
    if (pszWildPath1 == NULL)
        goto MemError;
    strcpy(pszWildPath1, pszPath1);
    strcat(pszWildPath1, WILD_SUFFIX);

    pFfBlk = (struct ffblk *)LocalAlloc(LMEM_FIXED, sizeof(struct ffblk));
    if (pFfBlk == NULL)
        goto MemError;

    nFail = findfirst(pszWildPath1, pFfBlk, FA_HIDDEN | FA_SYSTEM | FA_DIREC);
    if (nFail != 0)
        goto NotFound;

    while (nFail == 0) {
        if (!((pFfBlk->ff_attrib & FA_DIREC) &&
              (strcmp(pFfBlk->ff_name, ".") == 0 ||
               strcmp(pFfBlk->ff_name, "..") == 0))) {
            pszLPath1 = (char *)LocalAlloc(
                LMEM_FIXED, strlen(pszPath1) + strlen(pFfBlk->ff_name) + 2);
            if (pszLPath1 == NULL)
                goto MemError;
            strcpy(pszLPath1, pszPath1);
            strcat(pszLPath1, PATH_SEP_STR);
            strcat(pszLPath1, pFfBlk->ff_name);

            pszLPath2 = (char *)LocalAlloc(
                LMEM_FIXED, strlen(pszPath2) + strlen(pFfBlk->ff_name) + 2);
            if (pszLPath2 == NULL)
                goto MemError;
            strcpy(pszLPath2, pszPath2);
            strcat(pszLPath2, PATH_SEP_STR);
            strcat(pszLPath2, pFfBlk->ff_name);

            if (pFfBlk->ff_attrib & FA_DIREC) {
                if (CompareDirs(pszLPath1, pszLPath2) == 1)
                    goto Stop;
            } else {
                if (CompareFiles(pszLPath1, pszLPath2) == 1)
                    goto Stop;
            }
            LocalFree(pszLPath1);
            pszLPath1 = NULL;
            LocalFree(pszLPath2);
            pszLPath2 = NULL;
        }
        nFail = findnext(pFfBlk);
    }
    goto CleanUp;

NotFound:
    printf(szFmtPathText, pszPath1, szNotFound);
    goto CleanUp;
MemError:
    printf(szFmtText, szMemError);
    nReturnVal = 1;
    goto CleanUp;
Stop:
    nReturnVal = 1;

CleanUp:
    if (pszWildPath1 != NULL)
        LocalFree(pszWildPath1);
    if (pFfBlk != NULL)
        LocalFree(pFfBlk);
    if (pszLPath1 != NULL)
        LocalFree(pszLPath1);
    if (pszLPath2 != NULL)
        LocalFree(pszLPath2);
    return nReturnVal;
}

// Checks the command line, resolves both arguments to absolute directory
// paths without a trailing separator, walks them, and reports the count.
// Returns the exit status: 1 for a usage error, an argument that cannot be
// made absolute, a memory failure or a report that could not be written
// whole to standard output, else 0, differences or not.
int main(int argc, char **argv)
{
    char *pszPath1 = NULL;
    char *pszPath2 = NULL;
    const char *pszBadArg;
    size_t nLen;
    int nReturnVal = EXIT_WALKED;

    printf(szFmtText, szBanner);
    if (argc != 3)
        goto Syntax;

    pszPath1 = (char *)LocalAlloc(LMEM_FIXED, ROOT_PATH_BYTES);
    if (pszPath1 == NULL)
        goto MemError;
    pszPath2 = (char *)LocalAlloc(LMEM_FIXED, ROOT_PATH_BYTES);
    if (pszPath2 == NULL)
        goto MemError;

    pszBadArg = argv[1];
    if (_fullpath(pszPath1, argv[1], ROOT_PATH_BYTES) == NULL)
        goto NotFound;
    pszBadArg = argv[2];
    if (_fullpath(pszPath2, argv[2], ROOT_PATH_BYTES) == NULL)
        goto NotFound;

    // One trailing separator goes, so that joining a separator and a name
    // gives a well-formed child path also below a root such as C:\ or /.
    nLen = strlen(pszPath1);
    if (nLen > 0 && pszPath1[nLen - 1] == PATH_SEP_CHAR)
        pszPath1[nLen - 1] = '\0';
    nLen = strlen(pszPath2);
    if (nLen > 0 && pszPath2[nLen - 1] == PATH_SEP_CHAR)
        pszPath2[nLen - 1] = '\0';

    nReturnVal = CompareDirs(pszPath1, pszPath2);
    printf(szFmtCountText, ulNoOfFiles, szFilesCompared);
    goto CleanUp;

Syntax:
    printf(szFmtText, szSyntax);
    nReturnVal = EXIT_ERROR;
    goto CleanUp;
MemError:
    printf(szFmtText, szMemError);
    nReturnVal = EXIT_ERROR;
    goto CleanUp;
NotFound:
    printf(szFmtPathText, pszBadArg, szNotFound);
    nReturnVal = EXIT_ERROR;

CleanUp:
    if (pszPath1 != NULL)
        LocalFree(pszPath1);
    if (pszPath2 != NULL)
        LocalFree(pszPath2);
    // A report cut short (a full disk, a closed stream) must not end as a
    // run that went through: every line written so far is flushed and the
    // stream's error state tells whether any write failed.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, szFmtText, szWriteError);
        nReturnVal = EXIT_ERROR;
    }
    return nReturnVal;
}
