// A viewer's records in arbitrary bytes after its proven hello: the transfer module must hand every
// event to the callback with the viewer's own client number in word 0 (clarity set and query
// aside), never a talk-back frame above its receive bound, and free the session once the viewer
// is gone.
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "fuzz_util.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using fuzz::Check;

int gPort = 0;
const char kKey[] = "fuzzTransferKey!";

bool ReadAll(int fd, uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t got = recv(fd, p, n, 0);
        if (got <= 0) {
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

int OnEvent(NOXA_P2P_EVENT_E event, void* args)
{
    Check(args != nullptr);
    if (event != TRANS_LIVE_VIDEO_CLARITY_SET && event != TRANS_LIVE_VIDEO_CLARITY_QUERY) {
        Check(static_cast<uint32_t*>(args)[0] == 0);
    }
    return 0;
}

void OnTalk(const TRANSFER_MEDIA_FRAME_S* f, uint32_t client)
{
    Check(client == 0 && f->audio.buf_len <= 64 * 1024 && (f->audio.buf_len == 0 || f->audio.p_audio_buf != nullptr));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    const std::string& root = fuzz::Sandbox({"/.board"});
    NOXA_P2P_TRANSFER_PARAM_S p{};
    p.on_rev_audio_cb = OnTalk;
    p.on_event_cb = OnEvent;
    p.rev_audio_codec = NOXA_CODEC_AUDIO_G711U;
    p.max_client_num = 1;
    gw_set_local_key(kKey);
    Check(noxa_ipc_tranfser_init(&p) == 0);
    std::ifstream f(root + "/.board/p2p.port");
    Check(static_cast<bool>(f >> gPort));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(gPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Check(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
    // The challenge (kind 18, client 0, 16 bytes), answered by a hello proven with the key.
    uint8_t challenge[28];
    Check(ReadAll(fd, challenge, sizeof challenge) && challenge[0] == 18 && challenge[8] == 16);
    uint8_t msg[20] = {};
    memcpy(msg, challenge + 12, 16);
    uint8_t hello[12 + 36] = {1, 0, 0, 0, 0, 0, 0, 0, 36, 0, 0, 0};
    unsigned len = 0;
    HMAC(EVP_sha256(), kKey, 16, msg, sizeof msg, hello + 16, &len);
    Check(len == 32);
    Check(send(fd, hello, sizeof hello, MSG_NOSIGNAL) == sizeof hello);
    if (size > 0) {
        send(fd, data, size, MSG_NOSIGNAL);  // the unit may already have closed
    }
    shutdown(fd, SHUT_WR);
    uint8_t sink[4096];
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
    close(fd);
    // The session is free again before the next viewer comes.
    for (int i = 0; i < 2000 && noxa_ipc_get_online_client_cnt() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Check(noxa_ipc_get_online_client_cnt() == 0);
    return 0;
}
