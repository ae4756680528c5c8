// StreamReader: the background thread that decodes the sensor's measurement
// stream. Four-byte frames, each byte carrying a nibble in bits 0..3 (least
// significant first) and the frame's tag in bits 4..6; a change of tag starts a
// new frame. Every whole frame becomes LastDistance, a sample in the ring and a
// readout update.
//
// Threading: the window thread starts and stops the reader and flips
// StreamActive; the reader reads the port only while StreamActive is set. It
// writes LinkAlive and LastDistance of the protocol, appends to the ring and
// calls `frame_decoded` on its own thread (keep that hook cheap).
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
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    std::atomic<bool> ReaderRun{true};
    std::atomic<bool> StreamActive{false};
    std::atomic<bool> ReaderDone{false};
    // Set by the window while its height animation runs: the reader then leaves
    // LinkAlive alone.
    std::atomic<bool> AnimationRunning{false};

    void StartStreaming() { StreamActive = true; }
    void StopStreaming() { StreamActive = false; }
    bool Streaming() const { return StreamActive; }
    bool Done() const { return ReaderDone; }
    void HoldLinkAlive(bool hold) { AnimationRunning = hold; }

    // Called on the reader thread after each decoded frame (LastDistance holds it).
    std::function<void()> frame_decoded;

    // Starts the thread; a running reader is left as it is.
    void Resume();
    // Clears StreamActive and ReaderRun, then waits for the thread to end.
    void Stop();

    // Frames decoded since construction (for diagnostics and benchmarks).
    std::uint64_t FramesDecoded() const { return frames_.load(std::memory_order_relaxed); }

private:
    void Run();
    // One pass: collects one frame; false when a read came back empty.
    bool Pass();
    bool NextByte(std::uint8_t& byte);

    SensorProtocol& protocol_;
    SampleRing& ring_;
    FrameDecoder decoder_;
    std::thread thread_;
    std::mutex idle_mutex_;
    std::condition_variable idle_;
    std::atomic<std::uint64_t> frames_{0};

    // Bytes taken from the port but not decoded yet (reader thread only).
    std::uint8_t chunk_[1024];
    std::size_t chunk_size_ = 0;
    std::size_t chunk_pos_ = 0;
};

}  // namespace mk27x
