// The read-ahead agent's shared state, its threads' waits and wakes, and
// starting and stopping it (what the state means: ahead.h).
#include "ahead.h"

#if ORVEL_LINUX

#include <signal.h>
#include <sys/resource.h>

namespace ahead {

pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
pthread_cond_t condOpened = PTHREAD_COND_INITIALIZER;
pthread_cond_t condWalker = PTHREAD_COND_INITIALIZER;
pthread_cond_t condClaim = PTHREAD_COND_INITIALIZER;
pthread_cond_t condAdmit = PTHREAD_COND_INITIALIZER;
bool bCoreAwaits = false;
Item aItems[AHEAD_FILES];
uint64_t qwTail = 0, qwClaim = 0, qwAhead = 0;
uint64_t aqwWorking[AHEAD_SHARE_READERS];
int nReaders = 0;
bool bShare = false;
int nHeld = 0;
bool abOnShare[2] = {false, false};
bool bStop = false, bLost = false, bWalked = false;
int fdRoot1 = -1, fdRoot2 = -1;
bool bRootAwaited = false;
uint64_t qwCoreSeq = 0;
int nCoreFile = 0;
uint64_t qwCoreAt = 0, qwLastMiss = 0, qwCoreHas = 0;
bool bForced = false;
uint64_t qwAsked = 0;

// The threads: which are there, and which wait for the core to move (a wait
// on cond that nothing has woken since).
static bool abLive[AHEAD_THREADS];
static bool abIdle[AHEAD_THREADS];
static int nLive = 0;
static pthread_cond_t condIdle = PTHREAD_COND_INITIALIZER;  // the test
                                                            // build's steps
static clockid_t clkWait = CLOCK_REALTIME;  // the clock cond, condIdle and
                                            // condAdmit time their waits on
static int nFdCeiling = 0;  // the agent's descriptors stay below

#define NS_PER_SECOND 1000000000L
#define AHEAD_BUDGET_WAIT_NS 5000000L  // how long the budget waits at a time

uint64_t Load(const uint64_t *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

void Store(uint64_t *p, uint64_t qw)
{
    __atomic_store_n(p, qw, __ATOMIC_RELAXED);
}

bool Active(void)
{
    return bForced ||
           (qwLastMiss != 0 && qwCoreSeq < qwLastMiss + AHEAD_WINDOW);
}

// Wakes the threads nWhom names that wait, under mtx: something they wait
// for changed. Only those that may have work: each wake of a thread with
// none is a switch to it and back, thousands a second on a share. The test
// build's steps (FAULT_AHEAD_STEP) wake every thread at every change, so
// that a thread the core waits for never sleeps through one.
void Wake(int nWhom)
{
    bool bAny = false;

    if (FAULT_AHEAD_STEP() != 0 || nWhom == WAKE_ALL) {
        for (int i = 0; i < AHEAD_THREADS; i++) {
            bAny = bAny || abIdle[i];
            abIdle[i] = false;
        }
        if (bAny) {
            pthread_cond_broadcast(&condWalker);
            pthread_cond_broadcast(&condClaim);
            pthread_cond_broadcast(&condAdmit);
        }
        return;
    }
    if ((nWhom & WAKE_WALKER) != 0 && abIdle[0] && (bLost || !bWalked))
        pthread_cond_signal(&condWalker);
    if ((nWhom & WAKE_CLAIMS) != 0)
        pthread_cond_broadcast(&condClaim);
    else if ((nWhom & WAKE_ONE_CLAIM) != 0)
        pthread_cond_signal(&condClaim);
    if ((nWhom & WAKE_ADMITS) != 0)
        pthread_cond_broadcast(&condAdmit);
}

// Thread nThread waits on *pCond, under mtx. Everything waited for changes
// under mtx and wakes the waiters, except how far the core's reads have got
// (qwCoreAt), which the budget waits for a few milliseconds at a time.
void Wait(int nThread, pthread_cond_t *pCond, bool bTimed)
{
    struct timespec ts;
    abIdle[nThread] = true;
    if (FAULT_AHEAD_STEP() != 0)
        pthread_cond_broadcast(&condIdle);
    if (!bTimed) {
        pthread_cond_wait(pCond, &mtx);
    } else {
        clock_gettime(clkWait, &ts);
        ts.tv_nsec += AHEAD_BUDGET_WAIT_NS;
        if (ts.tv_nsec >= NS_PER_SECOND) {
            ts.tv_sec++;
            ts.tv_nsec -= NS_PER_SECOND;
        }
        pthread_cond_timedwait(pCond, &mtx, &ts);
    }
    abIdle[nThread] = false;
}

void Ended(int nThread)
{
    abLive[nThread] = false;
    abIdle[nThread] = false;
    nLive--;
    pthread_cond_broadcast(&cond);
    pthread_cond_broadcast(&condIdle);
}

// The test build's steps (FAULT_AHEAD_STEP): the core waits until every
// thread of the agent waits for it to move, so that the agent has done all
// it can before the core goes on. The bound is counted in waits of a second
// each, so that a machine paused meanwhile (a virtual machine's snapshot)
// costs one of them, not the whole bound.
void Settle(void)
{
    const int nSeconds = FAULT_AHEAD_STEP();
    struct timespec ts;
    bool bSettled = false;
    int nWaits = 0;

    if (nSeconds == 0 || !bRunning)
        return;
    pthread_mutex_lock(&mtx);
    for (;;) {
        bSettled = true;
        for (int i = 0; i < AHEAD_THREADS; i++)
            bSettled = bSettled && (!abLive[i] || abIdle[i]);
        if (bSettled || nWaits == nSeconds)
            break;
        clock_gettime(clkWait, &ts);
        ts.tv_sec++;
        if (pthread_cond_timedwait(&condIdle, &mtx, &ts) == ETIMEDOUT)
            nWaits++;
    }
    pthread_mutex_unlock(&mtx);
    if (!bSettled)
        FAULT_AHEAD_UNSETTLED();
}

int LowOrClosed(int fd)
{
    if (fd >= nFdCeiling) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---- Starting and stopping --------------------------------------------------
void Stop(void)
{
    bRunning = false;
    pthread_mutex_lock(&mtx);
    bStop = true;
    Wake(WAKE_ALL);
    pthread_cond_broadcast(&cond);
    while (nLive > 0)
        pthread_cond_wait(&cond, &mtx);
    pthread_mutex_unlock(&mtx);
    if (fdRoot1 >= 0)
        close(fdRoot1);
    if (fdRoot2 >= 0)
        close(fdRoot2);
    fdRoot1 = fdRoot2 = -1;
    for (size_t i = 0; i < AHEAD_FILES; i++) {
        free(aItems[i].pszRel);
        aItems[i].pszRel = NULL;
        for (int nFile = 0; nFile < 2; nFile++)
            if (aItems[i].afd[nFile] >= 0)
                close(aItems[i].afd[nFile]);
        aItems[i].afd[0] = aItems[i].afd[1] = -1;
    }
    nHeld = 0;
    LeaveWays();
    LeaveWalk();
}

// At exit: the threads are told to stop, and left as they are. One may be
// in a system call that a file system does not answer; the process ends
// without it, and nothing it may still touch is freed or closed.
static void Leave(void)
{
    pthread_mutex_lock(&mtx);
    bStop = true;
    Wake(WAKE_ALL);
    pthread_cond_broadcast(&cond);
    pthread_mutex_unlock(&mtx);
}

int OpenRoot2(void)
{
    if (fdRoot2 >= 0 || pszRoot2 == NULL)
        return -1;
    return LowOrClosed(open(nRoot2Len != 0 ? pszRoot2 : "/",
                            O_PATH | O_DIRECTORY | O_CLOEXEC));
}

void MakeThreads(int nFrom, int nTo)
{
    pthread_attr_t attr;
    pthread_t thread;
    sigset_t all, old;

    // Signals stay the core's thread's: the agent's threads block them all.
    // Nothing joins them: Stop waits for them to end, Leave does not.
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, (size_t)256 << 10);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    for (int i = nFrom; i < nTo; i++) {
        pthread_mutex_lock(&mtx);
        abLive[i] = true;
        nLive++;
        pthread_mutex_unlock(&mtx);
        if (pthread_create(&thread, &attr, i == 0 ? Walker : Reader,
                           (void *)(intptr_t)(i - 1)) != 0) {
            pthread_mutex_lock(&mtx);
            Ended(i);
            pthread_mutex_unlock(&mtx);
            break;
        }
        bRunning = true;  // the walker, at least, is there
        nReaders = i;
    }
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
}

void Start(const char *pszFrom)
{
    struct rlimit rl;

    pthread_condattr_t attr;

    bStarted = true;
    // Timed waits count on the monotonic clock: the wall clock may be set
    // back or forth while the run goes on.
    if (pthread_condattr_init(&attr) == 0) {
        if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
            pthread_cond_init(&cond, &attr) == 0 &&
            pthread_cond_init(&condIdle, &attr) == 0 &&
            pthread_cond_init(&condAdmit, &attr) == 0)
            clkWait = CLOCK_MONOTONIC;
        pthread_condattr_destroy(&attr);
    }
    for (size_t i = 0; i < AHEAD_FILES; i++) {
        aItems[i].afd[0] = aItems[i].afd[1] = -1;
        aItems[i].abOpening[0] = aItems[i].abOpening[1] = false;
    }
    // The agent's descriptors stay in the lower half of the process's room.
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    nFdCeiling = rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > INT_MAX
                     ? INT_MAX / 2
                     : (int)(rl.rlim_cur / 2);
    fdRoot1 = LowOrClosed(open(nRoot1Len != 0 ? pszRoot1 : "/",
                               O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (fdRoot1 < 0)
        return;
    fdRoot2 = OpenRoot2();
    bRootAwaited = pszRoot2 == NULL;
    // Started at the core's file: it is pair 0, with nothing to read
    // ahead, and the walk goes on after it.
    if (pszFrom != NULL) {
        HandWalkAtLast();
        aItems[0].pszRel = NULL;
        aItems[0].aqwIssued[0] = aItems[0].aqwIssued[1] = 0;
        qwTail = 1;
        nCoreFile = nOpenTree == 1 ? 1 : 0;
    }
    for (int i = 0; i < AHEAD_SHARE_READERS; i++)
        aqwWorking[i] = ~(uint64_t)0;
    MakeThreads(0, 1 + AHEAD_READERS);
    atexit(Leave);
}

}  // namespace ahead

#endif
