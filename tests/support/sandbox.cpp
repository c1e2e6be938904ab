#include "sandbox.h"

#include "platform/board_path.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

std::string SourceDir()
{
    return DOORPHONE_SOURCE_DIR;
}

std::string BinaryDir()
{
    return DOORPHONE_BINARY_DIR;
}

std::string ResDir()
{
    return DOORPHONE_RES_DIR;
}

TestSandbox::TestSandbox()
{
    char tmpl[] = "/tmp/doorphone-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    mRoot = tmpl;
    // The unit's resources (tones, fonts, icons) go to "/customer/res" as on the unit.
    std::string cmd = "DOORPHONE_RES_DIR=" + ResDir() + " " + SourceDir() + "/tools/mksandbox " + mRoot + " > /dev/null";
    int rc = std::system(cmd.c_str());
    if (rc == -1 || !WIFEXITED(rc) || WEXITSTATUS(rc) != 0) {
        std::filesystem::remove_all(mRoot);
        throw std::runtime_error("mksandbox failed for " + mRoot);
    }
    setenv("DOORPHONE_ROOT", mRoot.c_str(), 1);
    BoardReloadRoot();
}

TestSandbox::~TestSandbox()
{
    // The root stays named: threads the test started (the LED thread, a push) may still reach
    // the board, and must find the removed folder, never the host's "/" or a refusal that ends
    // the test process after it passed. Processes started in the sandbox and queues keyed to it
    // go with it.
    std::string cmd = SourceDir() + "/tools/boardclean --remove " + mRoot + " > /dev/null";
    if (std::system(cmd.c_str()) != 0) {
        std::error_code ec;
        std::filesystem::remove_all(mRoot, ec);
    }
}

std::string TestSandbox::Read(const std::string& unitPath) const
{
    std::ifstream in(Path(unitPath), std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void TestSandbox::Write(const std::string& unitPath, const std::string& content) const
{
    std::filesystem::create_directories(std::filesystem::path(Path(unitPath)).parent_path());
    std::ofstream out(Path(unitPath), std::ios::binary | std::ios::trunc);
    out << content;
}

bool TestSandbox::Exists(const std::string& unitPath) const
{
    return std::filesystem::exists(Path(unitPath));
}

std::vector<int16_t> SpeakerFile(const TestSandbox& sb)
{
    std::string wav = sb.Read("/.board/speaker.wav");
    std::vector<int16_t> pcm(wav.size() > 44 ? (wav.size() - 44) / 2 : 0);
    if (!pcm.empty()) {
        std::memcpy(pcm.data(), wav.data() + 44, pcm.size() * 2);
    }
    return pcm;
}
