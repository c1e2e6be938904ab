#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"

#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

// Fences order the frame bytes against the writer's announced stream position (a seqlock).
// ThreadSanitizer cannot follow fences and GCC warns at each one, so its builds go without: what
// it checks there is the release/acquire pairs of the head and of the readers' slots.
#if defined(DOORPHONE_TSAN)
#define RING_FENCE(order) ((void)0)
#else
#define RING_FENCE(order) std::atomic_thread_fence(order)
#endif

namespace {

constexpr int kLastVideoChannel = 7;
constexpr int kFirstAudioChannel = 9;
constexpr uint32_t kMaxBitrate = 2048;
constexpr uint32_t kMaxSeconds = 10;
constexpr uint32_t kDefaultSeconds = 10;

constexpr int kRefused = -1;
constexpr int kBadArgument = -ENOENT;
constexpr int kNoMemory = -ESRCH;

// Reader polling.
constexpr uint32_t kNoDataSleepMs = 100;
constexpr uint32_t kKeyFramePollMs = 10;
constexpr uint32_t kSkipPollMs = 5;
constexpr uint32_t kTargetPollMs = 20;
// Every wait for a frame ends after this long without one: a reader thread that is being stopped
// gets back to its loop, and its caller treats null as "poll again".
constexpr uint64_t kWaitLimitMs = 2000;
// A frame stamped this far (seconds) from the wall clock was stamped before a clock change.
constexpr int64_t kStaleSeconds = 10000;
// The pool starts on a page. A large block from the system allocator starts a few bytes past
// one, which puts every frame a few bytes ahead of a page-aligned source modulo 4 KiB: on x86 a
// copy at that distance takes the slow path of the string instructions (some 20 times slower).
constexpr uintptr_t kPoolAlign = 4096;

enum USER_STATUS_E : uint32_t {
    USER_STATUS_NONE = 0,        // the next read positions the reader
    USER_STATUS_POSITIONED = 1,  // the next read returns the node after the cursor
    USER_STATUS_ANCHORED = 4,    // the next read returns the cursor node itself
};

// One reader's position in one channel. The reader's own thread moves it; other threads may
// reset it.
struct RING_BUFFER_USER_S {
    std::atomic<uint32_t> nodeIndex{0};
    std::atomic<uint32_t> seqNo{0};
    std::atomic<uint32_t> status{USER_STATUS_NONE};
    // Stored (release) each time the reader is done with the bytes of its earlier frames; the
    // writer loads it (acquire) before it rewrites pool bytes.
    std::atomic<uint32_t> released{0};
};

struct RING_BUFFER_CHANNEL_S {
    std::atomic<uint32_t> inited{0};
    RING_BUFFER_NODE_S* nodes = nullptr;
    uint32_t nodeCount = 0;
    uint32_t fps = 0;
    uint32_t bitrate = 0;
    std::atomic<uint32_t> headIndex{0};
    std::atomic<uint32_t> seqNo{0};
    uint32_t bufferSeconds = 0;
    std::atomic<uint32_t> maxFrameSize{0};
    uint8_t* pool = nullptr;  // page-aligned inside its block, which is kept for the process's life
    uint32_t poolSize = 0;
    uint32_t tailOffset = 0;
    uint64_t poolLap = 0;  // restarts at offset 0 so far (writer only)
    // Byte-stream position up to which the writer has written or is writing right now.
    std::atomic<uint64_t> writePos{0};
    RING_BUFFER_KEY_FRAME_REQUEST keyFrameRequest = nullptr;
    // Reader slots that have ever taken a frame (bit per user; bits are never cleared): the
    // writer pairs with the release marks of these slots only.
    std::atomic<uint32_t> readerMask{0};
    RING_BUFFER_USER_S users[RING_BUFFER_USER_NUM];
};

RING_BUFFER_CHANNEL_S s_channels[RING_BUFFER_CHANNEL_NUM];
std::atomic<uint32_t> s_syncSeq{0};
// Pending audio synchronisation point per user (0: none), left by a video anchor.
std::atomic<uint32_t> g_userSyncSeq[RING_BUFFER_USER_NUM];

// Threads waiting for an append (noxa_ipc_ring_buffer_wait_append). The writer looks at the count
// after publishing its frame and takes the lock only when someone waits.
std::atomic<uint32_t> s_appendWaiters{0};
std::mutex s_appendLock;
std::condition_variable s_appendCv;

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;

bool __channel_valid(int channel)
{
    if (channel < 0 || channel >= RING_BUFFER_CHANNEL_NUM) {
        PR_ERR("Wrong buffer ring index channel:%d", channel);
        return false;
    }
    return true;
}

bool __user_valid(int user)
{
    if (user < 0 || user >= RING_BUFFER_USER_NUM) {
        PR_ERR("user index invalid %d\n", user);
        return false;
    }
    return true;
}

bool __is_video(int channel)
{
    return channel >= 0 && channel <= kLastVideoChannel;
}

bool __is_audio(int channel)
{
    return channel >= kFirstAudioChannel && channel < RING_BUFFER_CHANNEL_NUM;
}

// The channel when it is initialised; else null (logged).
RING_BUFFER_CHANNEL_S* __inited(int channel)
{
    RING_BUFFER_CHANNEL_S& ch = s_channels[channel];
    if (ch.inited.load(kAcquire) == 0) {
        PR_ERR("RingBuffer Channel:%d Not Inited", channel);
        return nullptr;
    }
    return &ch;
}

// As above, with the pause that keeps a polling reader from spinning.
RING_BUFFER_CHANNEL_S* __inited_or_pause(int channel)
{
    RING_BUFFER_CHANNEL_S* ch = __inited(channel);
    if (ch == nullptr) {
        uni_sleep_ms(kNoDataSleepMs);
    }
    return ch;
}

// The channel for a call that names a reader: both in range, the channel initialised.
RING_BUFFER_CHANNEL_S* __checked_channel(int channel, int user)
{
    if (!__channel_valid(channel) || !__user_valid(user)) {
        return nullptr;
    }
    return __inited_or_pause(channel);
}

bool __has_data(const RING_BUFFER_CHANNEL_S& ch)
{
    return ch.seqNo.load(kAcquire) != 0;
}

// Sequence order across the wrap: a is newer than b.
bool __seq_after(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) > 0;
}

