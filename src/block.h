// The block through which the second file of a pair streams: its size, and
// the shift and mask that split a file's size into whole blocks and the
// bytes after them. The tests take their block boundaries from here too.
// (Not BLOCK_SIZE: <sys/mount.h> and <linux/fs.h> define that as 1 KiB, and
// whichever came last would win without a word in a file holding both.)
#ifndef ORVEL_BLOCK_H
#define ORVEL_BLOCK_H

#define BLOCK_BYTES 32768
#define BLOCK_SHIFT 15
#define BLOCK_MASK 0x7FFF

static_assert(BLOCK_BYTES == 1 << BLOCK_SHIFT && BLOCK_MASK == BLOCK_BYTES - 1,
              "BLOCK_BYTES, BLOCK_SHIFT and BLOCK_MASK must change together");

#endif  // ORVEL_BLOCK_H
