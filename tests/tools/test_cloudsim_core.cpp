// The cloud simulator's own envelope, schema and state code: envelopes against an encoder
// written here on OpenSSL and zlib, every decoder check, the phone's words as typed values, and
// the state file read back.
#include "codec.h"
#include "schema.h"
#include "state.h"

#include <cjson/cJSON.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <set>
#include <unistd.h>
#include <zlib.h>

using namespace cloudsim;

namespace {

const std::string kKey = "0123456789abcdef";

std::string EcbHere(const std::string& key, const std::string& plain)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(plain.size() + 16, '\0');
    int n1 = 0;
    int n2 = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), nullptr);
    EVP_EncryptUpdate(ctx, o, &n1, reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, o + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

std::string Be(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

uint32_t CrcHere(const std::string& b)
{
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(b.data()), static_cast<uInt>(b.size())));
}

// An envelope put together here: version, CRC over the rest, sequence, ciphertext.
std::string Assemble(const std::string& version, uint32_t seq, const std::string& cipher)
{
    std::string rest = Be(seq) + cipher;
    return version + Be(CrcHere(rest)) + rest;
}

TEST(CloudSimEnvelope, EncodesByteForByteAsAnIndependentEncoder)
{
    const std::pair<uint32_t, std::string> cases[] = {
        {1, "{\"protocol\":5,\"t\":1,\"data\":{}}"},
        {0x01020304, "{\"protocol\":4,\"t\":1700000000,\"data\":{\"dps\":{\"101\":true}}}"},
        {0xFFFFFFFF, std::string(15, 'x')},  // one byte short of a block: one byte of padding
        {7, std::string(16, 'y')},           // a whole block: a whole block of padding
    };
    for (const auto& [seq, json] : cases) {
        std::string want = Assemble("2.2", seq, EcbHere(kKey, json));
        EXPECT_EQ(want, EnvelopeEncode(kKey, seq, json)) << json;
        EXPECT_EQ(0u, (want.size() - 11) % 16);
    }
}

TEST(CloudSimEnvelope, EachCheckDropsWithItsReason)
{
    const std::string good = "{\"protocol\":4,\"t\":1,\"data\":{\"a\":1}}";
    std::string okEnv = Assemble("2.2", 9, EcbHere(kKey, good));
    std::string crcFlip = okEnv;
    crcFlip[6] ^= 0x01;
    std::string cipher17 = EcbHere(kKey, good) + "z";
    struct Case {
        const char* what;
        std::string payload;
        const char* why;  // "" when accepted
    };
    const Case cases[] = {
        {"26 bytes", okEnv.substr(0, 26), "too short (26 bytes)"},
        {"version", Assemble("2.1", 9, EcbHere(kKey, good)), "is not 2.2"},
        {"CRC", crcFlip, "CRC "},
        {"block size", Assemble("2.2", 9, cipher17), "not a multiple of 16"},
        {"padding", Assemble("2.2", 9, EcbHere("fedcba9876543210", good)), "bad padding"},
        {"JSON array", Assemble("2.2", 9, EcbHere(kKey, "[1]")), "not a JSON object"},
        {"not JSON", Assemble("2.2", 9, EcbHere(kKey, "{\"protocol\":4,")), "not a JSON object"},
        {"protocol text", Assemble("2.2", 9, EcbHere(kKey, "{\"protocol\":\"4\",\"data\":{}}")), "no integer"},
        {"protocol 4.5", Assemble("2.2", 9, EcbHere(kKey, "{\"protocol\":4.5,\"data\":{}}")), "no integer"},
        {"no data", Assemble("2.2", 9, EcbHere(kKey, "{\"protocol\":4}")), "no \"data\""},
        {"null data", Assemble("2.2", 9, EcbHere(kKey, "{\"protocol\":4,\"data\":null}")), "no \"data\""},
        {"value data", Assemble("2.2", 9, EcbHere(kKey, "{\"protocol\":26,\"data\":5}")), ""},
        {"good", okEnv, ""},
    };
    for (const Case& c : cases) {
        Envelope env;
        std::string why;
        bool ok = EnvelopeDecode(kKey, c.payload, &env, &why);
        if (std::string(c.why).empty()) {
            EXPECT_TRUE(ok) << c.what << ": " << why;
            EXPECT_EQ(9u, env.seq) << c.what;
        } else {
            EXPECT_FALSE(ok) << c.what;
            EXPECT_NE(std::string::npos, why.find(c.why)) << c.what << ": " << why;
        }
    }
    Envelope env;
    std::string why;
    ASSERT_TRUE(EnvelopeDecode(kKey, okEnv, &env, &why));
    EXPECT_EQ(good, env.json);
    EXPECT_EQ(4, env.protocol);
}

