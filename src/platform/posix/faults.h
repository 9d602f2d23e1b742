// Hooks through which a test build of the platform layer stages what real
// files cannot stage on cue: an allocation that fails, a file that shrinks or
// grows between being sized and being read or is cut short or rewritten
// right after a read, an entry that goes away or turns into a FIFO after its
// directory was listed, a signal from outside or a bus error elsewhere at an
// exact open, a system that cannot bring a mapping's pages in ahead, times
// kept as exFAT keeps them, pages larger than this machine's, a read-ahead
// agent that works on a cached tree, whose walk parts from the core's, and
// which has done all it can before each of the core's opens; and through
// which it watches for what must never happen, such as the open of anything
// but a regular file. The shipped program compiles them to nothing; the
// test build defines ORVEL_FAULTS and links tests/faults.cpp.
//
// The read-ahead agent's hooks: FAULT_AHEAD_FORCED, whether it starts with
// the walk and works throughout; FAULT_AHEAD_HIDES(i), whether the entry i
// (from 0) of a listing of its own walk is hidden from it; FAULT_AHEAD_OPENED,
// each file it opened; FAULT_AHEAD_STEP, how many seconds at most the core
// waits, at each of its opens and at its first search, until every thread of
// the agent waits for the core to move (0: it never waits), and
// FAULT_AHEAD_UNSETTLED when that time ran out; FAULT_AHEAD_LATE, whether
// (in such steps) each file the agent opens is left for the core only when
// the core's open asks for it, so that the agent's open is in flight when
// the core comes to the file.
//
// For the pages, the layer takes its page size through FAULT_PAGE_BYTES, and
// in the test build its calls of mmap, munmap and madvise go to the test
// build's, which act as a kernel with pages of that size would: a file that
// includes this header after <sys/mman.h> calls them.
#ifndef ORVEL_FAULTS_H
#define ORVEL_FAULTS_H

#ifdef ORVEL_FAULTS
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
bool FaultFailAlloc(void);
bool FaultFailWorkAlloc(void);
void *FaultCountBlock(void *pBlock, int nDelta);
void FaultAfterSize(int fd, uint64_t qwSize);
void FaultBeforeEntry(int fdDir, const char *pszName);
void FaultOnDeliver(const char *pszDir, const char *pszName);
void FaultAfterOpen(int fd);
void FaultAfterRead(int fd);
size_t FaultPageBytes(size_t nSystem);
void *FaultMmap(void *pAddr, size_t nLen, int nProt, int nFlags, int fd,
                off_t nOffset);
int FaultMunmap(void *pAddr, size_t nLen);
int FaultMadvise(void *pAddr, size_t nLen, int nAdvice);
bool FaultNoPopulate(void);
bool FaultCoarseTimes(void);
bool FaultAheadForced(void);
bool FaultAheadHides(size_t nIndex);
void FaultAheadOpened(int fd);
int FaultAheadStep(void);
void FaultAheadUnsettled(void);
bool FaultAheadLate(void);
#define FAULT_FAIL_ALLOC() FaultFailAlloc()
#define FAULT_FAIL_WORK_ALLOC() FaultFailWorkAlloc()
#define FAULT_COUNT_BLOCK(p, nDelta) FaultCountBlock((p), (nDelta))
#define FAULT_AFTER_SIZE(fd, qwSize) FaultAfterSize((fd), (qwSize))
#define FAULT_BEFORE_ENTRY(fdDir, pszName) FaultBeforeEntry((fdDir), (pszName))
#define FAULT_ON_DELIVER(pszDir, pszName) FaultOnDeliver((pszDir), (pszName))
#define FAULT_AFTER_OPEN(fd) FaultAfterOpen(fd)
#define FAULT_AFTER_READ(fd) FaultAfterRead(fd)
#define FAULT_PAGE_BYTES(nSystem) FaultPageBytes(nSystem)
#define mmap FaultMmap
#define munmap FaultMunmap
#define madvise FaultMadvise
#define FAULT_NO_POPULATE() FaultNoPopulate()
#define FAULT_COARSE_TIMES() FaultCoarseTimes()
#define FAULT_AHEAD_FORCED() FaultAheadForced()
#define FAULT_AHEAD_HIDES(nIndex) FaultAheadHides(nIndex)
#define FAULT_AHEAD_OPENED(fd) FaultAheadOpened(fd)
#define FAULT_AHEAD_STEP() FaultAheadStep()
#define FAULT_AHEAD_UNSETTLED() FaultAheadUnsettled()
#define FAULT_AHEAD_LATE() FaultAheadLate()
#else
#define FAULT_FAIL_ALLOC() false
#define FAULT_FAIL_WORK_ALLOC() false
#define FAULT_COUNT_BLOCK(p, nDelta) (p)
#define FAULT_AFTER_SIZE(fd, qwSize) ((void)0)
#define FAULT_BEFORE_ENTRY(fdDir, pszName) ((void)0)
#define FAULT_ON_DELIVER(pszDir, pszName) ((void)0)
#define FAULT_AFTER_OPEN(fd) ((void)0)
#define FAULT_AFTER_READ(fd) ((void)0)
#define FAULT_PAGE_BYTES(nSystem) (nSystem)
#define FAULT_NO_POPULATE() false
#define FAULT_COARSE_TIMES() false
#define FAULT_AHEAD_FORCED() false
#define FAULT_AHEAD_HIDES(nIndex) ((void)(nIndex), false)
#define FAULT_AHEAD_OPENED(fd) ((void)0)
#define FAULT_AHEAD_STEP() 0
#define FAULT_AHEAD_UNSETTLED() ((void)0)
#define FAULT_AHEAD_LATE() false
#endif

#endif  // ORVEL_FAULTS_H
