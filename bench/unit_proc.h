// The unit's process as /proc shows it, for the whole-process benchmarks: memory by mapping,
// CPU by thread, and what the simulated media layer says it holds ("<root>/.board/media_memory").
// Also the cast of a door call watched by one viewer: local cloud, door station, unit, viewer,
// the unit optionally under heaptrack, whose profile is then split by owner (HeapByOwner).
#pragma once

#include "cloud_peer.h"
#include "process.h"
#include "sandbox.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

namespace unitproc {

// "Name:   N kB" of /proc/PID/status, in kB; -1 when missing.
inline long StatusKb(pid_t pid, const std::string& name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            return std::atol(line.c_str() + name.size() + 1);
        }
    }
    return -1;
}

// Resident kB of each mapping's name in /proc/PID/smaps: a file's path, "[heap]", "[stack]",
// or "[anon]" for anonymous mappings (thread stacks and large allocations among them).
inline std::map<std::string, long> RssByMapping(pid_t pid)
{
    std::map<std::string, long> kb;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    std::string current;
    while (std::getline(in, line)) {
        if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 16) {
            std::istringstream f(line);
            std::string range, perms, offset, dev, inode, path;
            f >> range >> perms >> offset >> dev >> inode;
            std::getline(f, path);
            path.erase(0, path.find_first_not_of(' '));
            current = path.empty() ? "[anon]" : path;
        } else if (line.compare(0, 4, "Rss:") == 0) {
            kb[current] += std::atol(line.c_str() + 4);
        }
    }
    return kb;
}

// Output of a shell command.
inline std::string Run(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    pclose(p);
    return out;
}

// The paths "ldd FILE" resolves ("name => path (address)").
inline std::map<std::string, std::string> Ldd(const std::string& file)
{
    std::map<std::string, std::string> paths;
    std::istringstream in(Run("ldd '" + file + "' 2>/dev/null"));
    std::string name, arrow, path;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        if (f >> name >> arrow >> path && arrow == "=>" && path[0] == '/') {
            // As /proc names it: "/lib" may be a link to "/usr/lib".
            char real[PATH_MAX];
            paths[name] = realpath(path.c_str(), real) != nullptr ? real : path;
        }
    }
    return paths;
}

// Which of the unit's libraries a mapped library is there for. Each library the program names
// itself (its NEEDED entries) brings its own dependencies; a library all of whose bringers are
// FFmpeg's (libav*, libsw*: the simulated encoders and scalers, and the MP4 and AAC work that
// small libraries do on the unit) counts as the simulation's; one brought only by OpenCV (the
// person detector, ncnn on the unit) or by both as a stand-in's; the rest as the unit's own.
enum class Owner { Unit, Simulation, StandIn };
class LibraryOwners {
public:
    explicit LibraryOwners(const std::string& program)
    {
        const std::map<std::string, std::string> all = Ldd(program);
        std::istringstream needed(Run("readelf -d '" + program + "' 2>/dev/null"));
        std::string line;
        while (std::getline(needed, line)) {
            const size_t open = line.find("(NEEDED)");
            const size_t lb = line.find('[');
            const size_t rb = line.find(']');
            if (open == std::string::npos || lb == std::string::npos || rb == std::string::npos) {
                continue;
            }
            const std::string name = line.substr(lb + 1, rb - lb - 1);
            auto it = all.find(name);
            if (it == all.end()) {
                continue;
            }
            const int kind = name.compare(0, 5, "libav") == 0 || name.compare(0, 5, "libsw") == 0 ? 1
                             : name.compare(0, 9, "libopencv") == 0                                  ? 2
                                                                                                     : 0;
            mKinds[it->second] |= 1 << kind;
            for (const auto& [dep, path] : Ldd(it->second)) {
                mKinds[path] |= 1 << kind;
            }
        }
    }
    Owner Of(const std::string& path) const
    {
        auto it = mKinds.find(path);
        if (it == mKinds.end() || (it->second & 1) != 0) {
            return Owner::Unit;
        }
        return it->second == 2 ? Owner::Simulation : Owner::StandIn;
    }

private:
    std::map<std::string, int> mKinds;  // bit 0: a library of the unit's brings it, 1: FFmpeg, 2: OpenCV
};