uint32_t __prev(const RING_BUFFER_CHANNEL_S& ch, uint32_t i)
{
    return i == 0 ? ch.nodeCount - 1 : i - 1;
}

uint32_t __next(const RING_BUFFER_CHANNEL_S& ch, uint32_t i)
{
    return i + 1 >= ch.nodeCount ? 0 : i + 1;
}

RING_BUFFER_NODE_S& __head(RING_BUFFER_CHANNEL_S& ch)
{
    return ch.nodes[ch.headIndex.load(kAcquire)];
}

// The node is one of the channel's (callers may hand in any pointer).
bool __owns(const RING_BUFFER_CHANNEL_S& ch, const RING_BUFFER_NODE_S* node)
{
    auto p = reinterpret_cast<uintptr_t>(node);
    auto first = reinterpret_cast<uintptr_t>(ch.nodes);
    return p >= first && p < first + sizeof(RING_BUFFER_NODE_S) * ch.nodeCount &&
           (p - first) % sizeof(RING_BUFFER_NODE_S) == 0;
}

bool __is_key(const RING_BUFFER_NODE_S& n)
{
    return n.type.load(kRelaxed) == MEDIA_FRAME_TYPE_I && n.seqNo.load(kRelaxed) != 0;
}

// How far back a pre-frame search may go: the buffer less one second, less a margin for the
// frames appended while the reader gets going.
int64_t __back_limit(const RING_BUFFER_CHANNEL_S& ch)
{
    return static_cast<int64_t>(ch.fps) * (ch.bufferSeconds - 1) - 10;
}

// Stream position up to which the writer's next append may write: one maximum frame past what it
// has written, or, when such a frame would reach the pool end (it then restarts at offset 0), one
// maximum frame into the next lap.
uint64_t __next_write_limit(const RING_BUFFER_CHANNEL_S& ch)
{
    uint64_t end = ch.writePos.load(kAcquire);
    uint64_t lapStart = end / ch.poolSize * ch.poolSize;
    uint64_t max = ch.maxFrameSize.load(kRelaxed);
    if (end - lapStart + max >= ch.poolSize) {
        return lapStart + ch.poolSize + max;
    }
    return end + max;
}

// The bytes at stream position pos survive the writer's next append.
bool __bytes_safe(const RING_BUFFER_CHANNEL_S& ch, uint64_t pos)
{
    return __next_write_limit(ch) <= pos + ch.poolSize;
}

bool __stale(const RING_BUFFER_NODE_S& n, int64_t nowSec)
{
    int64_t t = static_cast<int64_t>(n.timestamp.load(kRelaxed) / 1000);
    return t - nowSec > kStaleSeconds || nowSec - t > kStaleSeconds;
}

// IsDelayedTooMuch: the reader must skip forward, because the nodes after its cursor are about to
// be reused, its frame was cut from the history, or the writer's next append may reach its
// frame's bytes.
bool __is_delayed(RING_BUFFER_CHANNEL_S& ch, const RING_BUFFER_USER_S& u)
{
    const RING_BUFFER_NODE_S& head = __head(ch);
    uint32_t headSeq = head.seqNo.load(kRelaxed);
    uint32_t userSeq = u.seqNo.load(kRelaxed);
    if (headSeq - userSeq > ch.bufferSeconds * ch.fps - ch.fps / 2) {
        PR_DEBUG("delay too much(seqNo:%d->%d)", userSeq, headSeq);
        return true;
    }
    const RING_BUFFER_NODE_S& cursor = ch.nodes[u.nodeIndex.load(kRelaxed)];
    if (cursor.seqNo.load(kRelaxed) != userSeq) {
        // The history was cut under the reader: what follows may lack its key frame.
        PR_DEBUG("delay too much(seqNo:%d->%d)", userSeq, headSeq);
        return true;
    }
    uint64_t pos = cursor.poolPos.load(kRelaxed);
    if (__bytes_safe(ch, pos)) {
        return false;
    }
    uint64_t headEnd = head.poolPos.load(kRelaxed) + head.size.load(kRelaxed);
    auto headEndOffset = static_cast<uint32_t>(headEnd - head.poolPos.load(kRelaxed) / ch.poolSize * ch.poolSize);
    auto readerOffset = static_cast<uint32_t>(pos % ch.poolSize);
    if (headEndOffset > readerOffset) {
        PR_DEBUG("delay too much:%d %d %d %d", 0, ch.poolSize, readerOffset, headEndOffset);
    } else {
        PR_DEBUG("delay too much:%d-%d<%d", readerOffset, headEndOffset, ch.maxFrameSize.load(kRelaxed));
    }
    return true;
}

// GetNextNode: the node after the cursor once the writer has published a newer one (the cursor
// moves), else null.
RING_BUFFER_NODE_S* __next_node(RING_BUFFER_CHANNEL_S& ch, uint32_t& cursor)
{
    const RING_BUFFER_NODE_S& head = __head(ch);
    if (ch.nodes[cursor].seqNo.load(kRelaxed) == head.seqNo.load(kRelaxed)) {
        return nullptr;
    }
    cursor = __next(ch, cursor);
    return &ch.nodes[cursor];
}

// The reader's slot joins those whose release marks the writer loads. Done before the slot's
// first release mark, so that the writer never skips a mark it should pair with.
void __mark_reader(RING_BUFFER_CHANNEL_S& ch, int user)
{
    uint32_t bit = 1u << user;
    if ((ch.readerMask.load(kRelaxed) & bit) == 0) {
        ch.readerMask.fetch_or(bit, kRelease);
    }
}

