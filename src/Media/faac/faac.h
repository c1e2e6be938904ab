// The AAC encoder calls the unit makes (faacEnc*), on FFmpeg's native AAC-LC encoder
// (libavcodec). The calls keep their usual meanings:
// - faacEncOpen gives a handle (null on failure) with the samples one call takes (1024 per
//   channel) and the most bytes one call writes (8192 a channel: a loud onset may take more
//   than the 6144 bits a channel the encoder keeps to on average; an ADTS frame, header
//   included, holds at most 8191 bytes, and a longer one is an error);
// - the configuration is read with faacEncGetCurrentConfiguration, changed in place and applied
//   with faacEncSetConfiguration (1 applied, 0 refused: the handle keeps its previous settings);
// - faacEncEncode takes up to the input sample count of interleaved samples and writes at most one
//   AAC frame, returning its byte count, 0 while the encoder is still filling (it delays by one
//   frame), or -1 on an error; a call with 0 samples flushes: each such call returns one of the
//   remaining frames until it returns 0;
// - faacEncClose frees the handle.
// Only the low-complexity object type is encoded; the quantiser quality is kept but the encoder
// always works at the bit rate (64 kbit/s a channel when 0), clamped to what the sample rate
// allows (6144 bits a frame a channel).
#pragma once

#include <cstdint>

typedef struct FaacEncoder* faacEncHandle;

enum {
    MPEG4 = 0,
    MPEG2 = 1,
};

enum {
    MAIN = 1,
    LOW = 2,
    SSR = 3,
    LTP = 4,
};

enum {
    RAW_STREAM = 0,
    ADTS_STREAM = 1,
};

enum {
    FAAC_INPUT_NULL = 0,
    FAAC_INPUT_16BIT = 1,
    FAAC_INPUT_24BIT = 2,
    FAAC_INPUT_32BIT = 3,
    FAAC_INPUT_FLOAT = 4,
};

typedef struct faacEncConfiguration {
    unsigned int mpegVersion;   // MPEG4 or MPEG2: the ID bit of the ADTS header
    unsigned int aacObjectType; // LOW only
    unsigned int allowMidside;  // mid/side stereo allowed
    unsigned int useLfe;
    unsigned int useTns;        // temporal noise shaping
    unsigned long bitRate;      // bits a second a channel; 0 for the default
    unsigned int bandWidth;     // Hz; 0: the encoder's choice
    unsigned long quantqual;
    unsigned int outputFormat;  // RAW_STREAM or ADTS_STREAM
    unsigned int inputFormat;   // FAAC_INPUT_16BIT (int16_t samples) or FAAC_INPUT_FLOAT (+-32768)
} faacEncConfiguration, *faacEncConfigurationPtr;

faacEncHandle faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                          unsigned long* maxOutputBytes);
faacEncConfigurationPtr faacEncGetCurrentConfiguration(faacEncHandle handle);
int faacEncSetConfiguration(faacEncHandle handle, faacEncConfigurationPtr config);
// inputBuffer holds samplesInput samples in the configured input format (int16_t for 16-bit).
int faacEncEncode(faacEncHandle handle, int32_t* inputBuffer, unsigned int samplesInput, unsigned char* outputBuffer,
                  unsigned int bufferSize);
int faacEncClose(faacEncHandle handle);

// ADTS frame header of a frame of frameLength bytes (header included) into out[7]: object type,
// rate, channels and the ID bit as in the arguments; 0, or -1 when a value does not fit.
int AdtsWriteHeader(uint8_t out[7], unsigned int mpegVersion, unsigned int objectType, unsigned long sampleRate,
                    unsigned int channels, unsigned int frameLength);
