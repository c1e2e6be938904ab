// Start-up of the process: the installed-file check.
#pragma once

// 0 when the installed files match "/customer/ApplicantMD5", -1 otherwise.
int CheckApplicationMD5();