// What the simulated media layer holds in the unit's process: picture buffers and what the
// encoders and scalers touched, in bytes, as the pump last wrote them.
struct SimHeld {
    long long frames = 0;
    long long codecs = 0;
};
inline SimHeld ReadSimHeld(const TestSandbox& box)
{
    SimHeld h;
    std::ifstream in(box.Path("/.board/media_memory"));
    std::string key;
    long long v = 0;
    while (in >> key >> v) {
        if (key == "frames") {
            h.frames = v;
        } else if (key == "codecs") {
            h.codecs = v;
        }
    }
    return h;
}

// Fields of /proc/PID/task/TID/stat (numbered as proc(5) does, from 1) summed per thread:
// name -> sum, threads of one name summed.
inline std::map<std::string, long long> ByThread(pid_t pid, const std::vector<int>& fields)
{
    std::map<std::string, long long> ticks;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return ticks;
    }
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(dir + "/" + e->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t open = stat.find('(');
        const size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        const std::string name = stat.substr(open + 1, close - open - 1);
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        long long sum = 0;
        for (int i = 3; i <= 52 && rest >> field; ++i) {
            if (std::find(fields.begin(), fields.end(), i) != fields.end()) {
                sum += std::atoll(field.c_str());
            }
        }
        ticks[name] += sum;
    }
    closedir(d);
    return ticks;
}

// CPU ticks (user + system) of each thread.
inline std::map<std::string, long long> TicksByThread(pid_t pid)
{
    return ByThread(pid, {14, 15});
}

// Minor page faults of each thread: roughly the pages it touched first (anonymous pages come
// into being that way), counted again when memory is given back and taken anew.
inline std::map<std::string, long long> FaultsByThread(pid_t pid)
{
    return ByThread(pid, {10});
}

// The simulated media layer's thread: capture, scaling, overlays and encoding of every period.
constexpr const char* kSimThread = "mi_sim_pump";

// The cast of a door call: the local cloud, the door station on the bus, the unit paired and
// online; Ring() calls from door 1, Watch() starts one viewer on the main stream.
// The heap at its peak (bytes, from heaptrack's stacks) by owner: the simulated board (every
// allocation made inside a simulated SoC call, the simulation's own thread or its namespace), the
// person detector's stand-in (OpenCV) and the unit's own (the rest, the unit's MP4 and AAC
// adapters' FFmpeg calls included).
struct HeapSplit {
    double total = 0, simulation = 0, standIn = 0, unit = 0;
    bool ok = false;
};

inline HeapSplit HeapByOwner(const std::string& profile)
{
    HeapSplit h;
    const std::string stacks = profile + ".stacks";
    const std::string cmd = "heaptrack_print -f '" + profile + "' -p 0 -a 0 -T 0 --flamegraph-cost-type peak -F '" +
                            stacks + "' > /dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        return h;
    }
    std::ifstream in(stacks);
    std::string line;
    while (std::getline(in, line)) {
        const size_t sp = line.rfind(' ');
        if (sp == std::string::npos) {
            continue;
        }
        const double bytes = std::atof(line.c_str() + sp + 1);
        const std::string stack = line.substr(0, sp);
        const bool sim = stack.find("misim::") != std::string::npos || stack.find(";MI_") != std::string::npos ||
                         stack.rfind("MI_", 0) == 0 || stack.find("__PumpThread") != std::string::npos;
        const bool cv = stack.find("cv::") != std::string::npos;
        h.total += bytes;
        (sim ? h.simulation : cv ? h.standIn : h.unit) += bytes;
    }
    std::remove(stacks.c_str());
    h.ok = h.total > 0;
    return h;
}

