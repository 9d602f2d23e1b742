// The memory a control group leaves the process.
//
// In a container with a memory limit, a process whose memory the kernel
// cannot reclaim outgrows the limit is killed, not refused: no message, no
// summary, and standard output still in its buffer is lost. So before a
// whole-file block takes memory, the room left under the limits of the
// process's memory control group and of every group above it is worked out
// (cgroup v2: memory.max and memory.current; v1: memory.limit_in_bytes and
// memory.usage_in_bytes), counting only what the kernel cannot reclaim: the
// page cache (active_file, inactive_file) is given back under pressure, so
// the files being read do not count against the room.
//
// The groups are found once, at the first check; their limits and usage are
// read at every check, which comes only when a block takes memory it has not
// held yet. Swap is not counted: where there is some, a refused request might
// have fitted.
#include "internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// A little beyond the request for what the kernel charges with it (page
// tables) and the process's other small blocks.
#define MARGIN_BYTES ((uint64_t)1 << 20)
// Limits from here up mean none (v1 writes "no limit" as 2^63 less a page).
#define NO_LIMIT ((uint64_t)1 << 62)

struct Group {
    char *pszDir;  // the group's directory
    bool bV2;      // cgroup v2 file names, else v1
};

static Group *pGroups = NULL;  // the process's own group, then its parents
static size_t nGroups = 0;
static bool bFound = false;

// The first line of a file, or "" if it cannot be read.
static void ReadFirstLine(const char *pszDir, const char *pszName, char *pszOut,
                          size_t nOut)
{
    char szPath[4096];
    FILE *pFile;

    pszOut[0] = '\0';
    snprintf(szPath, sizeof(szPath), "%s/%s", pszDir, pszName);
    pFile = fopen(szPath, "re");
    if (pFile == NULL)
        return;
    if (fgets(pszOut, (int)nOut, pFile) == NULL)
        pszOut[0] = '\0';
    fclose(pFile);
}

// The page cache that memory.stat counts: active_file and inactive_file
// (v1: their hierarchical totals).
static uint64_t PageCache(const char *pszDir, bool bV2)
{
    const char *const apszKeys[2] = {
        bV2 ? "active_file " : "total_active_file ",
        bV2 ? "inactive_file " : "total_inactive_file "};
    char szPath[4096], szLine[256];
    uint64_t qwCache = 0;
    FILE *pFile;
    int i;

    snprintf(szPath, sizeof(szPath), "%s/memory.stat", pszDir);
    pFile = fopen(szPath, "re");
    if (pFile == NULL)
        return 0;
    while (fgets(szLine, sizeof(szLine), pFile) != NULL)
        for (i = 0; i < 2; i++)
            if (strncmp(szLine, apszKeys[i], strlen(apszKeys[i])) == 0)
                qwCache += strtoull(szLine + strlen(apszKeys[i]), NULL, 10);
    fclose(pFile);
    return qwCache;
}

static void AddGroup(const char *pszDir, size_t nLen, bool bV2)
{
    Group *pGrown = (Group *)WorkAlloc(pGroups, (nGroups + 1) * sizeof(Group));
    char *pszCopy = (char *)WorkAlloc(NULL, nLen + 1);

    if (pGrown != NULL)
        pGroups = pGrown;
    if (pGrown == NULL || pszCopy == NULL) {
        free(pszCopy);
        return;
    }
    memcpy(pszCopy, pszDir, nLen);
    pszCopy[nLen] = '\0';
    pGroups[nGroups].pszDir = pszCopy;
    pGroups[nGroups].bV2 = bV2;
    nGroups++;
}

// Whether the comma-separated list pszList holds pszWord.
static bool ListHas(const char *pszList, size_t nLen, const char *pszWord)
{
    size_t nWord = strlen(pszWord), i = 0;

    while (i < nLen) {
        size_t nEnd = i;
        while (nEnd < nLen && pszList[nEnd] != ',')
            nEnd++;
        if (nEnd - i == nWord && memcmp(pszList + i, pszWord, nWord) == 0)
            return true;
        i = nEnd + 1;
    }
    return false;
}