void __set_position(RING_BUFFER_CHANNEL_S& ch, int user, const RING_BUFFER_NODE_S& node)
{
    RING_BUFFER_USER_S& u = ch.users[user];
    uint32_t seq = node.seqNo.load(kRelaxed);
    u.nodeIndex.store(node.index.load(kRelaxed), kRelaxed);
    u.seqNo.store(seq, kRelaxed);
    // A reader asks for a frame only when it is done with the one before.
    __mark_reader(ch, user);
    u.released.store(seq, kRelease);
}

RING_BUFFER_NODE_S* __take(int channel, int user, RING_BUFFER_NODE_S& node, uint32_t status)
{
    RING_BUFFER_USER_S& u = s_channels[channel].users[user];
    __set_position(s_channels[channel], user, node);
    u.status.store(status, kRelaxed);
    PR_TRACE("channel:%d user:%d node index %d, seqNo %d, timestamp %lld", channel, user, node.index.load(kRelaxed),
             node.seqNo.load(kRelaxed), static_cast<long long>(node.timestamp.load(kRelaxed)));
    return &node;
}

// The newest key frame older than the node at `from` whose bytes are still intact; the search
// stops where the history was cut.
RING_BUFFER_NODE_S* __key_frame_before(RING_BUFFER_CHANNEL_S& ch, uint32_t from)
{
    if (ch.nodes[from].seqNo.load(kAcquire) == 0) {
        return nullptr;
    }
    // Never round the ring onto the node the writer is refilling.
    int64_t steps = std::min<int64_t>(3 * static_cast<int64_t>(ch.fps) - 1, static_cast<int64_t>(ch.nodeCount) - 2);
    uint32_t i = from;
    for (int64_t k = 0; k < steps; ++k) {
        i = __prev(ch, i);
        RING_BUFFER_NODE_S& n = ch.nodes[i];
        if (n.seqNo.load(kAcquire) == 0 || !__bytes_safe(ch, n.poolPos.load(kRelaxed))) {
            break;
        }
        if (n.type.load(kRelaxed) == MEDIA_FRAME_TYPE_I) {
            return &n;
        }
    }
    return nullptr;
}

// Waits at most `ms` for the channel's next append after sequence `seq` (the channel's seqNo
// the caller last saw). The count of waiters goes up before the sequence is looked at, and the
// writer stores the sequence before it looks at the count (both sequentially consistent): one of
// the two always sees the other, so no append is slept through.
bool __wait_append(const RING_BUFFER_APPEND_MARK_S& mark, uint32_t ms)
{
    auto appended = [&] {
        for (int c = 0; c < RING_BUFFER_CHANNEL_NUM; ++c) {
            if ((mark.mask & (1u << c)) != 0 && s_channels[c].seqNo.load(std::memory_order_seq_cst) != mark.seq[c]) {
                return true;
            }
        }
        return false;
    };
    s_appendWaiters.fetch_add(1, std::memory_order_seq_cst);
    bool got;
    {
        std::unique_lock<std::mutex> lock(s_appendLock);
        got = s_appendCv.wait_for(lock, std::chrono::milliseconds(ms), appended);
    }
    s_appendWaiters.fetch_sub(1, std::memory_order_relaxed);
    return got;
}

// Follows the writer from `cursor` until a key frame arrives; null at the deadline.
RING_BUFFER_NODE_S* __wait_key_frame(RING_BUFFER_CHANNEL_S& ch, int channel, uint32_t cursor, uint64_t deadline)
{
    for (;;) {
        RING_BUFFER_APPEND_MARK_S mark{};
        noxa_ipc_ring_buffer_append_mark(1u << channel, &mark);
        RING_BUFFER_NODE_S* n = __next_node(ch, cursor);
        if (n != nullptr && __is_key(*n)) {
            return n;
        }
        if (uni_get_tick_ms() >= deadline) {
            return nullptr;
        }
        if (n == nullptr) {
            (void)__wait_append(mark, kKeyFramePollMs);
        }
    }
}

// A live viewer (peer-to-peer or WebRTC slot, the cloud-gateway streamer) starts on a key frame
// held in the ring only while it is the newest frame and less than one frame interval old: an
// older one would put the whole view that far behind the door.
bool __live_user(int user)
{
    return user >= RING_BUFFER_USER_P2P_BASE && user <= RING_BUFFER_USER_STREAMER;
}

bool __fresh_key(const RING_BUFFER_CHANNEL_S& ch, const RING_BUFFER_NODE_S& head)
{
    if (!__is_key(head)) {
        return false;
    }
    auto age = static_cast<int64_t>(uni_time_get_posix_ms() - head.timestamp.load(kRelaxed));
    return age >= 0 && age * static_cast<int64_t>(ch.fps) < 1000;
}

// Status 0: the newest key frame, from the head, from the last few seconds, or the next one to
// arrive (the encoder is asked for it).
RING_BUFFER_NODE_S* __first_video_read(RING_BUFFER_CHANNEL_S& ch, int channel, int user)
{
    uint64_t deadline = uni_get_tick_ms() + kWaitLimitMs;
    uint32_t cursor = ch.headIndex.load(kAcquire);
    RING_BUFFER_NODE_S& head = ch.nodes[cursor];
    PR_DEBUG("user %d get latest frame node type %d", user, head.type.load(kRelaxed));
    RING_BUFFER_NODE_S* found = nullptr;
    if (__live_user(user)) {
        found = __fresh_key(ch, head) ? &head : nullptr;
    } else {
        found = __is_key(head) ? &head : __key_frame_before(ch, cursor);
    }
    if (found == nullptr) {
        if (ch.keyFrameRequest != nullptr) {
            PR_DEBUG("user %d request I frame from channel %d to speed up", user, channel);
            ch.keyFrameRequest(channel);
        }
        found = __wait_key_frame(ch, channel, cursor, deadline);
        if (found == nullptr) {
            return nullptr;  // status stays 0: the next read asks again
        }
        PR_DEBUG("user %d get latest I frame success, node %d seqNo %d channel %d", user, found->index.load(kRelaxed),
                 found->seqNo.load(kRelaxed), channel);
    }
    return __take(channel, user, *found, USER_STATUS_POSITIONED);
}