class DoorCallCast {
public:
    // heapProfile: run the unit under heaptrack writing there (heaptrack adds ".zst").
    explicit DoorCallCast(std::string heapProfile = "") : mHeapProfile(std::move(heapProfile)) {}
    bool Start(std::string* why)
    {
        mCloud = std::make_unique<CloudPeer>(mBox.Root());
        mStation = std::make_unique<ChildProcess>(
            std::vector<std::string>{BinaryDir() + "/tools/doorstation", "--root", mBox.Root()});
        if (!mStation->WaitForOutput("linked at", std::chrono::seconds(10))) {
            *why = "no door station";
            return false;
        }
        std::vector<std::string> argv{BinaryDir() + "/src/Common/doorphone", "-m", "2", "-t", mCloud->Pair()};
        if (!mHeapProfile.empty()) {
            argv.insert(argv.begin(), {"heaptrack", "-o", mHeapProfile});
        }
        mUnit = std::make_unique<ChildProcess>(argv, std::vector<std::string>{"DOORPHONE_ROOT=" + mBox.Root()});
        if (!mUnit->WaitForOutput("Dbg:mqtt is online", std::chrono::seconds(60))) {
            *why = "the unit did not come online";
            return false;
        }
        return true;
    }
    bool Ring(std::string* why)
    {
        mStation->WriteLine("call 1");
        if (!mUnit->WaitForOutput("Com Order ComOrder_DeviceTriger 0", std::chrono::seconds(10))) {
            *why = "no call: " + Tail(mStation->Output());
            return false;
        }
        return true;
    }
    bool Watch(int seconds, std::string* why)
    {
        // The viewers' port opens once the unit is online and its transfer module runs.
        if (!Eventually([this] { return mBox.Exists("/.board/p2p.port"); }, std::chrono::seconds(20))) {
            *why = "no viewer port";
            return false;
        }
        mViewer = std::make_unique<ChildProcess>(std::vector<std::string>{
            BinaryDir() + "/tools/viewer", mBox.Root(), "--client", "0", "--live", std::to_string(seconds), "--quality",
            "0", "--video", mBox.Path("/live.264")});
        if (!mUnit->WaitForOutput("video start", std::chrono::seconds(20))) {
            *why = "no live view: " + Tail(mViewer->Output());
            return false;
        }
        return true;
    }
    // A bus call from door 1 watched by one viewer for `seconds`.
    bool CallAndWatch(int seconds, std::string* why) { return Ring(why) && Watch(seconds, why); }
    static std::string Tail(const std::string& text) { return text.size() > 600 ? text.substr(text.size() - 600) : text; }
    // Lets time pass while the unit's output is read, so a full pipe never stalls it.
    void Pass(std::chrono::milliseconds span)
    {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            mUnit->Output();
        }
    }
    void Stop()
    {
        if (mViewer) {
            mViewer->WaitExit(std::chrono::seconds(60));
        }
        if (mHeapProfile.empty()) {
            mUnit->Kill(SIGTERM);
            mUnit->WaitExit(std::chrono::seconds(10));
            return;
        }
        // heaptrack's script waits for the unit, then for its profile to be written.
        const pid_t unit = UnitPid();
        if (unit > 0) {
            kill(unit, SIGTERM);
        }
        mUnit->WaitExit(std::chrono::seconds(120));
    }
    // The unit's process (under heaptrack: the script's child).
    pid_t UnitPid() const
    {
        if (mHeapProfile.empty()) {
            return mUnit->Pid();
        }
        const std::string p = std::to_string(mUnit->Pid());
        std::ifstream in("/proc/" + p + "/task/" + p + "/children");
        pid_t child = 0;
        while (in >> child) {
            std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
            std::string name;
            if (comm >> name && name == "doorphone") {
                return child;
            }
        }
        return -1;
    }
    // The profile heaptrack wrote, empty when none.
    std::string HeapProfileFile() const
    {
        for (const char* ext : {".zst", ".gz"}) {
            if (access((mHeapProfile + ext).c_str(), R_OK) == 0) {
                return mHeapProfile + ext;
            }
        }
        return "";
    }
    const TestSandbox& Box() const { return mBox; }

private:
    std::string mHeapProfile;
    TestSandbox mBox;
    std::unique_ptr<CloudPeer> mCloud;
    std::unique_ptr<ChildProcess> mStation;
    std::unique_ptr<ChildProcess> mUnit;
    std::unique_ptr<ChildProcess> mViewer;
};

}  // namespace unitproc
