// The face store on the sandbox: files checked and made with OpenSSL's AES-128-ECB under the
// local key's first 16 bytes, ids that may become file names, damaged files, calls before the
// store is open, and an add cut by a power loss before its rename.
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_ipc_sdk/ai_face/noxa_ipc_ai_face.h"
#include "platform/board_file_sim.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr const char* kStore = "/DeviceInfo/noxa/face";
constexpr int kLen = 2052;
constexpr char kLocalKey[] = "Kx7pQ2mZ9vR4tW1y";  // 16 characters: the whole store key
const uint8_t kKvKey[16] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};

std::vector<uint8_t> Feature(int seed, size_t len = kLen)
{
    std::vector<uint8_t> f(len);
    for (size_t i = 0; i < len; ++i) {
        f[i] = static_cast<uint8_t>(i * 13 + static_cast<size_t>(seed) * 101 + 7);
    }
    return f;
}

// AES-128-ECB with PKCS#7 by OpenSSL, apart from the unit's cipher.
std::string Ecb(const std::string& in, const std::string& key, bool encrypt)
{
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    std::string out(in.size() + 16, '\0');
    int n = 0;
    int tail = 0;
    bool ok = EVP_CipherInit_ex(c, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                                nullptr, encrypt ? 1 : 0) == 1 &&
              EVP_CipherUpdate(c, reinterpret_cast<unsigned char*>(out.data()), &n,
                               reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(c, reinterpret_cast<unsigned char*>(out.data()) + n, &tail) == 1;
    EVP_CIPHER_CTX_free(c);
    out.resize(ok ? static_cast<size_t>(n + tail) : 0);
    return out;
}

std::string Str(const std::vector<uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

class FaceDb : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ws_db_init("/DeviceInfo/noxa/", kKvKey, 16)); }
    void TearDown() override
    {
        noxa_ipc_ai_face_db_close();
        BoardPowerModel(false);
        kvs_deinit();
    }
    void Activate(const char* localKey)
    {
        GW_ACTV_IF_S ai = {};
        snprintf(ai.key, sizeof(ai.key), "%s", "nxdev01");
        snprintf(ai.lckey, sizeof(ai.lckey), "%s", localKey);
        ASSERT_EQ(0, wd_gw_actv_if_write(&ai));
    }
    void Open()
    {
        Activate(kLocalKey);
        ASSERT_EQ(0, noxa_ipc_ai_face_db_init(kStore, kLen));
    }
    std::string File(const std::string& id) const { return mSb.Read(std::string(kStore) + "/" + id); }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> n;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(mSb.Path(kStore), ec)) {
            n.push_back(e.path().filename().string());
        }
        return n;
    }

    TestSandbox mSb;
};

}  // namespace

TEST_F(FaceDb, EveryCallBeforeTheStoreIsOpenIsRefusedAndTouchesNoFile)
{
    const std::vector<uint8_t> f = Feature(1);
    std::vector<uint8_t> out(kLen, 0xAB);
    char path[128] = "unchanged";
    EXPECT_EQ(-2013, noxa_ipc_ai_face_db_add("7", f.data()));
    EXPECT_EQ(-2013, noxa_ipc_ai_face_db_read("7", out.data()));
    EXPECT_EQ(-2013, noxa_ipc_ai_face_db_delete("7"));
    EXPECT_EQ(-2013, noxa_ipc_ai_face_get_db_path(path));
    EXPECT_EQ(-2013, noxa_ipc_ai_face_update_cloud_face());
    EXPECT_FALSE(mSb.Exists(kStore));
    EXPECT_EQ(std::vector<uint8_t>(kLen, 0xAB), out);
    EXPECT_STREQ("unchanged", path);
}

TEST_F(FaceDb, InitChecksItsArgumentsAndTheLocalKey)
{
    EXPECT_EQ(-1, noxa_ipc_ai_face_db_init(nullptr, kLen));
    EXPECT_EQ(-1, noxa_ipc_ai_face_db_init(kStore, 0));
    EXPECT_EQ(-1, noxa_ipc_ai_face_db_init(("/DeviceInfo/" + std::string(109, 'p')).c_str(), kLen));  // 121
    // No activation record yet: the record's own code; the folder is made first.
    EXPECT_EQ(-901, noxa_ipc_ai_face_db_init(kStore, kLen));
    EXPECT_TRUE(std::filesystem::is_directory(mSb.Path(kStore)));
    EXPECT_EQ(std::filesystem::perms(0755),
              std::filesystem::status(mSb.Path(kStore)).permissions() & std::filesystem::perms::mask);
    // Without a whole local key the store's key would be zeros: refused.
    for (const char* key : {"", "Kx7pQ2mZ9vR4tW1"}) {
        Activate(key);
        EXPECT_EQ(-1, noxa_ipc_ai_face_db_init(kStore, kLen)) << key;
        EXPECT_EQ(-2013, noxa_ipc_ai_face_db_add("1", Feature(1).data()));
    }
    ASSERT_NO_FATAL_FAILURE(Open());
    char path[128] = {};
    EXPECT_EQ(0, noxa_ipc_ai_face_get_db_path(path));
    EXPECT_STREQ(kStore, path);
    EXPECT_EQ(-1, noxa_ipc_ai_face_get_db_path(nullptr));
}