// Status 1 and 4. Null with `lagging` set when the reader must skip forward instead.
RING_BUFFER_NODE_S* __positioned_read(RING_BUFFER_CHANNEL_S& ch, int channel, int user, int retry, bool& lagging)
{
    RING_BUFFER_USER_S& u = ch.users[user];
    bool anchored = u.status.exchange(USER_STATUS_POSITIONED, kRelaxed) == USER_STATUS_ANCHORED;
    lagging = __is_delayed(ch, u);
    if (lagging) {
        return nullptr;
    }
    uint32_t cursor = u.nodeIndex.load(kRelaxed);
    if (anchored || retry != 0) {
        return __take(channel, user, ch.nodes[cursor], USER_STATUS_POSITIONED);
    }
    RING_BUFFER_NODE_S* next = __next_node(ch, cursor);
    if (next != nullptr && next->seqNo.load(kAcquire) == 0) {
        lagging = true;  // the reader is about to step onto a cut
        return nullptr;
    }
    return next == nullptr ? nullptr : __take(channel, user, *next, USER_STATUS_POSITIONED);
}

// A lagging video reader waits for the newest frame to be a key frame. A head cut by
// clean_user_state_and_buffer (sequence 0) is no longer a frame to hand out.
RING_BUFFER_NODE_S* __skip_to_key_frame(RING_BUFFER_CHANNEL_S& ch, int channel, int user)
{
    uint64_t deadline = uni_get_tick_ms() + kWaitLimitMs;
    for (;;) {
        RING_BUFFER_APPEND_MARK_S mark{};
        noxa_ipc_ring_buffer_append_mark(1u << channel, &mark);
        RING_BUFFER_NODE_S& head = __head(ch);
        if (__is_key(head)) {
            PR_DEBUG("user %d skip to latest I frame, node %d seqNo %d channel %d", user, head.index.load(kRelaxed),
                     head.seqNo.load(kRelaxed), channel);
            return __take(channel, user, head, USER_STATUS_POSITIONED);
        }
        if (uni_get_tick_ms() >= deadline) {
            // Start afresh next time: continuing after the cursor would hand out inter frames
            // without the key frame they need.
            ch.users[user].status.store(USER_STATUS_NONE, kRelaxed);
            return nullptr;
        }
        (void)__wait_append(mark, kSkipPollMs);
    }
}

// The channel when it holds frames; else null after the pause that keeps polling readers from
// spinning.
RING_BUFFER_CHANNEL_S* __channel_with_data(int channel, int user, bool video)
{
    RING_BUFFER_CHANNEL_S* ch = __inited_or_pause(channel);
    if (ch == nullptr || __has_data(*ch)) {
        return ch;
    }
    if (video) {
        PR_DEBUG("No video data inside ring buffer. GET starts before PUT? channel %d", channel);
    } else if (user >= 0) {
        PR_DEBUG("No audio data inside channel %d for user %d. GET starts before PUT?", channel, user);
    } else {
        PR_DEBUG("No audio data inside channel %d. GET starts before PUT?", channel);
    }
    uni_sleep_ms(kNoDataSleepMs);
    return nullptr;
}

// The channel of a read: of the reader's kind (video 0..7, audio 9..15) and holding frames.
RING_BUFFER_CHANNEL_S* __reader_channel(int channel, int user, bool video)
{
    if (!(video ? __is_video(channel) : __is_audio(channel)) || user < 0 || user >= RING_BUFFER_USER_NUM) {
        return nullptr;
    }
    return __channel_with_data(channel, user, video);
}

// The channel when a search `frames` back may start there.
RING_BUFFER_CHANNEL_S* __search_channel(int channel, uint32_t frames, bool video)
{
    RING_BUFFER_CHANNEL_S* ch = __channel_with_data(channel, -1, video);
    if (ch == nullptr) {
        return nullptr;
    }
    int64_t limit = __back_limit(*ch);
    if (static_cast<int64_t>(frames) > limit) {
        if (video) {
            PR_ERR("backward frame num too big %d > %d max", frames, static_cast<int>(limit));
        } else {
            PR_ERR("backwards frame num too big %d > %d max", frames, static_cast<int>(limit));
        }
        return nullptr;
    }
    return ch;
}

RING_BUFFER_NODE_S* __find_pre_video(int channel, uint32_t frames)
{
    RING_BUFFER_CHANNEL_S* ch = __search_channel(channel, frames, true);
    if (ch == nullptr) {
        return nullptr;
    }
    int64_t limit = __back_limit(*ch);
    uint32_t headIndex = ch->headIndex.load(kAcquire);
    auto now = static_cast<int64_t>(uni_time_get_posix());
    RING_BUFFER_NODE_S* candidate = nullptr;
    uint32_t i = headIndex;
    for (int64_t count = 1;; ++count) {
        RING_BUFFER_NODE_S& n = ch->nodes[i];
        if (n.seqNo.load(kAcquire) == 0 || (count > 1 && !__bytes_safe(*ch, n.poolPos.load(kRelaxed)))) {
            break;
        }
        if (__stale(n, now)) {
            PR_DEBUG("Channel:%d, The timestamp is too old. Break", channel);
            break;
        }
        if (n.type.load(kRelaxed) == MEDIA_FRAME_TYPE_I) {
            candidate = &n;
            if (count >= frames) {
                break;
            }
        }
        if (count >= limit) {
            break;
        }
        i = __prev(*ch, i);
    }
    if (candidate == nullptr) {
        PR_ERR("cannot find suitable node to backward");
        return nullptr;
    }
    PR_DEBUG("backwards to node index %d, current head %d, timestamp %lld", candidate->index.load(kRelaxed), headIndex,
             static_cast<long long>(candidate->timestamp.load(kRelaxed)));
    return candidate;
}

