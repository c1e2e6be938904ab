// The cloud API's request signing, body encryption and answer checks against OpenSSL, and where
// the API URL comes from.
#include "cloud_wire.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const std::string kKey = "Hq7TzLm2PwRk9VbN";

TEST(IotHttpc, SignIsMd5OfSortedParametersAndKey)
{
    const struct {
        IOT_API_PARAMS params;
        std::string text;  // what is hashed
    } rows[] = {
        {{{"a", "noxa.device.active"}, {"v", "4.4"}, {"t", "1700000000"}, {"uuid", NOXA_CLOUD_BUILTIN_UUID}},
         "a=noxa.device.active||t=1700000000||uuid=" NOXA_CLOUD_BUILTIN_UUID "||v=4.4||" + kKey},
        // Byte order: upper case before lower case; "sign" never counts.
        {{{"sign", "x"}, {"b", "2"}, {"B", "1"}, {"devId", "d 1/é"}},
         "B=1||b=2||devId=d 1/é||" + kKey},
        {{}, kKey},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(cloudpeer::Md5Hex(r.text), iot_api_sign(r.params, kKey.c_str())) << r.text;
    }
}

TEST(IotHttpc, UrlValuesKeepOnlyUnreservedCharacters)
{
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"noxa.device.active", "noxa.device.active"},
        {"A-z_0~9", "A-z_0~9"},
        {"a b+c/d", "a%20b%2Bc%2Fd"},
        {"=&?%", "%3D%26%3F%25"},
        {"\xc3\xa9", "%C3%A9"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.out, iot_url_encode(r.in)) << r.in;
    }
}

TEST(IotHttpc, BodyIsUpperHexOfTheCiphertext)
{
    const char* jsons[] = {"{}", "{\"token\":\"AbCd1234\",\"uuid\":\"noxa3b8d51c6a02fe947\"}",
                           "0123456789abcde", "0123456789abcdef"};
    for (const char* json : jsons) {
        std::string body;
        ASSERT_EQ(0, iot_api_encode_body(json, reinterpret_cast<const uint8_t*>(kKey.data()), &body));
        cloudpeer::Bytes cipher =
            cloudpeer::Aes128Ecb(cloudpeer::Bytes(json, json + strlen(json)), kKey, true);
        std::string hex;
        char two[3];
        for (uint8_t b : cipher) {
            snprintf(two, sizeof(two), "%02X", b);
            hex += two;
        }
        EXPECT_EQ("data=" + hex, body) << json;
    }
}