TEST_F(FaceDb, AFeatureIsStoredUnderTheLocalKeyAndReadBack)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    const std::vector<uint8_t> f = Feature(2);
    ASSERT_EQ(0, noxa_ipc_ai_face_db_add("542779", f.data()));
    const std::string file = File("542779");
    EXPECT_EQ(2064u, file.size()) << "2,052 bytes and 12 of padding";
    EXPECT_EQ(Str(f), Ecb(file, kLocalKey, false));
    std::vector<uint8_t> out(kLen);
    ASSERT_EQ(0, noxa_ipc_ai_face_db_read("542779", out.data()));
    EXPECT_EQ(f, out);
    // A file made apart from the unit reads the same way.
    const std::vector<uint8_t> g = Feature(3);
    mSb.Write(std::string(kStore) + "/other_1", Ecb(Str(g), kLocalKey, true));
    ASSERT_EQ(0, noxa_ipc_ai_face_db_read("other_1", out.data()));
    EXPECT_EQ(g, out);
    // Replaced whole; deleting, and deleting again, are both fine.
    ASSERT_EQ(0, noxa_ipc_ai_face_db_add("542779", g.data()));
    ASSERT_EQ(0, noxa_ipc_ai_face_db_read("542779", out.data()));
    EXPECT_EQ(g, out);
    EXPECT_EQ(0, noxa_ipc_ai_face_db_delete("542779"));
    EXPECT_FALSE(mSb.Exists(std::string(kStore) + "/542779"));
    EXPECT_EQ(0, noxa_ipc_ai_face_db_delete("542779"));
    EXPECT_EQ(-7, noxa_ipc_ai_face_db_read("542779", out.data()));
    EXPECT_EQ(-1, noxa_ipc_ai_face_db_read("other_1", nullptr));
    EXPECT_EQ(-1, noxa_ipc_ai_face_db_add("other_2", nullptr));
}

TEST_F(FaceDb, OnlyIdsOfUpTo15SafeCharactersBecomeFileNames)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    mSb.Write("/DeviceInfo/noxa/x", "not a face");
    const std::vector<uint8_t> f = Feature(4);
    std::vector<uint8_t> out(kLen);
    struct {
        const char* id;
        int ret;
    } rows[] = {
        {"123456789012345", 0}, {"a-Z_9", 0},   {"1234567890123456", -1}, {"../x", -1}, {"", -1},
        {"a/b", -1},            {"a.b", -1},     {".", -1},                {"..", -1},  {"x y", -1},
        {nullptr, -1},
    };
    for (const auto& r : rows) {
        const std::string what = r.id != nullptr ? r.id : "(null)";
        EXPECT_EQ(r.ret, noxa_ipc_ai_face_db_add(r.id, f.data())) << what;
        EXPECT_EQ(r.ret, noxa_ipc_ai_face_db_read(r.id, out.data())) << what;
        EXPECT_EQ(r.ret, noxa_ipc_ai_face_db_delete(r.id)) << what;
    }
    EXPECT_EQ("not a face", mSb.Read("/DeviceInfo/noxa/x")) << "delete of \"../x\" reached outside the store";
    EXPECT_TRUE(Names().empty());
}

TEST_F(FaceDb, AFileOfAnotherFeatureLengthReads2014AndLeavesTheOutputAlone)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    struct {
        const char* what;
        std::string file;
    } rows[] = {
        {"one byte short", Ecb(Str(Feature(5, kLen - 1)), kLocalKey, true)},
        {"one byte long", Ecb(Str(Feature(5, kLen + 1)), kLocalKey, true)},
        {"a whole block long", Ecb(Str(Feature(5, kLen + 16)), kLocalKey, true)},
        {"not whole blocks", Ecb(Str(Feature(5)), kLocalKey, true).substr(0, 2060)},
        {"another key", Ecb(Str(Feature(5)), "AnotherKeyOf16ch", true)},
        {"empty", ""},
        {"a large file", std::string(1 << 20, 'z')},
    };
    for (const auto& r : rows) {
        mSb.Write(std::string(kStore) + "/bad", r.file);
        std::vector<uint8_t> out(kLen, 0xAB);
        EXPECT_EQ(-2014, noxa_ipc_ai_face_db_read("bad", out.data())) << r.what;
        EXPECT_EQ(std::vector<uint8_t>(kLen, 0xAB), out) << r.what;
    }
}

TEST_F(FaceDb, AnAddCutBeforeItsRenameKeepsTheOldFace)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    BoardPowerModel(true);
    const std::vector<uint8_t> old = Feature(6);
    ASSERT_EQ(0, noxa_ipc_ai_face_db_add("42", old.data()));
    BoardFileFault("/face/42", BoardFileStep::Rename, true);
    EXPECT_EQ(-7, noxa_ipc_ai_face_db_add("42", Feature(7).data()));
    BoardPowerCut();
    BoardPowerRestore();
    std::vector<uint8_t> out(kLen);
    ASSERT_EQ(0, noxa_ipc_ai_face_db_read("42", out.data()));
    EXPECT_EQ(old, out);
}