TEST(CloudSimCodec, TextCodingsRoundTripAndRefuseBrokenInput)
{
    const std::pair<std::string, std::string> b64[] = {
        {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {std::string("\x00\xFF", 2), "AP8="},
    };
    for (const auto& [raw, text] : b64) {
        EXPECT_EQ(text, Base64(raw));
        Bytes back;
        if (!text.empty()) {
            ASSERT_TRUE(FromBase64(text, &back)) << text;
            EXPECT_EQ(raw, back) << text;
        }
    }
    Bytes out;
    for (const char* bad : {"", "YQ=", "Y!==", "YQ"}) {
        EXPECT_FALSE(FromBase64(bad, &out)) << bad;
    }
    ASSERT_TRUE(FromHex("00 0a:FF", &out));
    EXPECT_EQ(std::string("\x00\x0A\xFF", 3), out);
    EXPECT_EQ("000AFF", HexUpper(out));
    for (const char* bad : {"0", "0g", "abc"}) {
        EXPECT_FALSE(FromHex(bad, &out)) << bad;
    }
    // The cloud's sign: MD5 as lowercase hex (RFC 1321's test value).
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5Hex("abc"));
    EXPECT_EQ(0x352441C2u, Crc32("abc"));
}

// ---- schema ----

TEST(CloudSimSchema, HoldsTheTableRowsAndTheReportOnlyOnes)
{
    const int table[] = {105, 101, 103, 104, 107, 108, 134, 106, 168, 169, 110, 109, 150, 151, 112,
                         111, 117, 119, 116, 132, 161, 170, 175, 174, 176, 177, 179, 178, 190, 199,
                         136, 138, 139, 140, 141, 142, 143, 145, 146, 147, 148, 232, 231, 241, 242};
    ASSERT_EQ(45u, std::size(table));
    std::set<int> ids;
    for (const DpDef& d : Schema()) {
        EXPECT_TRUE(ids.insert(d.id).second) << d.id;
    }
    for (int id : table) {
        EXPECT_EQ(1u, ids.count(id)) << id;
    }
    for (int id : {239, 240, 115, 154, 185}) {
        ASSERT_NE(nullptr, FindDp(id));
        EXPECT_STREQ("ro", FindDp(id)->mode) << id;
    }
    EXPECT_EQ(50u, Schema().size());
    cJSON* parsed = cJSON_Parse(SchemaJson().c_str());
    ASSERT_NE(nullptr, parsed);
    EXPECT_EQ(50, cJSON_GetArraySize(parsed));
    cJSON_Delete(parsed);
}

std::string Phone(int id, const std::string& word, bool* off)
{
    cJSON* v = PhoneValue(FindDp(id), word, off);
    char* t = cJSON_PrintUnformatted(v);
    std::string s = t;
    cJSON_free(t);
    cJSON_Delete(v);
    return s;
}

TEST(CloudSimSchema, PhoneWordsBecomeTypedValuesAndTheRestIsMarked)
{
    struct Case {
        int id;
        const char* word;
        const char* json;
        bool off;
    };
    const Case cases[] = {
        {101, "true", "true", false},      {101, "0", "false", false},       {101, "2", "2", true},
        {108, "2", "\"2\"", false},        {108, "3", "3", true},            {108, "02", "2", true},
        {119, "7", "\"7\"", false},        {147, "42", "42", false},         {147, "-1", "-1", true},
        {110, "3", "3", false},            {169, "a b", "\"a b\"", false},   {169, "\"q\"", "\"q\"", true},
        {241, "true", "true", false},      {241, "1", "1", false},           {241, "2", "2", true},
        {242, "false", "false", false},    {105, "yes", "\"yes\"", true},    {999, "1", "1", true},
        {147, "{\"a\":1}", "{\"a\":1}", true},
    };
    for (const Case& c : cases) {
        bool off = false;
        EXPECT_EQ(c.json, Phone(c.id, c.word, &off)) << c.id << " " << c.word;
        EXPECT_EQ(c.off, off) << c.id << " " << c.word;
    }
}

