// The read-ahead agent: on a network share or a slow disk, the next files of
// both trees opened and read into the system cache ahead of the core, the
// comparison itself unchanged.
//
// The core asks for one thing at a time (open, read, close, next), and on a
// share each request waits a round trip, while the server would answer
// dozens at once. The agent's readers open the files the core will open
// next, by the very paths the core's opens go by, and read them through a
// scratch buffer of their own, so that the system cache holds them when the
// core reads; each handle is kept for the core's open of that path, which
// takes it instead of opening the file again. The core still reads every
// byte it compares itself, through that handle, so a file that changes is
// compared as it is when the core reads it.
//
// One walk: the agent has no walk of its own. It reads the listings of the
// core's searches (the innermost one, the entries after the one delivered
// last, up to the next subdirectory, which the core walks first), and takes
// each pair's paths where the core's opens take them (ListedFirst,
// ListedSecond in namesake.cpp): a first file only for an entry the core
// opens as a file, a second one only once the core's namesake check has
// listed its directory, by the names listed there, and only after the
// first file opened as a disk file. Nothing else is opened: no directory, no
// device (a handle to anything but a disk file is closed at once), nothing
// for writing.
//
// Each file opened once: the agent opens as the core does (GENERIC_READ,
// FILE_SHARE_READ, OPEN_EXISTING), with FILE_FLAG_SEQUENTIAL_SCAN besides,
// which only steers the cache. An open of the core's with those arguments
// takes the agent's handle of that path, put back at the file's start:
// held with read sharing alone since it was opened, the file could be
// neither written, renamed nor deleted meanwhile, so that it is the one the
// name gives. Any other open, and one whose file the agent has not opened,
// goes to the system. Where a reader is at the very file the core opens,
// the core waits for that open, which it would otherwise make itself, and
// the reader stops reading at once.
//
// Besides the files: the names of the second directory the namesake check
// lists next are looked up (attributes only, by the first tree's names,
// many at once), and the directory the core lists next is listed while it
// compares files, so that its listings find their entries in the system's
// caches; and the core's closes are made by a thread of the agent's, so
// that the core does not wait its turn for them where the system makes
// its requests one at a time (Wine's one server). The walk still returns
// with every file it opened closed.
//
// When it starts: where the comparison waits. A tree on a remote drive (a
// UNC path, a mapped network drive) starts it with the walk; elsewhere the
// core's own opens are timed: each longer than AHEAD_SLOW_US counts up,
// each shorter down, and AHEAD_SLOW_OPENS up start it. A cached tree, whose
// opens take a tenth of that under Wine, never does, and has no thread of
// it. Once started it works until the run ends.
//
// Within a budget: AHEAD_PAIRS pairs ahead of the core (two handles each at
// most) and AHEAD_BYTES of file data read and not yet taken by the core;
// AHEAD_READERS threads, each with a scratch buffer of AHEAD_CHUNK.
//
// Safe: its readers call KERNEL32 alone (no allocation, no C run-time), so
// that the process may end whatever they are doing: they are never waited
// for, and ExitProcess ends them, also where one waits on a share that
// does not answer. Out of handles (an open of the core's fails for want of
// resources), the agent stops for good and closes every handle it holds
// before the open is tried again.
#include "internal.h"

#include <stdlib.h>
#include <wchar.h>

#define AHEAD_PAIRS 64
#define AHEAD_BYTES ((DWORD)64 << 20)
#define AHEAD_READERS 4
#define AHEAD_CHUNK ((DWORD)256 << 10)
#define AHEAD_SLOW_US 500
#define AHEAD_SLOW_OPENS 8
#define AHEAD_LOOKUPS 128
#define AHEAD_CLOSES 256

#ifdef ORVEL_FAULTS
// The layer's own test steers the core's opens to stage a process out of
// handles, which no system here runs into on cue, and watches the agent's
// own opens.
HANDLE(WINAPI *OrvelCoreCreateFileW)
(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
 HANDLE) = CreateFileW;
HANDLE(WINAPI *OrvelAheadCreateFileW)
(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
 HANDLE) = CreateFileW;
#define CoreCreateFileW OrvelCoreCreateFileW
#define AgentCreateFileW OrvelAheadCreateFileW
// How long the test build's steps wait for the agent at most, in ms.
#define AHEAD_STEP_MS 20000
#else
#define CoreCreateFileW CreateFileW
#define AgentCreateFileW CreateFileW
#endif

