#pragma once
// Decoded pictures and sample blocks. FFFrame wraps a decoder's output frame;
// FFBufferFrame holds a converted picture or sample block in a buffer of its
// own.
//
// Threads: a decoder's worker fills a buffer frame (Alloc*, CopyFrom)
// while the application's thread reads it out through the facade
// (CopyFrame). FFFrame itself is used by one thread at a time.
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/FFAVPtr.h"

namespace Quillet {

class FFFrame {
public:
    FFFrame();
    virtual ~FFFrame() = default;
    FFFrame(const FFFrame&) = delete;
    FFFrame& operator=(const FFFrame&) = delete;

    AVFrame* CFrame() const { return frame.get(); }

    // Bytes of the picture (tightly packed rows) or of the samples.
    virtual int GetVideoSize() const;
    virtual int GetAudioSize() const;
    virtual uint8_t* GetVideoData() const;
    virtual uint8_t* GetAudioData() const;

    bool GetFirstFrame() const { return firstFrame; }
    void SetFirstFrame(bool f) { firstFrame = f; }
    double GetFrameTime() const { return frameTime; }
    void SetFrameTime(double t) { frameTime = t; }
    // When a camera captured the picture: 100 ns ticks since 1970 UTC, 0
    // without one; trusted once it follows the camera's RTCP sender reports.
    int64_t GetCaptureTime() const { return captureTime; }
    bool GetCaptureTrusted() const { return captureTrusted; }
    void SetCaptureTime(int64_t ticks, bool trusted) { captureTime = ticks, captureTrusted = trusted; }
    void SetPts(int64_t pts) { frame->pts = pts; }

    // Points the picture at its last row with a negative stride, so a consumer
    // that walks rows forwards sees it upside down.
    void FlipVertical();
    // Drops the frame and starts with a blank one.
    void Reset();

protected:
    AVFramePtr frame;
    bool firstFrame = false;
    double frameTime = -1.0;
    int64_t captureTime = 0;
    bool captureTrusted = false;
};

class FFBufferFrame : public FFFrame {
public:
    int GetVideoSize() const override;
    int GetAudioSize() const override;
    uint8_t* GetVideoData() const override;
    uint8_t* GetAudioData() const override;

    // Lays a picture of the given format and size over the buffer.
    void AllocVideo(int format, int width, int height);
    // The same, only when the size in bytes changes; true when it did.
    bool ReallocVideo(int format, int width, int height);
    // Lays `samples` samples per channel over the buffer (packed or planar).
    void AllocAudio(int channels, int samples, int sampleFormat);

    // Copies picture, time and first-frame flag from `src`.
    void CopyFrom(const FFFrame& src);
    // Copies the whole picture to `destination` (room for GetVideoSize bytes);
    // nothing to do when the picture already lies there.
    void CopyFrame(uint8_t* destination) const;

    // `lock` guards `buffer` and the picture laid over it. The converters and
    // the decoder hold it around several calls to the methods above, which
    // take it again: hence recursive.
    mutable std::recursive_mutex lock;

protected:
    std::vector<uint8_t> buffer;

private:
    // Expects `lock` held.
    void LayOutPicture(int format, int width, int height, size_t size);
};

} // namespace Quillet
