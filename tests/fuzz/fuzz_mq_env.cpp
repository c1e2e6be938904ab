// The cloud's MQTT envelope decoder over arbitrary payloads in exact-size blocks: it either
// refuses with one of its codes and holds nothing, or hands back a JSON object whose integer
// "protocol" and "data" it found; an envelope it packs itself always comes back the same.
#include "noxa_iot_sdk/noxa_cloud/com_protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void Check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

const uint8_t kKey[MQ_ENV_KEY_LEN] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                      '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) {
        memcpy(buf.get(), data, size);
    }
    MQ_ENV_MSG_S msg;
    int ret = mq_env_unpack(buf.get(), static_cast<uint32_t>(size), kKey, &msg);
    if (ret == MQ_ENV_OK) {
        Check(cJSON_IsObject(msg.root) && msg.data != nullptr);
        Check(cJSON_GetObjectItemCaseSensitive(msg.root, "protocol")->valuedouble == msg.protocol);
        cJSON_Delete(msg.root);
    } else {
        Check(ret <= MQ_ENV_ERR_SHORT && ret >= MQ_ENV_ERR_DATA && msg.root == nullptr);
    }

    // The input as a JSON text inside a packed envelope: a JSON text the parser takes comes back.
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, strlen(text.c_str()));
    cJSON* parsed = cJSON_Parse(text.c_str());
    if (parsed != nullptr) {
        char* printed = cJSON_PrintUnformatted(parsed);
        std::vector<uint8_t> env;
        Check(mq_env_pack(size, 5, 7, printed, kKey, &env) == MQ_ENV_OK);
        MQ_ENV_MSG_S back;
        Check(mq_env_unpack(env.data(), static_cast<uint32_t>(env.size()), kKey, &back) == MQ_ENV_OK);
        Check(back.seq == size && back.protocol == 5 && back.t == 7);
        char* again = cJSON_PrintUnformatted(back.data);
        Check(strcmp(again, printed) == 0);
        cJSON_free(again);
        cJSON_free(printed);
        cJSON_Delete(back.root);
        cJSON_Delete(parsed);
    }
    return 0;
}
