// The read-ahead agent's threads: readers that open and read the next files
// of both trees, look up the second tree's names and list the next
// directory, and the thread that makes the core's closes. The protocol is
// told in ahead.cpp.
#include "ahead.h"

namespace ahead {

// Whether a reader may take file nFile of the item now. Under the lock.
bool AheadClaimable(const Item *pItem, int nFile)
{
    const AheadFile *pFirst = &pItem->aFile[0];

    if (!pItem->bUsed || pItem->bRetired ||
        pItem->aFile[nFile].nState != FILE_QUEUED)
        return false;
    return nFile == 0 || (pFirst->bDisk && (pFirst->nState == FILE_HELD ||
                                            pFirst->nState == FILE_DONE));
}

// The file a reader takes next: the lowest in the core's order. Under the
// lock.
static AheadFile *Claim(Item **ppItem)
{
    Item *pBest = NULL;
    int nBest = 0;

    for (int i = 0; i < AHEAD_PAIRS; i++)
        for (int f = 0; f < 2; f++)
            if (AheadClaimable(&aItems[i], f) &&
                (pBest == NULL || aItems[i].ulSeq < pBest->ulSeq)) {
                pBest = &aItems[i];
                nBest = f;
            }
    *ppItem = pBest;
    return pBest != NULL ? &pBest->aFile[nBest] : NULL;
}

// Opens the file as the core does and reads it into the system cache, as
// far as the budget allows, until its end or until told to stop; the handle
// goes back to the file's start. Outside the lock, but for the budget.
static HANDLE OpenAndRead(Item *pItem, AheadFile *pFile, BYTE *pbScratch)
{
    HANDLE hFile =
        AgentCreateFileW(pFile->pwszPath, GENERIC_READ, FILE_SHARE_READ, NULL,
                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    DWORD dwLow, dwHigh = 0, dwWant = 0, dwGot;
    bool bSized;

    if (hFile == INVALID_HANDLE_VALUE)
        return hFile;
    if (GetFileType(hFile) != FILE_TYPE_DISK) {
        CloseHandle(hFile);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(NO_ERROR);
    dwLow = GetFileSize(hFile, &dwHigh);
    bSized = dwLow != INVALID_FILE_SIZE || GetLastError() == NO_ERROR;
    EnterCriticalSection(&csAhead);
    pFile->bDisk = true;
    pFile->dwSizeLow = dwLow;
    pFile->dwSizeHigh = dwHigh;
    // A second file is read only where the core reads it: its size the
    // first one's.
    if (bSized &&
        (pFile == &pItem->aFile[0] || (dwLow == pItem->aFile[0].dwSizeLow &&
                                       dwHigh == pItem->aFile[0].dwSizeHigh))) {
        dwWant = AHEAD_BYTES - dwBudgetUsed;
        if (dwHigh == 0 && dwLow < dwWant)
            dwWant = dwLow;
        dwBudgetUsed += dwWant;
        pFile->dwBudget = dwWant;
    }
    LeaveCriticalSection(&csAhead);
    while (dwWant > 0 && pFile->lStop == 0 &&
           ReadFile(hFile, pbScratch,
                    dwWant < AHEAD_CHUNK ? dwWant : AHEAD_CHUNK, &dwGot,
                    NULL) &&
           dwGot > 0)
        dwWant -= dwGot;
    if (SetFilePointer(hFile, 0, NULL, FILE_BEGIN) != 0) {
        CloseHandle(hFile);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

// The lookup a reader takes next, before any file: the core's listing
// waits for it. Under the lock.
static Lookup *ClaimLookup(void)
{
    for (int i = 0; i < AHEAD_LOOKUPS; i++)
        if (aLookups[i].nState == FILE_QUEUED)
            return &aLookups[i];
    return NULL;
}

// Lists the directory of pwszPattern, as the core's search will, and
// forgets it: the entries' attributes are then in the system's caches.
static void ListAhead(const WCHAR *pwszPattern)
{
    WIN32_FIND_DATAW fdEntry;
    HANDLE hFind = FindFirstFileExW(pwszPattern, FindExInfoStandard, &fdEntry,
                                    FindExSearchNameMatch, NULL, 0);

    if (hFind == INVALID_HANDLE_VALUE)
        return;
    while (FindNextFileW(hFind, &fdEntry)) {
    }
    FindClose(hFind);
}

// A reader: takes the next file, opens and reads it, holds it for the core.
static DWORD WINAPI ReadAhead(LPVOID pvScratch)
{
    EnterCriticalSection(&csAhead);
    for (;;) {
        Item *pItem;
        AheadFile *pFile;

        while (!bStopped) {
            HANDLE hFile, hClose = INVALID_HANDLE_VALUE;
            Lookup *pLookup = ClaimLookup();

            if (pLookup != NULL) {
                WIN32_FILE_ATTRIBUTE_DATA fadEntry;
                pLookup->nState = FILE_BUSY;
                LeaveCriticalSection(&csAhead);
                GetFileAttributesExW(pLookup->pwszPath, GetFileExInfoStandard,
                                     &fadEntry);
                EnterCriticalSection(&csAhead);
                pLookup->nState = FILE_DONE;
                continue;
            }
            if (nListingState == FILE_QUEUED) {
                nListingState = FILE_BUSY;
                LeaveCriticalSection(&csAhead);
                ListAhead(pwszListing);
                EnterCriticalSection(&csAhead);
                nListingState = FILE_DONE;
                continue;
            }
            if ((pFile = Claim(&pItem)) == NULL)
                break;
            pFile->nState = FILE_BUSY;
            LeaveCriticalSection(&csAhead);
            hFile = OpenAndRead(pItem, pFile, (BYTE *)pvScratch);
            EnterCriticalSection(&csAhead);
            if (pItem->bRetired || bStopped) {
                hClose = hFile;
                dwBudgetUsed -= pFile->dwBudget;
                pFile->dwBudget = 0;
                pFile->nState = FILE_DONE;
            } else {
                pFile->hFile = hFile;
                pFile->nState = FILE_HELD;
            }
            if (pFile->bWanted)
                SetEvent(hDone);
            if (hClose != INVALID_HANDLE_VALUE) {
                LeaveCriticalSection(&csAhead);
                CloseHandle(hClose);
                EnterCriticalSection(&csAhead);
            }
        }
        if (bStopped)
            break;
        // Idle: woken only where there is work (AheadWake).
        nIdleReaders++;
        LeaveCriticalSection(&csAhead);
        WaitForSingleObject(hWork, INFINITE);
        EnterCriticalSection(&csAhead);
    }
    LeaveCriticalSection(&csAhead);
    return 0;
}

// The closing thread: closes the core's handles in the order it gave them.
static DWORD WINAPI CloseBehind(LPVOID)
{
#ifdef ORVEL_FAULTS
    if (AheadEnv("ORVEL_AHEAD_CLOSER") == 0)
        for (;;)
            WaitForSingleObject(hCloses, INFINITE);
#endif
    for (;;) {
        HANDLE hClose;

        EnterCriticalSection(&csAhead);
        while (nCloses == 0) {
            bCloserIdle = true;
            LeaveCriticalSection(&csAhead);
            WaitForSingleObject(hCloses, INFINITE);
            EnterCriticalSection(&csAhead);
        }
        hClose = ahCloses[nCloseAt];
        nCloseAt = (nCloseAt + 1) % AHEAD_CLOSES;
        nCloses--;
        nClosing++;
        LeaveCriticalSection(&csAhead);
        CloseHandle(hClose);
        EnterCriticalSection(&csAhead);
        nClosing--;
        LeaveCriticalSection(&csAhead);
    }
}

// Closes on the core's thread the handles the closing thread has not taken
// yet: the walk is over, or the process is out of handles.
void AheadClosePending(void)
{
    HANDLE ahClose[AHEAD_CLOSES];
    int nClose = 0;

    EnterCriticalSection(&csAhead);
    while (nCloses > 0) {
        ahClose[nClose++] = ahCloses[nCloseAt];
        nCloseAt = (nCloseAt + 1) % AHEAD_CLOSES;
        nCloses--;
    }
    LeaveCriticalSection(&csAhead);
    for (int i = 0; i < nClose; i++)
        CloseHandle(ahClose[i]);
}

// Makes the threads; false where the system gives none, and the agent then
// stays out of the run.
bool AheadStart(void)
{
    int nReaders = 0;

    bStarted = true;
    hWork = CreateSemaphoreW(NULL, 0, 0x7FFFFFFF, NULL);
    hDone = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (hWork == NULL || hDone == NULL) {
        bStopped = true;
        return false;
    }
    // Without a closing thread the core closes its handles itself.
    hCloses = CreateSemaphoreW(NULL, 0, 0x7FFFFFFF, NULL);
    if (hCloses != NULL) {
        HANDLE hThread = CreateThread(NULL, 64 * 1024, CloseBehind, NULL,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
        if (hThread != NULL)
            CloseHandle(hThread);  // never waited for
        else {
            CloseHandle(hCloses);
            hCloses = NULL;
        }
    }
    for (int i = 0; i < AHEAD_READERS; i++) {
        void *pvScratch = VirtualAlloc(
            NULL, AHEAD_CHUNK, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        HANDLE hThread =
            pvScratch != NULL
                ? CreateThread(NULL, 64 * 1024, ReadAhead, pvScratch,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, NULL)
                : NULL;
        if (hThread == NULL) {
            if (pvScratch != NULL)
                VirtualFree(pvScratch, 0, MEM_RELEASE);
            break;
        }
        CloseHandle(hThread);  // never waited for
        nReaders++;
    }
    if (nReaders == 0)
        bStopped = true;
    return nReaders > 0;
}

}  // namespace ahead
