// The MP4 reader over arbitrary files, as the card's recovery and the playback open what a card
// holds, under the allocation ceiling the unit sets at start. Run with -malloc_limit_mb=64: a
// claim the reader's check lets through to the demuxer shows as an allocation over the limit.
// What it takes: at most the samples a recording may hold, each read back whole from inside the
// file, the private track's in 16-bit samples.
#include "Media/Mp4File.h"
#include "fuzz_util.h"

extern "C" {
#include <libavutil/log.h>
}

#include <memory>
#include <vector>

namespace {

using fuzz::Check;

const char kFile[] = "/mnt/sdcard/DVR/20260314/101500.mp4";
constexpr uint32_t kReadMax = 64;  // samples read back from each end of a track

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    fuzz::Sandbox({"/mnt/sdcard/DVR/20260314"});
    Mp4LimitAllocations();
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::PutFile(kFile, data, size);
    std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(kFile);
    if (!r) {
        return 0;
    }
    Check(size >= 8);
    Check(uint64_t(r->SampleCount()) + r->PcmSampleCount() <= 200000);
    Check(r->HasVideo() || r->SampleCount() == 0);
    Check(r->HasPcm() || r->PcmSampleCount() == 0);
    (void)r->FrameRate();
    std::vector<uint8_t> out;
    const uint32_t n = r->SampleCount();
    for (uint32_t id = 1; id <= n; id = id == kReadMax && n > 2 * kReadMax ? n - kReadMax + 1 : id + 1) {
        bool sync = false;
        Check(r->ReadSample(id, &out, &sync) == 0);
        Check(!out.empty() && out.size() <= size);
    }
    Check(r->ReadSample(n + 1, &out, nullptr) == -1);
    const uint32_t p = r->PcmSampleCount();
    for (uint32_t id = 1; id <= p; id = id == kReadMax && p > 2 * kReadMax ? p - kReadMax + 1 : id + 1) {
        Check(r->ReadPcmSample(id, &out) == 0);
        Check(!out.empty() && out.size() % 2 == 0 && out.size() <= size);
    }
    return 0;
}
