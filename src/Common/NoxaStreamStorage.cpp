#include "NoxaStreamStorage.h"

#include "NoxaP2p.h"
#include "NoxaSettings.h"
#include "noxa_ipc_sdk/stream_storage/noxa_ipc_stream_storage.h"

void NoxaStreamStorageInstallLinks()
{
    NOXA_P2P_LINKS_S& p = gNoxaP2pLinks;
    p.SsPbSetStatus = noxa_ipc_ss_pb_set_status;
    p.SsPbStop = noxa_ipc_ss_pb_stop;
    // The event's words 1-2 are the range; its start names the event.
    p.SsDownloadPre = [](uint32_t slot, const uint32_t range[2]) { return noxa_ipc_ss_donwload_pre(slot, range); };
    p.SsDownloadSetStatus = noxa_ipc_ss_download_set_status;
    NOXA_SETTINGS_LINKS_S& s = gNoxaSettingsLinks;
    s.SdWriteMode = [](int mode) { return noxa_ipc_ss_set_write_mode(static_cast<uint32_t>(mode)); };
    s.StopAllPlayback = noxa_ipc_ss_pb_stop_all;
}
