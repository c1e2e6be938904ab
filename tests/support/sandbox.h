// A fresh board root for one test: laid out by tools/mksandbox in a new temporary folder,
// DOORPHONE_ROOT pointed at it, removed again at the end with what it left on the host
// (tools/boardclean: processes of its simulated tools, message queues keyed to it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TestSandbox {
public:
    TestSandbox();
    ~TestSandbox();
    TestSandbox(const TestSandbox&) = delete;
    TestSandbox& operator=(const TestSandbox&) = delete;

    const std::string& Root() const { return mRoot; }
    // Host path of a unit path inside the sandbox.
    std::string Path(const std::string& unitPath) const { return mRoot + unitPath; }
    // Whole content of a sandbox file ("" when missing).
    std::string Read(const std::string& unitPath) const;
    void Write(const std::string& unitPath, const std::string& content) const;
    bool Exists(const std::string& unitPath) const;

private:
    std::string mRoot;
};

// Source and build folders of the project.
std::string SourceDir();
std::string BinaryDir();
// The unit's resources as the build makes them (what a sandbox has in "/customer/res").
std::string ResDir();

// The samples the simulated speaker played so far ("<root>/.board/speaker.wav", 16-bit mono,
// after its 44-byte header).
std::vector<int16_t> SpeakerFile(const TestSandbox& sb);