// A file of a pair, from the agent's point of view.
enum FileState {
    FILE_NONE,    // no path (yet)
    FILE_QUEUED,  // for a reader
    FILE_BUSY,    // a reader opens and reads it
    FILE_HELD,    // done: hFile, open or INVALID_HANDLE_VALUE, for the core
    FILE_DONE     // taken by the core, or given up
};

struct AheadFile {
    WCHAR *pwszPath;  // the core's thread's: allocated and freed there
    HANDLE hFile;
    int nState;
    bool bWanted;         // the core waits for it
    bool bDisk;           // it opened as a disk file
    volatile LONG lStop;  // its reader is to stop reading
    DWORD dwSizeLow, dwSizeHigh;
    DWORD dwBudget;  // bytes of the budget it holds
};

struct Item {
    bool bUsed;
    bool bRetired;  // the core has gone past it
    int nSlot;      // the search, and the entry of its listing
    size_t nEntry;
    unsigned long ulSeq;  // order of queueing: the readers take the lowest
    AheadFile aFile[2];
};

// A name of the second tree looked up ahead of the namesake check's
// listing of its directory.
struct Lookup {
    WCHAR *pwszPath;  // the core's thread's: allocated and freed there
    int nSlot;        // the search whose second directory it is in
    int nState;       // FILE_NONE (free), FILE_QUEUED, FILE_BUSY, FILE_DONE
};

static CRITICAL_SECTION csAhead;
// Threads wait on semaphores, and are woken only where they wait: under Wine
// a semaphore's call waits its turn behind the opens that the system makes
// one at a time, and the core's thread would wait there with it.
static HANDLE hWork = NULL;   // a semaphore: work queued for idle readers
static int nIdleReaders = 0;  // readers that wait on it, or are to
static HANDLE hDone = NULL;   // a file the core waits for is held
static Item aItems[AHEAD_PAIRS];
static Lookup aLookups[AHEAD_LOOKUPS];
// The core's handles to close, oldest first, and how many the closing
// thread is closing.
static HANDLE ahCloses[AHEAD_CLOSES];
static int nCloseAt = 0, nCloses = 0, nClosing = 0;
static HANDLE hCloses = NULL;          // a semaphore: handles to close
static bool bCloserIdle = false;       // the closing thread waits on it
static WCHAR *pwszListing = NULL;      // the core's thread's: the listing
static int nListingState = FILE_NONE;  // made ahead, as a lookup's
static unsigned long ulNextSeq = 0;
static DWORD dwBudgetUsed = 0;
static bool bStarted = false;    // its threads are there
static bool bStopped = false;    // given back for good
static bool bForcedOff = false;  // the test build's ORVEL_AHEAD=0
static int nSlowOpens = 0;       // up for a slow open, down for a fast one
static LARGE_INTEGER liFrequency;

#ifdef ORVEL_FAULTS
// ORVEL_AHEAD: "1" starts the agent with the walk, "0" never; unset, as the
// shipped program does. ORVEL_AHEAD_STEP=1: each open of the core waits
// first until the agent has nothing left that it can do.
// ORVEL_AHEAD_CLOSER=0: its closing thread closes nothing, so that the
// walk's end must close every handle the core gave it.
static int EnvNumber(const char *pszName)
{
    char szValue[16];
    DWORD dwLen = GetEnvironmentVariableA(pszName, szValue, sizeof(szValue));
    return dwLen > 0 && dwLen < sizeof(szValue) ? atoi(szValue) : -1;
}
#endif

#ifdef ORVEL_FAULTS
static void Settle(void);
#endif

