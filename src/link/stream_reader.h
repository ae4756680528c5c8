// StreamReader: the background thread that decodes the sensor's measurement
// stream. Four-byte frames, each byte carrying a nibble in bits 0..3 (least
// significant first) and the frame's tag in bits 4..6; a change of tag starts a
// new frame. Every whole frame becomes LastDistance, a sample in the ring and a
// readout update.
//
// Threading: the window thread owns the calls (Resume, Stop, Start/StopStreaming,
// HoldLinkAlive); the reader's flags are its own and change only through them.
// The reader reads the port only while streaming. It writes LinkAlive and
// LastDistance of the protocol, appends to the ring and calls `frame_decoded` on
// its own thread (keep that hook cheap). Each stream is a recording of its own:
// once StopStreaming() has returned, the reader neither appends to the ring nor
// writes LinkAlive or LastDistance until the next StartStreaming(), and no byte
// taken from the port before a StartStreaming() reaches the recording after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "link/protocol.h"
#include "link/sample_ring.h"

namespace mk27x {

// The frame decoder of the reader, kept apart from the thread so that it can be
// fed byte by byte.
class FrameDecoder {
public:
    // Starts the collection of a frame at nibble 0 (done at every pass).
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
    StreamReader(SensorProtocol& protocol, SampleRing& ring);
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
    void StartStreaming();
    // Back to idle. The pass in progress may finish its read, but it neither
    // records a frame nor writes LinkAlive.
    void StopStreaming();
    bool Streaming() const { return streaming_.load(); }
    // The thread has left its loop.
    bool Done() const { return done_.load(); }
    // While held (the window's height animation runs) the reader leaves
    // LinkAlive alone.
    void HoldLinkAlive(bool hold);
    bool LinkAliveHeld() const { return hold_link_alive_.load(); }

    // Called on the reader thread after each decoded frame (LastDistance holds it).
    std::function<void()> frame_decoded;

    // Frames decoded since construction (for diagnostics and benchmarks).
    std::uint64_t FramesDecoded() const { return frames_.load(std::memory_order_relaxed); }

private:
    void Run();
    // One pass of stream `epoch`: collects one frame; false when a read came
    // back empty.
    bool Pass(std::uint64_t epoch);
    bool NextByte(std::uint64_t epoch, std::uint8_t& byte);
    // True while stream `epoch` is the one running (call with state_mutex_ held).
    bool Current(std::uint64_t epoch) const { return streaming_.load() && epoch_.load() == epoch; }
    // Waits up to 50 ms, or until stopped or a stream starts.
    void Idle(std::uint64_t seen_epoch);

    SensorProtocol& protocol_;
    SampleRing& ring_;
    FrameDecoder decoder_;
    std::thread thread_;

    std::atomic<bool> run_{true};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> done_{false};
    std::atomic<bool> hold_link_alive_{false};
    // Counts the streams started; a pass belongs to the stream it began in.
    std::atomic<std::uint64_t> epoch_{0};
    // Taken by the reader around what it records (ring, LastDistance,
    // LinkAlive) and by the calls that change the stream, so that nothing is
    // recorded for a stream once it has been stopped.
    std::mutex state_mutex_;
    std::mutex idle_mutex_;
    std::condition_variable idle_;
    std::atomic<std::uint64_t> frames_{0};

    // Bytes taken from the port but not decoded yet, and the stream they were
    // read in (reader thread only).
    std::uint8_t chunk_[1024];
    std::size_t chunk_size_ = 0;
    std::size_t chunk_pos_ = 0;
    std::uint64_t chunk_epoch_ = 0;
};

}  // namespace mk27x
