// The table of open directory searches, one for each layer, indexed by the
// record's ff_reserved: an index fits its 32 bits where a pointer may not,
// and findnext can check an index before it uses it. Each layer has its own
// record type, with a bool bInUse, and its own allocator, which may fail on
// cue in the tests; a slot is taken by setting bInUse, freed by clearing it.
#ifndef ORVEL_PLATFORM_SLOTS_H
#define ORVEL_PLATFORM_SLOTS_H

#include <stddef.h>
#include <string.h>

// A slot not in use in the table *ppSlots of *pnSlots records, cleared to
// zeros and still not in use, its index in *pnSlot; the table is grown
// through pfnRealloc (realloc's contract) when every slot is taken. NULL
// when it cannot grow, with the table as it was.
template <typename Slot>
Slot *NewSlot(Slot **ppSlots, size_t *pnSlots,
              void *(*pfnRealloc)(void *pOld, size_t nBytes), int *pnSlot)
{
    size_t i, nOld = *pnSlots, nNew = nOld * 2 + 8;
    Slot *pGrown;

    for (i = 0; i < nOld; i++)
        if (!(*ppSlots)[i].bInUse)
            break;
    if (i == nOld) {
        if (nNew > 0x7FFFFFFF / sizeof(Slot))
            return NULL;
        pGrown = (Slot *)pfnRealloc(*ppSlots, nNew * sizeof(Slot));
        if (pGrown == NULL)
            return NULL;
        memset(pGrown + nOld, 0, (nNew - nOld) * sizeof(Slot));
        *ppSlots = pGrown;
        *pnSlots = nNew;
    }
    memset(&(*ppSlots)[i], 0, sizeof(Slot));
    *pnSlot = (int)i;
    return &(*ppSlots)[i];
}

// The slot that ff_reserved nSlot names if it is in use, else NULL.
template <typename Slot> Slot *SlotInUse(Slot *pSlots, size_t nSlots, int nSlot)
{
    if (nSlot < 0 || (size_t)nSlot >= nSlots || !pSlots[nSlot].bInUse)
        return NULL;
    return &pSlots[nSlot];
}

#endif  // ORVEL_PLATFORM_SLOTS_H