// Whether a reader may take file nFile of the item now. Under the lock.
static bool Claimable(const Item *pItem, int nFile)
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
            if (Claimable(&aItems[i], f) &&
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
        // Idle: woken only where there is work (Wake).
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
    if (EnvNumber("ORVEL_AHEAD_CLOSER") == 0)
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
static void ClosePending(void)
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
static bool Start(void)
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

// Gives the file up: a held handle goes to *phClose for the caller to close
// outside the lock, a queued file is never read, one a reader is at is
// closed by it. Under the lock.
static void GiveUp(AheadFile *pFile, HANDLE *phClose)
{
    *phClose = INVALID_HANDLE_VALUE;
    if (pFile->nState == FILE_BUSY) {
        InterlockedExchange(&pFile->lStop, 1);
        return;
    }
    if (pFile->nState == FILE_HELD)
        *phClose = pFile->hFile;
    if (pFile->nState != FILE_NONE)
        pFile->nState = FILE_DONE;
    dwBudgetUsed -= pFile->dwBudget;
    pFile->dwBudget = 0;
}

// Retires the items of search nSlot before its entry nBefore (every one for
// SIZE_MAX, and every item of any search for nSlot -1): the core has gone
// past them. Closes what they hold.
static void Retire(int nSlot, size_t nBefore)
{
    HANDLE ahClose[2 * AHEAD_PAIRS];
    int nClose = 0;

    EnterCriticalSection(&csAhead);
    for (int i = 0; i < AHEAD_PAIRS; i++) {
        Item *pItem = &aItems[i];
        if (!pItem->bUsed || pItem->bRetired ||
            (nSlot >= 0 && (pItem->nSlot != nSlot || pItem->nEntry >= nBefore)))
            continue;
        pItem->bRetired = true;
        for (int f = 0; f < 2; f++) {
            HANDLE hClose;
            GiveUp(&pItem->aFile[f], &hClose);
            if (hClose != INVALID_HANDLE_VALUE)
                ahClose[nClose++] = hClose;
        }
    }
    LeaveCriticalSection(&csAhead);
    for (int i = 0; i < nClose; i++)
        CloseHandle(ahClose[i]);
}

// Frees what items that no reader will touch again hold, for new ones. On
// the core's thread.
static int Reclaim(void)
{
    int nFree = 0;

    EnterCriticalSection(&csAhead);
    for (int i = 0; i < AHEAD_PAIRS; i++) {
        Item *pItem = &aItems[i];
        bool bBusy = pItem->aFile[0].nState == FILE_BUSY ||
                     pItem->aFile[1].nState == FILE_BUSY;
        if (pItem->bUsed && pItem->bRetired && !bBusy) {
            free(pItem->aFile[0].pwszPath);
            free(pItem->aFile[1].pwszPath);
            memset(pItem, 0, sizeof(*pItem));
        }
        if (!pItem->bUsed)
            nFree++;
    }
    LeaveCriticalSection(&csAhead);
    return nFree;
}

// Wakes as many idle readers as there are new jobs, and no more. On the
// core's thread.
static void Wake(int nQueued)
{
    int nWake;

    EnterCriticalSection(&csAhead);
    nWake = nQueued < nIdleReaders ? nQueued : nIdleReaders;
    nIdleReaders -= nWake;
    LeaveCriticalSection(&csAhead);
    if (nWake > 0)
        ReleaseSemaphore(hWork, nWake, NULL);
}

// Hands the readers the names of the second directory that the namesake
// check of the innermost search lists next, where that directory is known
// and not listed yet: the listing reads every entry's attributes, one
// entry after the other, each a round trip on a share, and finds them in
// the system's caches once the readers have looked them up, many at once.
// A lookup reads attributes alone, of entries of the very directory the
// listing reads them of, by the first tree's names; it opens nothing.
// Frees what lookups are done and gives up those whose directory is
// listed. On the core's thread; returns how many it queued.
static int FeedLookups(void)
{
    int nSlot = nInnermost, nQueued = 0;
    Search *pSearch = &pSearches[nSlot];
    WCHAR *pwszDir;
    size_t i, nDir;

    EnterCriticalSection(&csAhead);
    for (int k = 0; k < AHEAD_LOOKUPS; k++) {
        Lookup *pLookup = &aLookups[k];
        if (pLookup->nState == FILE_QUEUED && pLookup->nSlot == nSlot &&
            pSearch->pwszSecond != NULL)
            pLookup->nState = FILE_DONE;
        if (pLookup->nState == FILE_DONE) {
            free(pLookup->pwszPath);
            memset(pLookup, 0, sizeof(*pLookup));
        }
    }
    LeaveCriticalSection(&csAhead);
    if (pSearch->nTouchAt >= pSearch->first.nListed ||
        (pwszDir = SecondDirAhead(nSlot)) == NULL)
        return 0;
    nDir = wcslen(pwszDir);
    for (i = pSearch->nTouchAt; i < pSearch->first.nListed; i++) {
        const Listed *pEntry = &pSearch->first.pListed[i];
        const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;
        size_t nName = wcslen(pwszName);
        Lookup *pLookup = aLookups;
        WCHAR *pwszPath;

        if (pEntry->bRefused || wcscmp(pwszName, L".") == 0 ||
            wcscmp(pwszName, L"..") == 0)
            continue;
        while (pLookup < aLookups + AHEAD_LOOKUPS &&
               pLookup->nState != FILE_NONE)
            pLookup++;
        if (pLookup == aLookups + AHEAD_LOOKUPS)
            break;
        pwszPath = (WCHAR *)malloc((nDir + nName + 1) * sizeof(WCHAR));
        if (pwszPath == NULL)
            break;
        memcpy(pwszPath, pwszDir, nDir * sizeof(WCHAR));
        memcpy(pwszPath + nDir, pwszName, (nName + 1) * sizeof(WCHAR));
        EnterCriticalSection(&csAhead);
        pLookup->pwszPath = pwszPath;
        pLookup->nSlot = nSlot;
        pLookup->nState = FILE_QUEUED;
        LeaveCriticalSection(&csAhead);
        nQueued++;
    }
    pSearch->nTouchAt = i;
    free(pwszDir);
    return nQueued;
}

// The pattern of the listing the core's walk makes next, once it has
// compared the files before it: the first subdirectory after the entry
// delivered last, in the innermost search or the nearest one up the walk
// that has one. Allocated with malloc; NULL where there is none, where it
// was listed ahead already, and where the core's search would refuse it.
static WCHAR *NextListing(void)
{
    for (int nSlot = nInnermost; nSlot >= 0; nSlot = pSearches[nSlot].nParent) {
        Search *pSearch = &pSearches[nSlot];
        for (size_t i = pSearch->nLast + 1; i < pSearch->first.nListed; i++) {
            const Listed *pEntry = &pSearch->first.pListed[i];
            const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;
            char szName[FF_NAME_BYTES];
            WCHAR wszTail[MAX_PATH + 2];

            if (!pEntry->bDir || wcscmp(pwszName, L".") == 0 ||
                wcscmp(pwszName, L"..") == 0)
                continue;
            if (pSearch->nListAheadAt == i + 1 || pEntry->bRefused ||
                wcslen(pwszName) >= MAX_PATH ||
                !WideToCodePage(pwszName, szName, sizeof(szName)))
                return NULL;
            pSearch->nListAheadAt = i + 1;
            wcscpy(wszTail, pwszName);
            wcscat(wszTail, L"\\*");
            return ExactPath(pSearch->pszDir, wszTail);
        }
    }
    return NULL;
}

// Hands a reader the listing the core makes next, once the core's listings
// of the innermost search's directories are done: a listing holds a lock
// that the core's would wait for. Frees the one made before. On the core's
// thread; returns how many it queued.
static int FeedListing(void)
{
    const Search *pSearch = &pSearches[nInnermost];
    WCHAR *pwszNext;

    EnterCriticalSection(&csAhead);
    if (nListingState == FILE_DONE) {
        free(pwszListing);
        pwszListing = NULL;
        nListingState = FILE_NONE;
    }
    LeaveCriticalSection(&csAhead);
    // The core lists no directory while it compares the files of the
    // innermost one, once it has listed its second tree's namesake: not
    // after it has been handed a subdirectory, which it lists next.
    if (nListingState != FILE_NONE || pSearch->pwszSecond == NULL ||
        pSearch->first.pListed[pSearch->nLast].bDir ||
        (pwszNext = NextListing()) == NULL)
        return 0;
    EnterCriticalSection(&csAhead);
    pwszListing = pwszNext;
    nListingState = FILE_QUEUED;
    LeaveCriticalSection(&csAhead);
    return 1;
}

// Hands the readers the next files of the innermost search, and the second
// files of those queued before the second directory was listed. On the
// core's thread, after each of its steps.
static void Feed(void)
{
    Search *pSearch;
    int nSlot = nInnermost, nFree, nQueued = 0;
    size_t i;

    if (!bStarted || bStopped || bForcedOff || nSlot < 0)
        return;
    nQueued = FeedLookups() + FeedListing();
    nFree = Reclaim();
    pSearch = &pSearches[nSlot];
    for (int k = 0; pSearch->pwszSecond != NULL && k < AHEAD_PAIRS; k++) {
        Item *pItem = &aItems[k];
        WCHAR *pwszSecond;
        if (!pItem->bUsed || pItem->bRetired || pItem->nSlot != nSlot ||
            pItem->aFile[1].pwszPath != NULL)
            continue;
        pwszSecond = ListedSecond(nSlot, pItem->nEntry);
        EnterCriticalSection(&csAhead);
        if (pwszSecond != NULL && !pItem->bRetired &&
            pItem->aFile[0].nState != FILE_DONE) {
            pItem->aFile[1].pwszPath = pwszSecond;
            pItem->aFile[1].nState = FILE_QUEUED;
            pwszSecond = NULL;
            nQueued++;
        }
        LeaveCriticalSection(&csAhead);
        free(pwszSecond);
    }
    // The entries after the one delivered last, up to the next directory,
    // which the core walks before them.
    i = pSearch->nAheadAt > pSearch->nLast ? pSearch->nAheadAt : pSearch->nLast;
    for (; i < pSearch->first.nListed && nFree > 0; i++) {
        const Listed *pEntry = &pSearch->first.pListed[i];
        const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;
        WCHAR *pwszFirst;
        Item *pItem = aItems;

        if (pEntry->bDir) {
            if (i > pSearch->nLast && wcscmp(pwszName, L".") != 0 &&
                wcscmp(pwszName, L"..") != 0)
                break;
            continue;
        }
        pwszFirst = ListedFirst(nSlot, i);
        if (pwszFirst == NULL)
            continue;
        while (pItem->bUsed)
            pItem++;
        pItem->nSlot = nSlot;
        pItem->nEntry = i;
        pItem->aFile[0].pwszPath = pwszFirst;
        pItem->aFile[1].pwszPath = ListedSecond(nSlot, i);
        pItem->aFile[0].hFile = pItem->aFile[1].hFile = INVALID_HANDLE_VALUE;
        EnterCriticalSection(&csAhead);
        pItem->ulSeq = ulNextSeq++;
        pItem->aFile[0].nState = FILE_QUEUED;
        pItem->aFile[1].nState =
            pItem->aFile[1].pwszPath != NULL ? FILE_QUEUED : FILE_NONE;
        pItem->bUsed = true;
        LeaveCriticalSection(&csAhead);
        nFree--;
        nQueued++;
    }
    pSearch->nAheadAt = i;
    Wake(nQueued);
}

// Whether the comparison waits on the drive of the search's directory: a
// network path or a remote drive.
static bool IsRemote(const Search *pSearch)
{
    const char *pszDir = pSearch->pszDir;
    char szRoot[4] = {pszDir[0], ':', '\\', '\0'};

    if (pszDir[0] == '\\' && pszDir[1] == '\\') {
        if ((pszDir[2] != '?' && pszDir[2] != '.') || pszDir[3] != '\\')
            return true;  // \\server\share
        if (strncmp(pszDir + 4, "UNC\\", 4) == 0)
            return true;
        szRoot[0] = pszDir[4];
        if (pszDir[4] == '\0' || pszDir[5] != ':')
            return false;
    } else if (pszDir[0] == '\0' || pszDir[1] != ':') {
        return false;
    }
    return GetDriveTypeA(szRoot) == DRIVE_REMOTE;
}

static void AheadDelivered(int nSlot, bool bStartedNow)
{
    // A walk starts at a search that no other search delivered: the
    // program's one walk, or each of a test's.
    if (bStartedNow && pSearches[nSlot].nParent < 0) {
        bool bGo = IsRemote(&pSearches[nSlot]);
#ifdef ORVEL_FAULTS
        int nForced = EnvNumber("ORVEL_AHEAD");
        if (nForced >= 0)
            bGo = nForced == 1;
        bForcedOff = nForced == 0;
#endif
        if (bGo && !bStarted)
            Start();
    }
    Feed();
}

static void AheadEnded(int nSlot)
{
    if (!bStarted)
        return;
    // The walk is over: what it opened is closed before it returns, as
    // the core would have closed it, the one the closing thread is at too.
    if (pSearches[nSlot].nParent < 0) {
        ClosePending();
        for (;;) {
            bool bClosing;
            EnterCriticalSection(&csAhead);
            bClosing = nClosing > 0;
            LeaveCriticalSection(&csAhead);
            if (!bClosing)
                break;
            Sleep(1);
        }
#ifdef ORVEL_FAULTS
        if (EnvNumber("ORVEL_AHEAD_STEP") == 1)
            Settle();
#endif
    }
    Retire(nSlot, SIZE_MAX);
    EnterCriticalSection(&csAhead);
    for (int k = 0; k < AHEAD_LOOKUPS; k++)
        if (aLookups[k].nSlot == nSlot && aLookups[k].nState == FILE_QUEUED)
            aLookups[k].nState = FILE_DONE;
    LeaveCriticalSection(&csAhead);
}

// The agent's handle of pwszPath, taken by the core: INVALID_HANDLE_VALUE
// where it has none to give. Where a reader is at the file, waits for its
// open and stops its reading.
static HANDLE Take(const WCHAR *pwszPath)
{
    HANDLE hFile = INVALID_HANDLE_VALUE;
    Item *pItem = NULL;
    int nFile = 0;

    EnterCriticalSection(&csAhead);
    for (int i = 0; i < AHEAD_PAIRS && pItem == NULL; i++)
        for (int f = 0; f < 2; f++)
            if (aItems[i].bUsed && !aItems[i].bRetired &&
                aItems[i].aFile[f].pwszPath != NULL &&
                wcscmp(aItems[i].aFile[f].pwszPath, pwszPath) == 0) {
                pItem = &aItems[i];
                nFile = f;
                break;
            }
    LeaveCriticalSection(&csAhead);
    if (pItem == NULL)
        return INVALID_HANDLE_VALUE;
    // The core is at this entry: the ones before it are behind it.
    Retire(pItem->nSlot, pItem->nEntry);
    EnterCriticalSection(&csAhead);
    if (nFile == 1 && pItem->aFile[0].nState == FILE_HELD) {
        HANDLE hClose;
        GiveUp(&pItem->aFile[0], &hClose);
        if (hClose != INVALID_HANDLE_VALUE) {
            LeaveCriticalSection(&csAhead);
            CloseHandle(hClose);
            EnterCriticalSection(&csAhead);
        }
    }
    AheadFile *pFile = &pItem->aFile[nFile];
    while (pFile->nState == FILE_BUSY) {
        pFile->bWanted = true;
        InterlockedExchange(&pFile->lStop, 1);
        LeaveCriticalSection(&csAhead);
        WaitForSingleObject(hDone, INFINITE);
        EnterCriticalSection(&csAhead);
    }
    if (pFile->nState == FILE_HELD)
        hFile = pFile->hFile;
    if (pFile->nState != FILE_NONE)
        pFile->nState = FILE_DONE;
    dwBudgetUsed -= pFile->dwBudget;
    pFile->dwBudget = 0;
    if (nFile == 1 || pItem->aFile[1].nState == FILE_NONE)
        pItem->bRetired = true;
    LeaveCriticalSection(&csAhead);
    return hFile;
}

#ifdef ORVEL_FAULTS
// Waits, within a bound, until no reader is at work and none can be. The
// bound counts each pause as a second at most, so that a machine paused
// meanwhile (a virtual machine's snapshot) does not use it up.
static void Settle(void)
{
    DWORD dwLast = GetTickCount();
    DWORD dwWaited = 0;
    // Handles queued for a closing thread that closes nothing stay queued.
    const bool bCloser = EnvNumber("ORVEL_AHEAD_CLOSER") != 0;

    while (dwWaited < AHEAD_STEP_MS) {
        DWORD dwNow = GetTickCount();
        dwWaited += dwNow - dwLast < 1000 ? dwNow - dwLast : 1000;
        dwLast = dwNow;
        bool bSettled = true;
        EnterCriticalSection(&csAhead);
        for (int i = 0; i < AHEAD_PAIRS; i++)
            for (int f = 0; f < 2; f++)
                if (aItems[i].aFile[f].nState == FILE_BUSY ||
                    Claimable(&aItems[i], f))
                    bSettled = false;
        for (int i = 0; i < AHEAD_LOOKUPS; i++)
            if (aLookups[i].nState == FILE_QUEUED ||
                aLookups[i].nState == FILE_BUSY)
                bSettled = false;
        if (nListingState == FILE_QUEUED || nListingState == FILE_BUSY ||
            (bCloser && nCloses > 0) || nClosing > 0)
            bSettled = false;
        LeaveCriticalSection(&csAhead);
        if (bSettled)
            return;
        Sleep(1);
    }
    fprintf(stderr,
            "orvel: the read-ahead agent was still at work after %d "
            "ms\n",
            AHEAD_STEP_MS);
}
#endif

// Stops the agent for good and closes every handle it holds: the process is
// out of them.
static void GiveBack(void)
{
    EnterCriticalSection(&csAhead);
    bStopped = true;
    LeaveCriticalSection(&csAhead);
    ReleaseSemaphore(hWork, AHEAD_READERS, NULL);
    Retire(-1, 0);
    ClosePending();
}

// Whether a failed open is the process or the system out of the resources
// that the agent's handles hold.
static bool IsOutOfHandles(DWORD dwError)
{
    return dwError == ERROR_TOO_MANY_OPEN_FILES ||
           dwError == ERROR_NO_SYSTEM_RESOURCES ||
           dwError == ERROR_NOT_ENOUGH_MEMORY || dwError == ERROR_OUTOFMEMORY;
}

static HANDLE WINAPI AheadOpen(const WCHAR *pwszPath, DWORD dwDesiredAccess,
                               DWORD dwShareMode,
                               LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                               DWORD dwCreationDisposition,
                               DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    HANDLE hFile = INVALID_HANDLE_VALUE;
    LARGE_INTEGER liBefore, liAfter;
    bool bAsAgent = dwDesiredAccess == GENERIC_READ &&
                    dwShareMode == FILE_SHARE_READ &&
                    lpSecurityAttributes == NULL &&
                    dwCreationDisposition == OPEN_EXISTING &&
                    dwFlagsAndAttributes == 0 && hTemplateFile == NULL;

    if (bStarted && !bStopped && bAsAgent) {
#ifdef ORVEL_FAULTS
        if (EnvNumber("ORVEL_AHEAD_STEP") == 1)
            Settle();
#endif
        hFile = Take(pwszPath);
    }
    if (hFile == INVALID_HANDLE_VALUE) {
        QueryPerformanceCounter(&liBefore);
        hFile = CoreCreateFileW(pwszPath, dwDesiredAccess, dwShareMode,
                                lpSecurityAttributes, dwCreationDisposition,
                                dwFlagsAndAttributes, hTemplateFile);
        QueryPerformanceCounter(&liAfter);
        if (hFile == INVALID_HANDLE_VALUE && bStarted && !bStopped &&
            IsOutOfHandles(GetLastError())) {
            GiveBack();
            hFile = CoreCreateFileW(pwszPath, dwDesiredAccess, dwShareMode,
                                    lpSecurityAttributes, dwCreationDisposition,
                                    dwFlagsAndAttributes, hTemplateFile);
        }
        // Slow opens count up, fast ones down: a run of them starts the
        // agent, a few slowed by the machine's load do not.
        if (!bStarted && !bForcedOff && liFrequency.QuadPart > 0) {
            if ((liAfter.QuadPart - liBefore.QuadPart) * 1000000 >
                (LONGLONG)AHEAD_SLOW_US * liFrequency.QuadPart)
                nSlowOpens++;
            else if (nSlowOpens > 0)
                nSlowOpens--;
            if (nSlowOpens >= AHEAD_SLOW_OPENS)
                Start();
        }
    }
    Feed();
    return hFile;
}

// Takes the core's handle for the closing thread, within a walk, while the
// agent works and has room for it.
static bool AheadClose(HANDLE hObject)
{
    bool bTaken = false, bWake = false;

    if (!bStarted || bForcedOff || hCloses == NULL || nInnermost < 0)
        return false;
    EnterCriticalSection(&csAhead);
    if (!bStopped && nCloses < AHEAD_CLOSES) {
        ahCloses[(nCloseAt + nCloses) % AHEAD_CLOSES] = hObject;
        nCloses++;
        bTaken = true;
        bWake = bCloserIdle;
        bCloserIdle = false;
    }
    LeaveCriticalSection(&csAhead);
    if (bWake)
        ReleaseSemaphore(hCloses, 1, NULL);
    return bTaken;
}

static const AheadHooks kAhead = {AheadDelivered, AheadEnded, AheadOpen,
                                  AheadClose};

void InstallAhead(void)
{
    InitializeCriticalSection(&csAhead);
    if (!QueryPerformanceFrequency(&liFrequency))
        liFrequency.QuadPart = 0;
    pAheadHooks = &kAhead;
}
