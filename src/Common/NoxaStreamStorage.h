// The camera service's SD event storage as the application sees it: never started here (the
// unit records its own MP4 files), so the viewer-event calls and the format worker's write mode
// reach it and are refused in its own words.
#pragma once

// Fills the viewer-event links (mute, unmute, playback stop, download) and the format worker's
// write-mode and stop-all links with the storage's calls.
void NoxaStreamStorageInstallLinks();
