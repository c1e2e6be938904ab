// Pairing by QR code: once a second the luma of the sub picture (scaler port 1, 640x360) is
// prepared for a QR reader (centre square, 2x, binarised at 128) and read; a code's text (the
// network name, pass phrase and pairing token as JSON) goes to noxa_ipc_direct_connect, which
// joins the network and binds the token. The thread ends after the first success. Nothing in
// the unit starts it; tests do.
#pragma once

#include <cstdint>

// 0; -1 when it runs already or cannot start.
int StartQrcodeThread();
// Asks the thread to end and waits for it (at most one pass and its wait).
void StopQrcodeThread();
bool QrcodeThreadRunning();

// One pass: 1 a code paired the unit; 0 no picture or no code in it; -1 a code whose text
// noxa_ipc_direct_connect refused (or a failed preparation).
int QrcodePass();