TEST(CloudSimSchema, ReportsAreCheckedAgainstTheirRow)
{
    struct Case {
        int id;
        const char* json;
        const char* problem;  // "" when it fits
    };
    const Case cases[] = {
        {101, "true", ""},          {101, "1", "not a bool"},       {110, "3", ""},
        {110, "9", "out of range"}, {110, "2.5", "not an integer"}, {239, "\"1\"", ""},
        {239, "\"2\"", "not in the range"}, {239, "1", "not a text"}, {241, "true", ""},
        {241, "1", ""},             {241, "\"1\"", "not an integer"}, {109, "\"1|2|3\"", ""},
        {115, "\"eyJhIjoxfQ==\"", ""}, {77, "1", "not in the schema"},
    };
    for (const Case& c : cases) {
        cJSON* v = cJSON_Parse(c.json);
        std::string problem = CheckReport(FindDp(c.id), v);
        cJSON_Delete(v);
        if (std::string(c.problem).empty()) {
            EXPECT_EQ("", problem) << c.id << " " << c.json;
        } else {
            EXPECT_NE(std::string::npos, problem.find(c.problem)) << c.id << " " << c.json << ": " << problem;
        }
    }
}

// ---- state ----

TEST(CloudSimState, ComesBackAsItWasWrittenAndABrokenFileIsRefused)
{
    char tmpl[] = "/tmp/doorphone-cloudstate-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string path = std::string(tmpl) + "/state.json";
    State s;
    s.apiPort = 41001;
    s.mqttPort = 41002;
    s.simPassword = "pw";
    s.current = "nx1";
    s.nextAck = 17;
    s.tokens["abcd1234"] = Token{1700000000, true};
    Device& d = s.devices["nx1"];
    d.devId = "nx1";
    d.uuid = "u1";
    d.localKey = kKey;
    d.password = "p";
    d.activated = 5;
    d.online = true;
    d.lastSeen = 6;
    d.reset = true;
    d.dps[101] = DpValue{"true", 7, ""};
    d.dps[110] = DpValue{"\"x\"", 8, "not an integer"};
    d.events = {"e1", "e2"};
    d.progress = {"p1"};
    d.acks = {"ackId 1 acked"};
    d.acl = {"topic read a/b"};
    ASSERT_TRUE(s.Save(path));

    State r;
    ASSERT_TRUE(r.Load(path));
    EXPECT_EQ(41001, r.apiPort);
    EXPECT_EQ(41002, r.mqttPort);
    EXPECT_EQ("pw", r.simPassword);
    EXPECT_EQ("nx1", r.current);
    EXPECT_EQ(17, r.nextAck);
    EXPECT_TRUE(r.tokens["abcd1234"].used);
    EXPECT_EQ(1700000000, r.tokens["abcd1234"].created);
    const Device& b = r.devices["nx1"];
    EXPECT_EQ("u1", b.uuid);
    EXPECT_EQ(kKey, b.localKey);
    EXPECT_EQ("p", b.password);
    EXPECT_EQ(5, b.activated);
    EXPECT_TRUE(b.online);
    EXPECT_TRUE(b.reset);
    EXPECT_EQ("true", b.dps.at(101).json);
    EXPECT_EQ(7, b.dps.at(101).t);
    EXPECT_EQ("not an integer", b.dps.at(110).problem);
    EXPECT_EQ(d.events, b.events);
    EXPECT_EQ(d.progress, b.progress);
    EXPECT_EQ(d.acks, b.acks);
    EXPECT_EQ(d.acl, b.acl);

    // A file cut short (a crash mid-write of another program) is not taken for a state.
    FILE* f = fopen(path.c_str(), "r+");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(0, ftruncate(fileno(f), 40));
    fclose(f);
    State cut;
    EXPECT_FALSE(cut.Load(path));
    EXPECT_TRUE(cut.devices.empty());
    unlink(path.c_str());
    rmdir(tmpl);
}

TEST(CloudSimState, ListsStayBounded)
{
    std::deque<std::string> list;
    for (int i = 0; i < 250; ++i) {
        PushBounded(&list, std::to_string(i));
    }
    ASSERT_EQ(200u, list.size());
    EXPECT_EQ("50", list.front());
    EXPECT_EQ("249", list.back());
}

}  // namespace