TEST(IotHttpc, AnswerChecks)
{
    const std::string okInner = "{\"success\":true,\"result\":{\"devId\":\"d1\",\"n\":1}}";
    std::string badSign = cloudpeer::ApiAnswer(okInner, kKey);
    badSign.replace(badSign.find("\"sign\":\"") + 8, 1, badSign[badSign.find("\"sign\":\"") + 8] == '0' ? "1" : "0");
    // Signed right, encrypted under another key: the padding does not come out.
    std::string otherKey = cloudpeer::ApiAnswer(okInner, "ZZZZZZZZZZZZZZZZ");
    {
        std::string sign = cloudpeer::Md5Hex("result=" + otherKey.substr(11, otherKey.find('"', 11) - 11) +
                                             "||t=1700000000||" + kKey);
        otherKey = otherKey.substr(0, otherKey.find("\"sign\":\"") + 8) + sign + "\"}";
    }
    const struct {
        const char* name;
        std::string answer;
        int ret;
    } rows[] = {
        {"good", cloudpeer::ApiAnswer(okInner, kKey), 0},
        {"bad sign", badSign, -1},
        {"other key", otherKey, -1},
        {"not json", "<html>", -1},
        {"no sign", "{\"result\":\"AAAA\",\"t\":1}", -1},
        {"token invalid",
         cloudpeer::ApiAnswer("{\"success\":false,\"errorCode\":\"TOKEN_INVALID\",\"errorMsg\":\"used\"}", kKey),
         IOT_API_ERR_TOKEN},
        {"token expired", cloudpeer::ApiAnswer("{\"success\":false,\"errorCode\":\"TOKEN_EXPIRED\"}", kKey),
         IOT_API_ERR_TOKEN},
        {"no config", cloudpeer::ApiAnswer("{\"success\":false,\"errorCode\":\"NO_CONFIG\"}", kKey),
         IOT_API_ERR_NO_CONFIG},
        {"invalid order", cloudpeer::ApiAnswer("{\"success\":false,\"errorCode\":\"INVALID_ORDER\"}", kKey),
         IOT_API_ERR_NO_CONFIG},
        {"no valid order", cloudpeer::ApiAnswer("{\"success\":false,\"errorCode\":\"NO_VALID_ORDER\"}", kKey),
         IOT_API_ERR_NO_ORDER},
        {"order expired", cloudpeer::ApiAnswer("{\"success\":false,\"errorCode\":\"ORDER_EXPIRED\"}", kKey),
         IOT_API_ERR_TOKEN},
        {"other refusal", cloudpeer::ApiAnswer("{\"success\":false,\"errorCode\":\"DEVICE_UNKNOWN\"}", kKey), -1},
        {"plain refusal", "{\"success\":false,\"errorCode\":\"SIGN_INVALID\"}", -1},
        {"inner not json", cloudpeer::ApiAnswer("success", kKey), -1},
    };
    for (const auto& r : rows) {
        cJSON* result = nullptr;
        EXPECT_EQ(r.ret, iot_api_decode_answer(r.answer.data(), static_cast<uint32_t>(r.answer.size()),
                                               reinterpret_cast<const uint8_t*>(kKey.data()), &result))
            << r.name;
        if (r.ret == 0) {
            ASSERT_NE(nullptr, result);
            EXPECT_STREQ("d1", cJSON_GetObjectItem(result, "devId")->valuestring);
        } else {
            EXPECT_EQ(nullptr, result) << r.name;
        }
        cJSON_Delete(result);
    }
}

TEST(IotHttpc, AReplyWithoutARequiredKeyIsRefusedAndDeleted)
{
    const char* const keys[] = {"token", "pathConfig/face", nullptr};
    const struct {
        const char* reply;
        int ret;
    } rows[] = {
        {"{\"token\":\"t\",\"pathConfig\":{\"face\":\"/f\"}}", 0},
        {"{\"token\":\"t\",\"pathConfig\":{\"video\":\"/v\"}}", IOT_API_ERR_KEY_MISSING},
        {"{\"token\":\"t\",\"pathConfig\":\"face\"}", IOT_API_ERR_KEY_MISSING},
        {"{\"token\":null,\"pathConfig\":{\"face\":\"/f\"}}", IOT_API_ERR_KEY_MISSING},
        {"{\"pathConfig\":{\"face\":\"/f\"}}", IOT_API_ERR_KEY_MISSING},
        {"[1]", IOT_API_ERR_KEY_MISSING},
        {"true", IOT_API_ERR_KEY_MISSING},
    };
    for (const auto& r : rows) {
        cJSON* reply = cJSON_Parse(r.reply);
        EXPECT_EQ(r.ret, iot_api_require_keys(&reply, keys)) << r.reply;
        EXPECT_EQ(r.ret == 0, reply != nullptr) << r.reply;
        cJSON_Delete(reply);
    }
}

TEST(IotHttpc, ApiUrlFromCloudConfElseThePlaceholder)
{
    TestSandbox box;
    char url[IOT_API_URL_LEN + 1];
    ASSERT_EQ(0, iot_httpc_get_api_url(url, sizeof(url)));
    EXPECT_STREQ(NOXA_CLOUD_DEFAULT_API_URL, url);
    box.Write("/etc/cloud.conf", "# local cloud\nother=1\napi_url=https://api.cloudsim.test:4433/d.json\r\n");
    ASSERT_EQ(0, iot_httpc_get_api_url(url, sizeof(url)));
    EXPECT_STREQ("https://api.cloudsim.test:4433/d.json", url);
    char small[10];
    EXPECT_EQ(-1, iot_httpc_get_api_url(small, sizeof(small)));
}

}  // namespace