RING_BUFFER_NODE_S* __find_pre_audio(int channel, uint32_t frames)
{
    RING_BUFFER_CHANNEL_S* ch = __search_channel(channel, frames, false);
    if (ch == nullptr) {
        return nullptr;
    }
    uint32_t headIndex = ch->headIndex.load(kAcquire);
    RING_BUFFER_NODE_S& head = ch->nodes[headIndex];
    uint32_t headSeq = head.seqNo.load(kAcquire);
    if (headSeq == 0) {
        // The history was cut at the head: nothing to start from until the next frame.
        PR_ERR("cannot find suitable node to backward");
        return nullptr;
    }
    if (frames >= headSeq) {
        PR_DEBUG("This is a quick-start user of channel %d", channel);
        frames = headSeq - 1;
    }
    RING_BUFFER_NODE_S* answer = &head;
    uint32_t i = headIndex;
    for (uint32_t k = 0; k < frames; ++k) {
        i = __prev(*ch, i);
        RING_BUFFER_NODE_S& n = ch->nodes[i];
        // The oldest frame still there is the answer, not the cut or refilled node before it.
        if (n.seqNo.load(kAcquire) == 0 || !__bytes_safe(*ch, n.poolPos.load(kRelaxed))) {
            break;
        }
        answer = &n;
    }
    if (__stale(*answer, static_cast<int64_t>(uni_time_get_posix()))) {
        PR_DEBUG("Channel:%d, The timestamp is too old, set to headIndex.", channel);
        answer = &head;
    }
    PR_DEBUG("backwards to node index %d, current head %d, timestamp %lld", answer->index.load(kRelaxed), headIndex,
             static_cast<long long>(answer->timestamp.load(kRelaxed)));
    return answer;
}

// The reader positioned on the frame `frames` back (its next read goes on after it).
RING_BUFFER_NODE_S* __position_pre_frame(int channel, int user, uint32_t frames)
{
    if (!__user_valid(user)) {
        return nullptr;
    }
    bool video = __is_video(channel);
    RING_BUFFER_NODE_S* node = video ? __find_pre_video(channel, frames) : __find_pre_audio(channel, frames);
    if (node == nullptr) {
        if (video) {
            PR_ERR("anchor pre recode video frame fail");
        } else {
            PR_ERR("anchor pre recode audio frame fail");
        }
        return nullptr;
    }
    return __take(channel, user, *node, USER_STATUS_POSITIONED);
}

bool __sync_not_below(uint32_t syncSeq, uint32_t point)
{
    return static_cast<int32_t>(syncSeq - point) >= 0;
}

// Space for a frame (OccupySpaceFromPool): its offset, with tailOffset and the lap moved on.
bool __occupy(RING_BUFFER_CHANNEL_S& ch, int channel, uint32_t size, uint32_t& offset)
{
    if (size > ch.poolSize) {
        PR_ERR("Fail to get %u size from pool(%u) channel:%d\n", size, ch.poolSize, channel);
        return false;
    }
    if (ch.tailOffset + size >= ch.poolSize) {
        PR_TRACE("reach end,restart.channel:%d tailOffset:%u dataSize:%u", channel, ch.tailOffset, size);
        offset = 0;
        ch.tailOffset = size;
        ++ch.poolLap;
    } else {
        PR_TRACE("not reach end.channel:%d tailOffset:%u dataSize:%u", channel, ch.tailOffset, size);
        offset = ch.tailOffset;
        ch.tailOffset += size;
    }
    return true;
}

}  // namespace

int noxa_ipc_ring_buffer_init(int channel, uint32_t bitrate, uint32_t fps, uint32_t bufferSeconds,
                              RING_BUFFER_KEY_FRAME_REQUEST keyFrameRequest)
{
    if (!__channel_valid(channel)) {
        return kBadArgument;
    }
    if (bitrate == 0 || bitrate > kMaxBitrate) {
        PR_ERR("bitrate invalid for channel %d [%u]", channel, bitrate);
        return kBadArgument;
    }
    if (fps == 0) {
        PR_ERR("fps 0 invalid for channel %d", channel);
        return kBadArgument;
    }
    RING_BUFFER_CHANNEL_S& ch = s_channels[channel];
    if (ch.inited.load(kAcquire) != 0) {
        PR_ERR("RingBuffer Channel:%d Already Inited", channel);
        return kRefused;
    }
    PR_DEBUG("Init Ring Buffer. channel:%d bitrate:%u fps:%u", channel, bitrate, fps);
    uint32_t seconds = bufferSeconds == 0 ? kDefaultSeconds : bufferSeconds;
    if (seconds > kMaxSeconds) {
        PR_ERR("max 10 seconds buffer for real-time consideration");
        return kBadArgument;
    }
    uint32_t poolSize = bitrate * 1024 / 8 * seconds;
    // One and a half seconds at the nominal rate, in whole 128-byte blocks.
    uint32_t maxFrameSize = bitrate * 192 / 128 * 128;
    void* poolBlock = Malloc(static_cast<size_t>(poolSize) + kPoolAlign - 1);
    if (poolBlock == nullptr) {
        PR_ERR("Fail to alloc mem for buffer ring channel:%d size %d", channel, poolSize);
        return kNoMemory;
    }
    auto* pool = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(poolBlock) + kPoolAlign - 1) & ~(kPoolAlign - 1));
    PR_DEBUG("Ring buffer malloc %d bytes for channel %d, max frame size %d", poolSize, channel, maxFrameSize);
    memset(pool, 0, poolSize);

    uint64_t nodeCount = static_cast<uint64_t>(seconds) * fps;
    uint64_t nodeBytes = nodeCount * sizeof(RING_BUFFER_NODE_S);
    void* nodeMem = nodeBytes <= UINT32_MAX ? Malloc(static_cast<size_t>(nodeBytes)) : nullptr;
    if (nodeMem == nullptr) {
        PR_ERR("Fail to alloc mem for buffer ring channel:%d nodes %d", channel, static_cast<int>(nodeCount));
        Free(poolBlock);
        return kNoMemory;
    }
    auto* nodes = static_cast<RING_BUFFER_NODE_S*>(nodeMem);
    for (uint64_t i = 0; i < nodeCount; ++i) {
        new (&nodes[i]) RING_BUFFER_NODE_S();
    }

    ch.nodes = nodes;
    ch.nodeCount = static_cast<uint32_t>(nodeCount);
    ch.fps = fps;
    ch.bitrate = bitrate;
    ch.headIndex.store(0, kRelaxed);
    ch.seqNo.store(0, kRelaxed);
    ch.bufferSeconds = seconds;
    ch.maxFrameSize.store(maxFrameSize, kRelaxed);
    ch.pool = pool;
    ch.poolSize = poolSize;
    ch.tailOffset = 0;
    ch.poolLap = 0;
    ch.writePos.store(0, kRelaxed);
    for (RING_BUFFER_USER_S& u : ch.users) {
        u.nodeIndex.store(0, kRelaxed);
        u.seqNo.store(0, kRelaxed);
        u.status.store(USER_STATUS_NONE, kRelaxed);
        u.released.store(0, kRelaxed);
    }
    ch.keyFrameRequest = keyFrameRequest;
    ch.inited.store(1, kRelease);
    PR_INFO("Init Ring Buffer success: channel:%d size:%u nodes:%u", channel, poolSize, ch.nodeCount);
    return 0;
}

