// StreamReader: the background thread that decodes the sensor's measurement
// stream. Four-byte frames, each byte carrying a nibble in bits 0..3 (least
// significant first) and the frame's tag in bits 4..6; a change of tag starts a
// new frame. The stream is taken off the port in reads of whatever has arrived;
// the frames of each read get their sample times from the stream's timeline
// (see stream_timeline.h) and go to the recording together. The newest frame of
// each read becomes LastDistance, and the read's samples go to `frames_decoded`.
//
// Threading: one thread owns the calls (Resume, Stop, Start/StopStreaming,
// HoldLinkAlive); the reader's flags are its own and change only through them.
// The reader reads the port only while streaming. It writes LinkAlive and
// LastDistance of its link, adds to the recording and calls
// `frames_decoded` on its own thread (keep that hook cheap). Each stream is a
// recording of its own: once StopStreaming() has returned, no read of the
// reader is pending on the port, and the reader neither adds to the recording
// nor writes LinkAlive or LastDistance until the next StartStreaming(); no byte
// taken from the port before a StartStreaming() reaches the recording after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "protocol/codec.h"
#include "protocol/recorded_sample.h"
#include "protocol/stream_link.h"
#include "protocol/stream_timeline.h"

namespace mk27x {

// The frame decoder of the reader, kept apart from the thread so that it can be
// fed byte by byte.
class FrameDecoder {
public:
    // Starts the collection of a frame at nibble 0 (a partial frame is dropped).
    void BeginFrame() { index_ = 0; }
    // Takes one byte; returns the frame value when it completes a frame.
    std::optional<std::uint16_t> Take(std::uint8_t byte);

private:
    int remembered_tag_ = -1;  // none yet
    int index_ = 0;
    unsigned nibbles_ = 0;
};

class StreamReader {
public:
    StreamReader(StreamLink& link, SampleConsumer& recording);
    // Stop().
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Starts the thread; no effect on a running one.
    void Resume();
    // Ends streaming and the thread: wakes a read in flight (through the port),
    // joins; Done() is true afterwards.
    void Stop();
    // Frames are read from now on; bytes kept from an earlier stream are dropped.
    // `prior_period_s`: the frame period to assume until it has been measured.
    void StartStreaming(double prior_period_s = 0);
    // Back to idle: a read in flight is cut short and has returned when this
    // returns; nothing of it is recorded and LinkAlive is left alone.
    void StopStreaming();
    bool Streaming() const { return streaming_.load(); }
    // The thread has left its loop.
    bool Done() const { return done_.load(); }
    // While held, the reader leaves LinkAlive alone.
    void HoldLinkAlive(bool hold);
    bool LinkAliveHeld() const { return hold_link_alive_.load(); }

    // Called on the reader thread with the samples of each read, after they
    // went to the recording (LastDistance holds the newest).
    std::function<void(std::span<const RecordedSample>)> frames_decoded;

    // Frames decoded since construction (for diagnostics and benchmarks).
    std::uint64_t FramesDecoded() const { return frames_.load(std::memory_order_relaxed); }

    // The reader takes the stream in reads of up to this many bytes.
    static constexpr std::size_t kChunkBytes = 4096;

private:
    void Run();
    // One read of stream `epoch` and its frames.
    void ReadChunk(std::uint64_t epoch);
    // True while stream `epoch` is the one running (call with state_mutex_ held).
    bool Current(std::uint64_t epoch) const { return streaming_.load() && epoch_.load() == epoch; }
    // Waits up to 50 ms, or until stopped or a stream starts.
    void Idle(std::uint64_t seen_epoch);

    StreamLink& link_;
    SampleConsumer& recording_;
    FrameDecoder decoder_;
    StreamTimeline timeline_;
    std::thread thread_;

    std::atomic<bool> run_{true};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> done_{false};
    std::atomic<bool> hold_link_alive_{false};
    // Counts the streams started; a read belongs to the stream it began in.
    std::atomic<std::uint64_t> epoch_{0};
    // The stream's prior period and the wall clock's offset from the steady
    // clock, set with each StartStreaming.
    std::atomic<double> prior_period_s_{0};
    std::atomic<std::int64_t> wall_offset_ns_{0};
    // Taken by the reader around what it records (recording, LastDistance,
    // LinkAlive) and by the calls that change the stream, so that nothing is
    // recorded for a stream once it has been stopped.
    std::mutex state_mutex_;
    std::mutex idle_mutex_;
    std::condition_variable idle_;
    // Set while the reader is in a read of the port; StopStreaming waits for it.
    std::mutex read_mutex_;
    std::condition_variable read_done_;
    bool in_read_ = false;
    std::atomic<std::uint64_t> frames_{0};

    // Reader thread only: the stream the decoder and timeline belong to, the
    // bytes of one read and the samples made of them.
    std::uint64_t reader_epoch_ = 0;
    std::uint8_t chunk_[kChunkBytes];
    std::vector<std::int64_t> times_;
    std::vector<std::uint16_t> values_;
    std::vector<RecordedSample> batch_;
};

}  // namespace mk27x
