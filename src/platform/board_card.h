// The board's SD card slot: mount(2), umount(2) and statfs(2) of the card, on unit paths.
//
// On the simulated board the card lives in the sandbox and nothing is ever mounted on the host:
//   "<root>/dev/mmcblk0", "<root>/dev/mmcblk0p1"  the card is in the slot while these exist
//   "<root>/mnt/sdcard"                           the card's file system (its files)
//   "<root>/proc/mounts"                          the mount table the unit reads; a mount adds
//                                                 the card's "vfat rw,..." line ("ro,..." on a
//                                                 write-protected card), an unmount removes it
//   "<root>/.board/sdcard_size"                   the card's size in KiB (absent: an 8 GB card)
//   "<root>/.board/sdcard_fill"                   KiB taken by other data (absent: none)
//   "<root>/.board/sdcard_protect"                1: the write-protect switch is on
// The simulated mount, umount and mkfs.vfat tools (src/platform/sim/bin) keep the same table,
// and tools/sdcard inserts, removes, fills and write-protects the card from outside the unit.
// A removed card leaves its mount line behind, as the kernel does, until it is unmounted.
#pragma once

#include <cstdint>
#include <sys/statfs.h>

// The card's space as statfs reports it: 32 KiB clusters, as FAT32 uses on a card of this size.
// Used space is the other data plus every file in the card's folder, each rounded up to whole
// clusters.
constexpr uint64_t kBoardCardClusterBytes = 32768;
constexpr uint64_t kBoardCardDefaultSizeKib = 7761920;  // 7580 MiB: what an 8 GB card offers

// Like mount(2): mounts `source` (a card node, "/dev/mmcblk0p1" or "/dev/mmcblk0") with file
// system "vfat" on the folder `target`; MS_RDONLY mounts it read-only. 0, or -1 with errno:
// ENOENT no such node or folder, ENOTDIR target is no folder, EBUSY target already mounted,
// EINVAL another file system type, ENODEV a source that is no card, EPERM without a sandbox
// (the host is never mounted), EFAULT a missing argument.
int BoardMount(const char* source, const char* target, const char* fstype, unsigned long flags, const void* data);
// Like umount(2) of a mount point. 0, or -1 with errno: EINVAL nothing mounted there, EPERM
// without a sandbox, EFAULT a missing argument.
int BoardUmount(const char* target);
// Like statfs(2) of a unit path. Below a mounted card: the card's figures (f_type 0x4d44,
// f_bsize = f_frsize = one cluster, f_bfree = f_bavail), or EIO when the card was pulled out
// under its mount. Elsewhere: the file system that holds the path in the sandbox.
int BoardStatfs(const char* unitPath, struct statfs* buf);