int noxa_ipc_ring_buffer_append_data_with_timestamp(int channel, const uint8_t* data, uint32_t size, uint32_t type,
                                                    uint64_t pts, uint64_t timestamp)
{
    if (!__channel_valid(channel)) {
        return kBadArgument;
    }
    RING_BUFFER_CHANNEL_S* ch = __inited(channel);
    if (ch == nullptr) {
        return kRefused;
    }
    uint32_t max = ch->maxFrameSize.load(kRelaxed);
    if (size > max) {
        PR_ERR("data over size:%d>%d", size, max);
        return kBadArgument;
    }
    if (data == nullptr && size != 0) {
        return kBadArgument;
    }
    // Readers that have moved on from bytes are done with them: the loads below pair with their
    // releases, so the bytes are rewritten only after those readers' copies (without them a weakly
    // ordered core may let an old copy see the new bytes, and ThreadSanitizer rightly complains).
    // A slot that never took a frame has no release to pair with: only the marked ones are loaded.
    for (uint32_t readers = ch->readerMask.load(kAcquire); readers != 0; readers &= readers - 1) {
        (void)ch->users[__builtin_ctz(readers)].released.load(kAcquire);
    }
    uint32_t offset = 0;
    if (!__occupy(*ch, channel, size, offset)) {
        PR_ERR("cannot get data write pos");
        return kRefused;
    }
    uint64_t pos = ch->poolLap * ch->poolSize + offset;
    uint32_t target = __next(*ch, ch->headIndex.load(kRelaxed));
    RING_BUFFER_NODE_S& node = ch->nodes[target];
    uint32_t seq = ch->seqNo.load(kRelaxed) + 1;
    if (seq == 0) {
        seq = 1;  // 0 marks an empty or discarded node
    }
    uint32_t syncSeq = s_syncSeq.fetch_add(1, kRelaxed) + 1;

    // Announce the bytes and the node being rewritten before touching them: a reader copying
    // either checks afterwards that neither was touched.
    ch->writePos.store(pos + size, kRelaxed);
    node.seqNo.store(0, kRelaxed);
    RING_FENCE(std::memory_order_release);
    node.index.store(target, kRelaxed);
    node.type.store(type, kRelaxed);
    node.data.store(ch->pool + offset, kRelaxed);
    node.size.store(size, kRelaxed);
    node.pts.store(pts, kRelaxed);
    node.timestamp.store(timestamp, kRelaxed);
    node.syncSeq.store(syncSeq, kRelaxed);
    node.poolPos.store(pos, kRelaxed);
    if (size != 0) {
        memcpy(ch->pool + offset, data, size);
    }
    node.seqNo.store(seq, kRelease);
    ch->headIndex.store(target, kRelease);
    // Sequentially consistent, as is the load of the waiters below (see __wait_append).
    ch->seqNo.store(seq, std::memory_order_seq_cst);
    if (s_appendWaiters.load(std::memory_order_seq_cst) != 0) {
        std::lock_guard<std::mutex> lock(s_appendLock);
        s_appendCv.notify_all();
    }
    PR_TRACE("append done, channel:%d node index:%d timestamp:%lld", channel, target,
             static_cast<long long>(timestamp));
    return 0;
}

int noxa_ipc_ring_buffer_append_data(int channel, const uint8_t* data, uint32_t size, uint32_t type, uint64_t pts)
{
    return noxa_ipc_ring_buffer_append_data_with_timestamp(channel, data, size, type, pts, uni_time_get_posix_ms());
}

RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_video_frame(int channel, int user, int retry)
{
    RING_BUFFER_CHANNEL_S* ch = __reader_channel(channel, user, true);
    if (ch == nullptr) {
        return nullptr;
    }
    if (ch->users[user].status.load(kRelaxed) == USER_STATUS_NONE) {
        return __first_video_read(*ch, channel, user);
    }
    bool lagging = false;
    RING_BUFFER_NODE_S* node = __positioned_read(*ch, channel, user, retry, lagging);
    return lagging ? __skip_to_key_frame(*ch, channel, user) : node;
}

RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_audio_frame(int channel, int user, int retry)
{
    RING_BUFFER_CHANNEL_S* ch = __reader_channel(channel, user, false);
    if (ch == nullptr) {
        return nullptr;
    }
    bool first = ch->users[user].status.load(kRelaxed) == USER_STATUS_NONE;
    bool lagging = false;
    if (!first) {
        RING_BUFFER_NODE_S* node = __positioned_read(*ch, channel, user, retry, lagging);
        if (!lagging) {
            return node;
        }
    }
    // First read or lagging: the newest frame, unless the history was just cut there.
    RING_BUFFER_NODE_S& head = __head(*ch);
    if (head.seqNo.load(kAcquire) == 0) {
        return nullptr;
    }
    if (lagging) {
        PR_DEBUG("user %d skip to latest audio frame, node %d seqNo %d channel %d", user, head.index.load(kRelaxed),
                 head.seqNo.load(kRelaxed), channel);
    }
    return __take(channel, user, head, USER_STATUS_POSITIONED);
}

RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_find_pre_video_by_frame(int channel, uint32_t frames)
{
    return __is_video(channel) ? __find_pre_video(channel, frames) : nullptr;
}

RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_find_pre_audio_by_frame(int channel, uint32_t frames)
{
    return __is_audio(channel) ? __find_pre_audio(channel, frames) : nullptr;
}

RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_pre_video_frame(int channel, int user, uint32_t frames)
{
    return __is_video(channel) ? __position_pre_frame(channel, user, frames) : nullptr;
}

RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_pre_audio_frame(int channel, int user, uint32_t frames)
{
    return __is_audio(channel) ? __position_pre_frame(channel, user, frames) : nullptr;
}

RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_next_target_frame(int channel, int user, uint32_t seqNo, uint32_t type)
{
    RING_BUFFER_CHANNEL_S* ch = __checked_channel(channel, user);
    if (ch == nullptr) {
        return nullptr;
    }
    PR_DEBUG("user %d get target frame(type %d) in channel %d", user, type, channel);
    RING_BUFFER_USER_S& u = ch->users[user];
    uint32_t cursor = u.nodeIndex.load(kRelaxed);
    if (__is_delayed(*ch, u)) {
        // The nodes after a lagging cursor are being reused: look from the newest frame on.
        cursor = __prev(*ch, ch->headIndex.load(kAcquire));
    }
    uint64_t deadline = uni_get_tick_ms() + kWaitLimitMs;
    for (;;) {
        RING_BUFFER_NODE_S* n = __next_node(*ch, cursor);
        if (n != nullptr) {
            uint32_t seq = n->seqNo.load(kAcquire);
            if (seq != 0 && n->type.load(kRelaxed) == type && __seq_after(seq, seqNo)) {
                __set_position(*ch, user, *n);
                PR_DEBUG("node index %d, seqNo %d", cursor, seq);
                return n;
            }
            continue;
        }
        if (uni_get_tick_ms() >= deadline) {
            return nullptr;
        }
        uni_sleep_ms(kTargetPollMs);
    }
}

void noxa_ipc_ring_buffer_anchor_user_to_node(int channel, int user, RING_BUFFER_NODE_S* node)
{
    if (node == nullptr || !__channel_valid(channel) || !__user_valid(user)) {
        return;
    }
    RING_BUFFER_CHANNEL_S* ch = __inited(channel);
    if (ch == nullptr || !__owns(*ch, node)) {
        return;
    }
    __take(channel, user, *node, USER_STATUS_POSITIONED);
}

int noxa_ipc_ring_buffer_anchor_user(int channel, int user, uint32_t frames, int onlyNewer)
{
    if (!__channel_valid(channel) || !__user_valid(user)) {
        return kBadArgument;
    }
    bool video = channel <= kLastVideoChannel;
    RING_BUFFER_NODE_S* node = video ? __find_pre_video(channel, frames) : __find_pre_audio(channel, frames);
    if (node != nullptr && onlyNewer != 0) {
        uint32_t had = s_channels[channel].users[user].seqNo.load(kRelaxed);
        if (!__seq_after(node->seqNo.load(kRelaxed), had)) {
            node = noxa_ipc_ring_buffer_get_next_target_frame(channel, user, had,
                                                              video ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_AUDIO);
        }
    }
    if (node == nullptr) {
        PR_ERR("anchor user[%d] channel[%d] frame fail", user, channel);
        return kRefused;
    }
    __take(channel, user, *node, USER_STATUS_ANCHORED);
    if (video) {
        g_userSyncSeq[user].store(node->syncSeq.load(kRelaxed), kRelaxed);
        noxa_ipc_ring_buffer_sync_audio_channel(user);
    }
    return 0;
}

int noxa_ipc_ring_buffer_sync_audio_channel(int user)
{
    if (!__user_valid(user)) {
        return kBadArgument;
    }
    uint32_t point = g_userSyncSeq[user].exchange(0, kRelaxed);
    if (point == 0) {
        PR_ERR("user didn't set g_userSyncSeq");
        return kBadArgument;
    }
    for (int channel = kFirstAudioChannel; channel < RING_BUFFER_CHANNEL_NUM; ++channel) {
        RING_BUFFER_CHANNEL_S& ch = s_channels[channel];
        if (ch.inited.load(kAcquire) == 0 || !__has_data(ch)) {
            continue;
        }
        RING_BUFFER_NODE_S* anchor = &__head(ch);
        if (anchor->seqNo.load(kAcquire) == 0) {
            continue;  // history cut: nothing to line up with yet
        }
        PR_DEBUG("channel[%d] head seq[%d],timestamp[%llu], syncSeq:%u", channel, anchor->seqNo.load(kRelaxed),
                 static_cast<unsigned long long>(anchor->timestamp.load(kRelaxed)), anchor->syncSeq.load(kRelaxed));
        int64_t steps = __back_limit(ch);
        for (int64_t k = 0; k < steps && __sync_not_below(anchor->syncSeq.load(kRelaxed), point); ++k) {
            RING_BUFFER_NODE_S& n = ch.nodes[__prev(ch, anchor->index.load(kRelaxed))];
            if (n.seqNo.load(kAcquire) == 0 || !__sync_not_below(n.syncSeq.load(kRelaxed), point) ||
                !__bytes_safe(ch, n.poolPos.load(kRelaxed))) {
                break;
            }
            anchor = &n;
        }
        __take(channel, user, *anchor, USER_STATUS_ANCHORED);
        PR_DEBUG("sync channel[%d] to seqno[%u], timestamp[%llu],syncSeq:%u", channel, anchor->seqNo.load(kRelaxed),
                 static_cast<unsigned long long>(anchor->timestamp.load(kRelaxed)), anchor->syncSeq.load(kRelaxed));
    }
    return 0;
}