// Adds the directory of the group pszPath (as /proc/self/cgroup gives it)
// under the mount of the group hierarchy at pszMountPoint, whose root within
// the hierarchy is pszRoot, and every directory above it up to the mount
// point.
static void AddGroupChain(const char *pszPath, const char *pszRoot,
                          const char *pszMountPoint, bool bV2)
{
    char szDir[4096];
    size_t nRoot = strlen(pszRoot), nMount = strlen(pszMountPoint), nLen;

    if (strcmp(pszRoot, "/") == 0)
        nRoot = 0;
    else if (strncmp(pszPath, pszRoot, nRoot) != 0 ||
             (pszPath[nRoot] != '/' && pszPath[nRoot] != '\0'))
        return;  // the group lies outside what this mount shows
    nLen = (size_t)snprintf(szDir, sizeof(szDir), "%s%s", pszMountPoint,
                            pszPath + nRoot);
    if (nLen >= sizeof(szDir))
        return;
    while (nLen > 1 && szDir[nLen - 1] == '/')
        nLen--;
    for (;;) {
        AddGroup(szDir, nLen, bV2);
        if (nLen <= nMount)
            break;
        while (nLen > nMount && szDir[nLen - 1] != '/')
            nLen--;
        if (nLen > nMount)
            nLen--;  // the separator
    }
}

// Finds the memory groups of the process: the v1 hierarchy with the memory
// controller, or the v2 hierarchy where that controller is enabled.
static void FindGroups(void)
{
    char *pszLine = NULL, *pszV1 = NULL, *pszV2 = NULL;
    size_t nCap = 0;
    FILE *pFile;

    bFound = true;
    pFile = fopen("/proc/self/cgroup", "re");
    if (pFile == NULL)
        return;
    while (getline(&pszLine, &nCap, pFile) > 0) {
        char *pszFirst = strchr(pszLine, ':');
        char *pszSecond = pszFirst != NULL ? strchr(pszFirst + 1, ':') : NULL;
        if (pszSecond == NULL)
            continue;
        pszLine[strcspn(pszLine, "\n")] = '\0';
        if (pszSecond == pszFirst + 1 && strncmp(pszLine, "0:", 2) == 0)
            pszV2 = strdup(pszSecond + 1);
        else if (ListHas(pszFirst + 1, (size_t)(pszSecond - pszFirst - 1),
                         "memory"))
            pszV1 = strdup(pszSecond + 1);
    }
    fclose(pFile);

    pFile = fopen("/proc/self/mountinfo", "re");
    while (pFile != NULL && getline(&pszLine, &nCap, pFile) > 0) {
        // id parent dev root mountpoint options [tags] - fstype source super
        char *apszField[5], *pszSep = strstr(pszLine, " - ");
        char szType[32] = "", szSuper[512] = "";
        char *pszSave = NULL, *pszTok = strtok_r(pszLine, " ", &pszSave);
        int nField = 0;
        if (pszSep == NULL)
            continue;
        *pszSep = '\0';
        if (sscanf(pszSep + 3, "%31s %*s %511s", szType, szSuper) < 1)
            continue;
        while (pszTok != NULL && nField < 5) {
            apszField[nField++] = pszTok;
            pszTok = strtok_r(NULL, " ", &pszSave);
        }
        if (nField < 5)
            continue;
        if (pszV1 != NULL && strcmp(szType, "cgroup") == 0 &&
            ListHas(szSuper, strlen(szSuper), "memory")) {
            AddGroupChain(pszV1, apszField[3], apszField[4], false);
            free(pszV1);
            pszV1 = NULL;
        } else if (pszV2 != NULL && strcmp(szType, "cgroup2") == 0) {
            AddGroupChain(pszV2, apszField[3], apszField[4], true);
            free(pszV2);
            pszV2 = NULL;
        }
    }
    if (pFile != NULL)
        fclose(pFile);
    free(pszLine);
    free(pszV1);
    free(pszV2);
}

bool RoomForPrivateMemory(size_t nBytes)
{
    char szValue[64];
    size_t i;

    if (!bFound)
        FindGroups();
    for (i = 0; i < nGroups; i++) {
        const Group *pGroup = &pGroups[i];
        uint64_t qwLimit, qwUsed, qwCache;
        ReadFirstLine(pGroup->pszDir,
                      pGroup->bV2 ? "memory.max" : "memory.limit_in_bytes",
                      szValue, sizeof(szValue));
        // "max" (v2), or the largest value a v1 limit takes: no limit here.
        if (szValue[0] < '0' || szValue[0] > '9')
            continue;
        qwLimit = strtoull(szValue, NULL, 10);
        if (qwLimit >= NO_LIMIT)
            continue;
        ReadFirstLine(pGroup->pszDir,
                      pGroup->bV2 ? "memory.current" : "memory.usage_in_bytes",
                      szValue, sizeof(szValue));
        qwUsed = strtoull(szValue, NULL, 10);
        qwCache = PageCache(pGroup->pszDir, pGroup->bV2);
        if (qwCache > qwUsed)
            qwCache = qwUsed;
        if (qwUsed - qwCache + MARGIN_BYTES > qwLimit ||
            (uint64_t)nBytes > qwLimit - (qwUsed - qwCache) - MARGIN_BYTES)
            return false;
    }
    return true;
}
