// The intercom bus receive step over arbitrary bytes heard on the line, mixed with the link's
// passes and the unit's own frames going out: every frame taken from the receive ring must be one
// an independent reader finds in the bytes (0x02, ten bytes that are neither 0x02 nor 0x03, 0x03,
// a checksum that holds), in order, decoded, and the level handler must see every level frame.
#include "Common/DeviceState.h"
#include "Common/TalkSerial.h"
#include "fuzz_util.h"

#include <array>
#include <cstring>
#include <deque>
#include <vector>

namespace {

using fuzz::Check;
using Frame = std::array<uint8_t, kComFrameLen>;

// The reader the receive ring is checked against.
struct Model {
    bool inFrame = false;
    std::vector<uint8_t> body;   // bytes after the start byte
    std::deque<Frame> pending;   // at most the ring's slots; a frame that finds it full is lost
    int levels = 0;

    void Byte(uint8_t b)
    {
        if (b == kComStart) {
            inFrame = true;
            body.clear();
            return;
        }
        if (b == kComEnd) {
            if (inFrame && body.size() == 10) {
                if (body[0] == 1 && (body[2] != 0 || body[3] != 0)) {
                    ++levels;
                }
                unsigned sum = 0;
                for (int i = 0; i < 9; ++i) {
                    sum += body[i];
                }
                if (((sum & 0xFF) | 0x80) == body[9] && pending.size() < kComRingSlots) {
                    Frame f{};
                    for (int i = 0; i < 10; ++i) {
                        f[i + 1] = body[i] >= 16 ? static_cast<uint8_t>(body[i] - 16) : body[i];
                    }
                    f[11] = kComEnd;
                    pending.push_back(f);
                }
            }
            inFrame = false;
            return;
        }
        if (inFrame) {
            body.push_back(b);
        }
    }
};

Model gModel;
int gLevels = 0;

void LevelHandler(const uint8_t* window)
{
    Check(window[0] == kComStart && window[11] == kComEnd);
    ++gLevels;
}

void Drain()
{
    Frame f{};
    while (ComRecvFrame(f.data(), kComBusPort) == 1) {
        Check(!gModel.pending.empty());
        Check(f == gModel.pending.front());
        gModel.pending.pop_front();
        (void)ComEchoDrop(f.data());
    }
    Check(gModel.pending.empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    fuzz::Sandbox();
    return 0;
}

// Input: records of an op byte and its operand. Op & 3: 0 hears (op >> 2) + 1 bytes, 1 runs
// (op >> 2) + 1 link passes, 2 sends the unit's frame of the next ten bytes, 3 takes every frame
// of the receive ring.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    gDeviceState.ComPort[kComBusPort] = COM_PORT_REC_S{};
    std::memset(gDeviceState.LastSent, 0, sizeof(gDeviceState.LastSent));
    gDeviceState.LastSentIndex = 0;
    gComLevelHandler = LevelHandler;
    gModel = Model{};
    gLevels = 0;

    size_t i = 0;
    while (i < size) {
        uint8_t op = data[i++];
        size_t n = (op >> 2) + 1u;
        switch (op & 3) {
        case 0:
            for (size_t k = 0; k < n && i < size; ++k, ++i) {
                ComRecvByte(kComBusPort, data[i]);
                gModel.Byte(data[i]);
            }
            break;
        case 1:
            for (size_t k = 0; k < n; ++k) {
                ComLinkTick(kComBusPort);
            }
            break;
        case 2: {
            uint8_t body[10] = {};
            for (size_t k = 0; k < 10 && i < size; ++k, ++i) {
                body[k] = data[i];
            }
            (void)ComFrameSend(body, kComBusPort);
            break;
        }
        default:
            Drain();
            break;
        }
        Check(gLevels == gModel.levels);
    }
    Drain();
    // Bytes heard on other ports' numbers, or none at all, are no frames.
    ComRecvByte(-1, kComStart);
    ComRecvByte(kComPortCount, kComEnd);
    Frame f{};
    Check(ComRecvFrame(f.data(), -1) == 0 && ComRecvFrame(f.data(), kComPortCount) == 0);
    gComLevelHandler = nullptr;
    return 0;
}