int noxa_ipc_ring_buffer_sync_audio_to(int user, uint32_t syncSeq)
{
    if (!__user_valid(user) || syncSeq == 0) {
        return kBadArgument;
    }
    g_userSyncSeq[user].store(syncSeq, kRelaxed);
    return noxa_ipc_ring_buffer_sync_audio_channel(user);
}

int noxa_ipc_ring_buffer_if_delay(int channel, int user)
{
    if (!__is_video(channel) || user < 0 || user >= RING_BUFFER_USER_NUM) {
        return 0;
    }
    RING_BUFFER_CHANNEL_S& ch = s_channels[channel];
    if (ch.inited.load(kAcquire) == 0 || !__has_data(ch)) {
        return 0;
    }
    return __is_delayed(ch, ch.users[user]) ? 1 : 0;
}

void noxa_ipc_ring_buffer_clean_user_state(int channel, int user)
{
    RING_BUFFER_CHANNEL_S* ch = __checked_channel(channel, user);
    if (ch == nullptr) {
        return;
    }
    RING_BUFFER_USER_S& u = ch->users[user];
    u.nodeIndex.store(0, kRelaxed);
    u.status.store(USER_STATUS_NONE, kRelaxed);
}

void noxa_ipc_ring_buffer_clean_user_state_and_buffer(int channel, int user)
{
    RING_BUFFER_CHANNEL_S* ch = __checked_channel(channel, user);
    if (ch == nullptr) {
        return;
    }
    __head(*ch).seqNo.store(0, kRelease);
}

int noxa_ipc_ring_buffer_get_max_buf_secs(void)
{
    const RING_BUFFER_CHANNEL_S& ch = s_channels[0];
    return ch.inited.load(kAcquire) != 0 ? static_cast<int>(ch.bufferSeconds) : -1;
}

int noxa_ipc_ring_buffer_get_max_frame_size(void)
{
    const RING_BUFFER_CHANNEL_S& ch = s_channels[0];
    return ch.inited.load(kAcquire) != 0 ? static_cast<int>(ch.maxFrameSize.load(kRelaxed)) : -1;
}

int noxa_ipc_ring_buffer_set_max_frame_size(int channel, uint32_t size)
{
    if (!__channel_valid(channel)) {
        return kBadArgument;
    }
    RING_BUFFER_CHANNEL_S* ch = __inited(channel);
    if (ch == nullptr) {
        return kRefused;
    }
    ch->maxFrameSize.store(size, kRelaxed);
    return 0;
}

int noxa_ipc_ring_buffer_video_channel_num(void)
{
    int count = 0;
    for (int channel = 0; channel <= kLastVideoChannel; ++channel) {
        count += s_channels[channel].inited.load(kAcquire) != 0 ? 1 : 0;
    }
    return count;
}

int noxa_ipc_ring_buffer_copy_frame(int channel, int user, const RING_BUFFER_NODE_S* node, uint8_t* buf,
                                    uint32_t bufSize, RING_BUFFER_FRAME_S* frame)
{
    if (node == nullptr || buf == nullptr || !__channel_valid(channel) || !__user_valid(user)) {
        return kBadArgument;
    }
    RING_BUFFER_CHANNEL_S* ch = __inited(channel);
    if (ch == nullptr || !__owns(*ch, node)) {
        return kBadArgument;
    }
    RING_BUFFER_FRAME_S f{};
    f.seqNo = node->seqNo.load(kAcquire);
    f.type = node->type.load(kRelaxed);
    f.size = node->size.load(kRelaxed);
    f.pts = node->pts.load(kRelaxed);
    f.timestamp = node->timestamp.load(kRelaxed);
    f.syncSeq = node->syncSeq.load(kRelaxed);
    const uint8_t* data = node->data.load(kRelaxed);
    uint64_t pos = node->poolPos.load(kRelaxed);
    auto intact = [&] {
        return node->seqNo.load(kRelaxed) == f.seqNo && ch->writePos.load(kRelaxed) <= pos + ch->poolSize;
    };
    if (f.seqNo == 0 || !intact()) {
        return kRefused;
    }
    if (f.size > bufSize) {
        return kBadArgument;
    }
    if (f.size != 0) {
        memcpy(buf, data, f.size);
    }
    // Pairs with the writer's fence: had the copy caught a byte of a later append, the node's
    // sequence or the announced write position read below shows that append.
    RING_FENCE(std::memory_order_acquire);
    if (!intact()) {
        return kRefused;
    }
    __mark_reader(*ch, user);
    ch->users[user].released.store(f.seqNo, kRelease);
    if (frame != nullptr) {
        *frame = f;
    }
    return static_cast<int>(f.size);
}

void noxa_ipc_ring_buffer_set_seq_for_test(int channel, uint32_t seqNo)
{
    if (__channel_valid(channel)) {
        s_channels[channel].seqNo.store(seqNo, kRelease);
    }
}

void noxa_ipc_ring_buffer_set_sync_seq_for_test(uint32_t syncSeq)
{
    s_syncSeq.store(syncSeq, kRelaxed);
}

void noxa_ipc_ring_buffer_append_mark(uint32_t channelMask, RING_BUFFER_APPEND_MARK_S* mark)
{
    if (mark == nullptr) {
        return;
    }
    mark->mask = channelMask & ((1u << RING_BUFFER_CHANNEL_NUM) - 1);
    for (int c = 0; c < RING_BUFFER_CHANNEL_NUM; ++c) {
        mark->seq[c] = s_channels[c].seqNo.load(std::memory_order_seq_cst);
    }
}

int noxa_ipc_ring_buffer_wait_append(const RING_BUFFER_APPEND_MARK_S* mark, uint32_t timeoutMs)
{
    if (mark == nullptr || mark->mask == 0) {
        uni_sleep_ms(timeoutMs);
        return 0;
    }
    return __wait_append(*mark, timeoutMs) ? 1 : 0;
}
