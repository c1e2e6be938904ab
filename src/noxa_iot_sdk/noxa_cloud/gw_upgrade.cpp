#include "noxa_iot_sdk/noxa_cloud/gw_upgrade.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_middleware/httpc/http_inf.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>
#include <thread>

namespace {

std::atomic<bool> s_running{false};

struct DownloadCtx {
    const NOXA_FW_INFO_S* fw;
    GET_FILE_DATA_CB cb;
    void* priv;
    UNI_MD5_CTX_S md5;
    uint32_t received = 0;  // bytes read from the server
    uint32_t bufOffset = 0; // image offset of buf[0]
    uint32_t held = 0;      // bytes in buf the callback left
    uint8_t buf[2 * GW_UPGRADE_PIECE_LEN];
    uint32_t want = 0;      // bytes of the current range
    bool stopped = false;
};

int __upgrade_range_cb(HTTP_RESP_S* resp)
{
    auto* c = static_cast<DownloadCtx*>(resp->user_data);
    if (resp->content_len != c->want || (resp->status_code != 206 && resp->status_code != 200)) {
        PR_ERR("range answer unusable: status %u, %u bytes for %u", resp->status_code, resp->content_len, c->want);
        return HTTP_INF_RANGE_REFUSED;
    }
    uint32_t got = 0;
    while (got < c->want) {
        uint32_t room = std::min<uint32_t>(GW_UPGRADE_PIECE_LEN, c->want - got);
        int n = resp->read_content(resp->session, c->buf + c->held, room);
        if (n <= 0) {
            PR_ERR("firmware connection ended after %u bytes: %d", c->received, n);
            return UNI_COM_ERROR;
        }
        uni_md5_update(&c->md5, c->buf + c->held, static_cast<uint32_t>(n));
        got += static_cast<uint32_t>(n);
        c->received += static_cast<uint32_t>(n);
        uint32_t len = c->held + static_cast<uint32_t>(n);
        uint32_t remain = 0;
        int ret = c->cb(c->fw, c->fw->file_size, c->bufOffset, c->buf, len, &remain, c->priv);
        if (ret != 0) {
            PR_ERR("firmware data callback stops: %d", ret);
            c->stopped = true;
            return ret;
        }
        // What the callback left comes again in front of the next piece.
        remain = std::min(remain, std::min(len, GW_UPGRADE_PIECE_LEN));
        memmove(c->buf, c->buf + len - remain, remain);
        c->bufOffset += len - remain;
        c->held = remain;
    }
    return UNI_OK;
}

}  // namespace

int gw_upgrade_download(const NOXA_FW_INFO_S* fw, GET_FILE_DATA_CB data_cb, void* priv)
{
    if (fw == nullptr || data_cb == nullptr || fw->file_size == 0) {
        return UNI_INVALID_PARM;
    }
    auto ctx = std::make_unique<DownloadCtx>();
    ctx->fw = fw;
    ctx->cb = data_cb;
    ctx->priv = priv;
    uni_md5_init(&ctx->md5);
    PR_NOTICE("firmware download %s: %u bytes", http_url_for_log(fw->fw_url).c_str(), fw->file_size);
    while (ctx->received < fw->file_size) {
        ctx->want = std::min(GW_UPGRADE_RANGE_LEN, fw->file_size - ctx->received);
        int ret = http_inf_client_get_file(fw->fw_url, __upgrade_range_cb, ctx.get(), ctx->received, ctx->want);
        if (ret != UNI_OK) {
            PR_ERR("firmware range at %u fails %d", ctx->received, ret);
            return ret;
        }
    }
    uint8_t digest[UNI_MD5_DIGEST_LEN];
    uni_md5_final(&ctx->md5, digest);
    char hex[2 * UNI_MD5_DIGEST_LEN + 1];
    for (size_t i = 0; i < sizeof(digest); ++i) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    if (strcasecmp(hex, fw->fw_md5) != 0) {
        PR_ERR("firmware md5 %s, announced %s", hex, fw->fw_md5);
        return GW_UPGRADE_ERR_MD5;
    }
    PR_NOTICE("firmware download done: %u bytes, md5 %s", ctx->received, hex);
    return UNI_OK;
}

int noxa_iot_upgrade_gw(const NOXA_FW_INFO_S* fw, GET_FILE_DATA_CB data_cb, UPGRADE_NOTIFY_CB finish_cb, void* priv,
                        uint32_t, uint32_t)
{
    if (fw == nullptr || data_cb == nullptr || finish_cb == nullptr || fw->file_size == 0) {
        return UNI_INVALID_PARM;
    }
    bool idle = false;
    if (!s_running.compare_exchange_strong(idle, true)) {
        PR_ERR("a firmware download is running");
        return UNI_COM_ERROR;
    }
    // The thread works on its own copy: the caller's record may go.
    auto copy = std::make_shared<NOXA_FW_INFO_S>(*fw);
    try {
        std::thread([copy, data_cb, finish_cb, priv] {
            int ret = gw_upgrade_download(copy.get(), data_cb, priv);
            s_running.store(false);
            finish_cb(copy.get(), ret, priv);
        }).detach();
    } catch (const std::exception&) {
        s_running.store(false);
        PR_ERR("firmware download thread not started");
        return UNI_COM_ERROR;
    }
    return UNI_OK;
}

uint32_t gw_fw_tp_to_cloud_tp(uint8_t tp)
{
    return tp;
}
