// What the read-ahead agent's files share, and nothing else, in the
// namespace ahead:
//
//   ahead.cpp    its protocol with the core, its state, the core's side
//   readers.cpp  the threads that open, read, look up, list and close ahead
//   queue.cpp    what the core's walk gives them to do
#ifndef ORVEL_WIN32_AHEAD_H
#define ORVEL_WIN32_AHEAD_H

#include "internal.h"

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
extern HANDLE(WINAPI *OrvelCoreCreateFileW)(LPCWSTR, DWORD, DWORD,
                                            LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                            HANDLE);
extern HANDLE(WINAPI *OrvelAheadCreateFileW)(LPCWSTR, DWORD, DWORD,
                                             LPSECURITY_ATTRIBUTES, DWORD,
                                             DWORD, HANDLE);
#define CoreCreateFileW OrvelCoreCreateFileW
#define AgentCreateFileW OrvelAheadCreateFileW
// How long the test build's steps wait for the agent at most, in ms.
#define AHEAD_STEP_MS 20000
#else
#define CoreCreateFileW CreateFileW
#define AgentCreateFileW CreateFileW
#endif

namespace ahead {

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

extern CRITICAL_SECTION csAhead;
// Threads wait on semaphores, and are woken only where they wait: under Wine
// a semaphore's call waits its turn behind the opens that the system makes
// one at a time, and the core's thread would wait there with it.
extern HANDLE hWork;      // a semaphore: work queued for idle readers
extern int nIdleReaders;  // readers that wait on it, or are to
extern HANDLE hDone;      // a file the core waits for is held
extern Item aItems[AHEAD_PAIRS];
extern Lookup aLookups[AHEAD_LOOKUPS];
// The core's handles to close, oldest first, and how many the closing
// thread is closing.
extern HANDLE ahCloses[AHEAD_CLOSES];
extern int nCloseAt, nCloses, nClosing;
extern HANDLE hCloses;      // a semaphore: handles to close
extern bool bCloserIdle;    // the closing thread waits on it
extern WCHAR *pwszListing;  // the core's thread's: the listing
extern int nListingState;   // made ahead, as a lookup's
extern unsigned long ulNextSeq;
extern DWORD dwBudgetUsed;
extern bool bStarted;    // its threads are there
extern bool bStopped;    // given back for good
extern bool bForcedOff;  // the test build's ORVEL_AHEAD=0
extern int nSlowOpens;   // up for a slow open, down for a fast one
extern LARGE_INTEGER liFrequency;

#ifdef ORVEL_FAULTS
// ORVEL_AHEAD: "1" starts the agent with the walk, "0" never; unset, as the
// shipped program does. ORVEL_AHEAD_STEP=1: each open of the core waits
// first until the agent has nothing left that it can do.
// ORVEL_AHEAD_CLOSER=0: its closing thread closes nothing, so that the
// walk's end must close every handle the core gave it. -1 where unset.
int AheadEnv(const char *pszName);
// Waits, within AHEAD_STEP_MS, until the agent has nothing left to do.
void AheadSettle(void);
#endif

// ---- readers.cpp ------------------------------------------------------------
// Whether a reader may take file nFile of the item now. Under the lock.
bool AheadClaimable(const Item *pItem, int nFile);
// Closes on the core's thread the handles the closing thread has not taken
// yet.
void AheadClosePending(void);
// Makes the threads; false where the system gives none.
bool AheadStart(void);

// ---- queue.cpp --------------------------------------------------------------
// Gives the file up; a held handle goes to *phClose. Under the lock.
void AheadGiveUp(AheadFile *pFile, HANDLE *phClose);
// The core has gone past the entries of search nSlot before nBefore.
void AheadRetire(int nSlot, size_t nBefore);
// Wakes idle readers for nQueued new pieces of work.
void AheadWake(int nQueued);
// Queues what the core's walk shows next.
void AheadFeed(void);

}  // namespace ahead

#endif  // ORVEL_WIN32_AHEAD_H
