// The block through which the second file of a pair streams: its size, and
// the shift and mask that split a file's size into whole blocks and the
// bytes after them; and the window through which a first file of 4 GiB or
// more, which no 32-bit address space holds whole, is held a part at a
// time. The tests take their block boundaries from here too.
// (Not BLOCK_SIZE: <sys/mount.h> and <linux/fs.h> define that as 1 KiB, and
// whichever came last would win without a word in a file holding both.)
#ifndef ORVEL_BLOCK_H
#define ORVEL_BLOCK_H

#define BLOCK_BYTES 32768
#define BLOCK_SHIFT 15
#define BLOCK_MASK 0x7FFF

static_assert(BLOCK_BYTES == 1 << BLOCK_SHIFT && BLOCK_MASK == BLOCK_BYTES - 1,
              "BLOCK_BYTES, BLOCK_SHIFT and BLOCK_MASK must change together");

// Whole blocks, and whole pages of every system's size (up to 2 MiB), so
// that the layer may map each window of the file where it is to be held.
#define WINDOW_BYTES 0x4000000  // 64 MiB

static_assert(WINDOW_BYTES % BLOCK_BYTES == 0 && WINDOW_BYTES % 0x200000 == 0,
              "a window is whole blocks and whole pages");

#endif  // ORVEL_BLOCK_H
