// Controls of the simulated media layer, for tests, benchmarks and simulators. The application
// never calls these: on the unit the same MI calls are the SoC's.
//
// The camera: the analogue door camera is a synthetic scene at the decoder's output size (set
// with MiSimSetSignal): a background of its own for each door (door 0 or 1 as the 74HC595's
// video-select bit routes it), a "visitor" that walks across while present, and a frame counter
// in the top right corner. A raw file "<root>/.board/camera_door0.yuv" (or door1; I420 at the
// signal size) replaces the scene of that door, looped.
//
// The clock: in real time one capture period (a picture and 40 ms of sound) ends every 40 ms
// from MI_SYS_Init on, counted from the start rather than by sleeps. The sound of every period
// is played and captured even when the pump thread wakes late (an audio call runs what is due
// itself), and a microphone frame's time stamp is when its first sample was captured; a pump
// late by more than five periods drops the older pictures. With the manual clock (set before
// MI_SYS_Init) nothing moves until MiSimPump, which runs whole capture periods through the graph
// before it returns.
//
// The speaker plays 40 ms of what is queued each period, at the rate the output is set to; all
// it plays is appended to "<root>/.board/speaker.wav" (16 kHz, 16-bit mono; silences between
// sounds are left out), for a person to listen to.
//
// The microphone hears three things: the visitor (a recording "<root>/.board/mic.wav", 16-bit
// PCM at any rate, looped; without it a generated voice while the visitor stands there), the
// speaker's own sound through the echo path (MiSimSetEchoPath), and a little room noise. Each
// frame carries what the speaker played in the same period as its echo reference.
#pragma once

#include "mi_common.h"

#include <cstddef>
#include <string>
#include <vector>

// Forgets everything (graph, encoders, regions, memory, failures, descriptors), as at power-up,
// and stops the pump thread. Tests call it first.
void MiSimReset();

// Manual clock on or off (default off: real time).
void MiSimSetManualClock(bool manual);
// Runs `periods` capture periods of 40 ms through the graph, encoding included.
void MiSimPump(int periods = 1);
// Capture periods run so far.
uint64_t MiSimPeriods();

// What the decoder puts out (default 1920x1080). A capture window reaching past the signal takes
// the part inside it, scaled to the window's output size, as a mismatched capture would.
void MiSimSetSignal(MI_U16 width, MI_U16 height);
// The visitor steps in front of the camera (true) or leaves (false).
void MiSimSetVisitor(bool present);
// The door whose camera the scene shows: from the video-select bit of the 74HC595.
int MiSimCameraDoor();

// Failure injection: the next `times` calls of the named MI function (e.g. "MI_VPE_CreateChannel")
// return `code` without doing anything; times < 0: every call until cleared. With `after`, that
// many calls pass first (after = 1: the second call fails).
void MiSimFailCall(const std::string& function, MI_S32 code, int times = 1, int after = 0);
void MiSimClearFailures();
// Blocks of media memory allocated with MI_SYS_MMA_Alloc and not yet freed.
int MiSimMmaBlocks();

// What the simulation holds in the process beside the unit (on the SoC, pictures live in media
// memory outside the process and the encoders are hardware): picture buffers as allocated, and
// what the encoders and scalers touched when they were set up (the process's growth in private
// resident memory across their opening and, for an encoder, its first two pictures: close rather
// than exact, as the rest of the process runs on meanwhile). The pump thread (named "mi_sim_pump") also writes them to
// "<root>/.board/media_memory" as "frames BYTES" and "codecs BYTES" lines, at most once a second
// and only when they changed, for tools that watch the unit's process.
struct MI_SIM_MEMORY_S {
    int64_t frames;
    int64_t codecs;
};
MI_SIM_MEMORY_S MiSimMemory();
// Calls of the named MI function so far (successful or not).
int MiSimCallCount(const std::string& function);

// The graph as built: one line per device, channel, port, region attachment and binding, in a
// fixed order, with their attributes.
std::string MiSimDumpGraph();

// Encoder channel: frames encoded, and key frames among them.
uint64_t MiSimVencFrames(MI_U32 chn);
// Puts a prepared pack into the channel's queue as if the encoder had made it (benchmarks and
// tests of the consumer); dataType as MI_VENC_Pack_t. Returns 0, or an MI error code when the
// channel does not exist.
MI_S32 MiSimVencInject(MI_U32 chn, const MI_U8* data, size_t len, MI_U32 dataType, MI_U64 pts);

// The echo path from the speaker to the microphone: the sound `delaySamples` microphone samples
// later, times `gain`, through the impulse response `impulse` (taps in microphone samples;
// empty: one tap of 1). The default is 16 ms, 0.5, a direct tap and one reflection 3 ms later.
void MiSimSetEchoPath(uint32_t delaySamples, double gain, const std::vector<double>& impulse = {});
// The visitor's part and the echo's part of the microphone frame last taken with MI_AI_GetFrame
// (the rest of the frame is room noise).
void MiSimAiFrameParts(std::vector<int16_t>* visitor, std::vector<int16_t>* echo);
