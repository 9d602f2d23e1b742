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
#include "ahead.h"

#include <stdlib.h>

#ifdef ORVEL_FAULTS
HANDLE(WINAPI *OrvelCoreCreateFileW)
(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
 HANDLE) = CreateFileW;
HANDLE(WINAPI *OrvelAheadCreateFileW)
(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
 HANDLE) = CreateFileW;
#endif

namespace ahead {

CRITICAL_SECTION csAhead;
// Threads wait on semaphores, and are woken only where they wait: under Wine
// a semaphore's call waits its turn behind the opens that the system makes
// one at a time, and the core's thread would wait there with it.
HANDLE hWork = NULL;   // a semaphore: work queued for idle readers
int nIdleReaders = 0;  // readers that wait on it, or are to
HANDLE hDone = NULL;   // a file the core waits for is held
Item aItems[AHEAD_PAIRS];
Lookup aLookups[AHEAD_LOOKUPS];
// The core's handles to close, oldest first, and how many the closing
// thread is closing.
HANDLE ahCloses[AHEAD_CLOSES];
int nCloseAt = 0, nCloses = 0, nClosing = 0;
HANDLE hCloses = NULL;          // a semaphore: handles to close
bool bCloserIdle = false;       // the closing thread waits on it
WCHAR *pwszListing = NULL;      // the core's thread's: the listing
int nListingState = FILE_NONE;  // made ahead, as a lookup's
unsigned long ulNextSeq = 0;
DWORD dwBudgetUsed = 0;
bool bStarted = false;    // its threads are there
bool bStopped = false;    // given back for good
bool bForcedOff = false;  // the test build's ORVEL_AHEAD=0
int nSlowOpens = 0;       // up for a slow open, down for a fast one
LARGE_INTEGER liFrequency;

#ifdef ORVEL_FAULTS
int AheadEnv(const char *pszName)
{
    char szValue[16];
    DWORD dwLen = GetEnvironmentVariableA(pszName, szValue, sizeof(szValue));
    return dwLen > 0 && dwLen < sizeof(szValue) ? atoi(szValue) : -1;
}
#endif

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
        int nForced = AheadEnv("ORVEL_AHEAD");
        if (nForced >= 0)
            bGo = nForced == 1;
        bForcedOff = nForced == 0;
#endif
        if (bGo && !bStarted)
            AheadStart();
    }
    AheadFeed();
}

static void AheadEnded(int nSlot)
{
    if (!bStarted)
        return;
    // The walk is over: what it opened is closed before it returns, as
    // the core would have closed it, the one the closing thread is at too.
    if (pSearches[nSlot].nParent < 0) {
        AheadClosePending();
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
        if (AheadEnv("ORVEL_AHEAD_STEP") == 1)
            AheadSettle();
#endif
    }
    AheadRetire(nSlot, SIZE_MAX);
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
    AheadRetire(pItem->nSlot, pItem->nEntry);
    EnterCriticalSection(&csAhead);
    if (nFile == 1 && pItem->aFile[0].nState == FILE_HELD) {
        HANDLE hClose;
        AheadGiveUp(&pItem->aFile[0], &hClose);
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
void AheadSettle(void)
{
    DWORD dwLast = GetTickCount();
    DWORD dwWaited = 0;
    // Handles queued for a closing thread that closes nothing stay queued.
    const bool bCloser = AheadEnv("ORVEL_AHEAD_CLOSER") != 0;

    while (dwWaited < AHEAD_STEP_MS) {
        DWORD dwNow = GetTickCount();
        dwWaited += dwNow - dwLast < 1000 ? dwNow - dwLast : 1000;
        dwLast = dwNow;
        bool bSettled = true;
        EnterCriticalSection(&csAhead);
        for (int i = 0; i < AHEAD_PAIRS; i++)
            for (int f = 0; f < 2; f++)
                if (aItems[i].aFile[f].nState == FILE_BUSY ||
                    AheadClaimable(&aItems[i], f))
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
    AheadRetire(-1, 0);
    AheadClosePending();
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
        if (AheadEnv("ORVEL_AHEAD_STEP") == 1)
            AheadSettle();
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
                AheadStart();
        }
    }
    AheadFeed();
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

}  // namespace ahead

using namespace ahead;

void InstallAhead(void)
{
    InitializeCriticalSection(&csAhead);
    if (!QueryPerformanceFrequency(&liFrequency))
        liFrequency.QuadPart = 0;
    pAheadHooks = &kAhead;
}
