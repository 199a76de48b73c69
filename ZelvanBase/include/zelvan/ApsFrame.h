// One frame of a frame (APS) sensor: its size, its exposure window on the event clock and the pixel
// bytes it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelvan {

class ApsFrame {
public:
    // Bytes per pixel of the frames built by the size-only constructor: packed 24-bit colour, three
    // bytes per pixel in B, G, R order, rows top to bottom without padding.
    static constexpr int kBytesPerPixel = 3;

    // An empty frame: 0 x 0, no pixel bytes, timestamps 0.
    ApsFrame() = default;

    // A black frame of width x height packed 24-bit pixels (width * height * 3 zero bytes).
    // Throws std::invalid_argument for a negative width or height.
    ApsFrame(int width, int height, uint64_t startTimestamp, uint64_t endTimestamp);

    // A frame owning a copy of `byteCount` bytes from `pixels`. The bytes are taken as they are: for
    // packed 24-bit frames the caller passes width * height * 3. `last` marks the final frame of a
    // sequence and is false for frames of a live stream. Throws std::invalid_argument for a negative
    // width or height, or for a null `pixels` with a non-zero `byteCount`.
    ApsFrame(int width, int height, uint64_t startTimestamp, uint64_t endTimestamp, const uint8_t* pixels,
             size_t byteCount, bool last);

    // Copies are deep: every frame owns its bytes.
    ApsFrame(const ApsFrame&) = default;
    ApsFrame& operator=(const ApsFrame&) = default;
    // A moved-from frame is left empty (0 x 0, no bytes, timestamps 0).
    ApsFrame(ApsFrame&& other) noexcept;
    ApsFrame& operator=(ApsFrame&& other) noexcept;
    ~ApsFrame() = default;

    // A deep copy.
    ApsFrame clone() const { return *this; }

    uint8_t* data() { return pixels_.empty() ? nullptr : pixels_.data(); }
    const uint8_t* data() const { return pixels_.empty() ? nullptr : pixels_.data(); }
    size_t getDataSize() const { return pixels_.size(); }
    bool empty() const { return pixels_.empty(); }

    int width() const { return width_; }
    int height() const { return height_; }

    // Exposure window on the event clock, in microseconds. For frames decoded from a recording both
    // are the frame's presentation time.
    uint64_t startTimestamp() const { return startTimestamp_; }
    uint64_t endTimestamp() const { return endTimestamp_; }
    void setTimestamps(uint64_t startTimestamp, uint64_t endTimestamp) {
        startTimestamp_ = startTimestamp;
        endTimestamp_ = endTimestamp;
    }

    bool isLast() const { return last_; }

private:
    int width_ = 0;
    int height_ = 0;
    uint64_t startTimestamp_ = 0;
    uint64_t endTimestamp_ = 0;
    bool last_ = false;
    std::vector<uint8_t> pixels_;
};

}  // namespace zelvan
