// Start-up of the process: the installed-file check, and the read-fully routine beside it.
#pragma once

#include <cstddef>

// 0 when the installed files match "/customer/ApplicantMD5", -1 otherwise.
int CheckApplicationMD5();

// Reads until `count` bytes have arrived into `buf`: the number read (less than `count` when the
// file ends first), or the negative result of read on an error. An interrupted or would-block read
// is tried again a second later. Nothing calls it at run time.
int ReadFully(int fd, void* buf, size_t count);
