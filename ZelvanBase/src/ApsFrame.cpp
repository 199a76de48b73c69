#include "zelvan/ApsFrame.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace zelvan {

namespace {

void checkSize(int width, int height) {
    if (width < 0 || height < 0) {
        throw std::invalid_argument("ApsFrame size must not be negative: " + std::to_string(width) + " x " +
                                    std::to_string(height));
    }
}

}  // namespace

ApsFrame::ApsFrame(int width, int height, uint64_t startTimestamp, uint64_t endTimestamp)
    : width_(width), height_(height), startTimestamp_(startTimestamp), endTimestamp_(endTimestamp) {
    checkSize(width, height);
    pixels_.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * kBytesPerPixel, 0);
}

ApsFrame::ApsFrame(int width, int height, uint64_t startTimestamp, uint64_t endTimestamp,
                   const uint8_t* pixels, size_t byteCount, bool last)
    : width_(width),
      height_(height),
      startTimestamp_(startTimestamp),
      endTimestamp_(endTimestamp),
      last_(last) {
    checkSize(width, height);
    if (pixels == nullptr && byteCount != 0) {
        throw std::invalid_argument("ApsFrame pixel pointer is null but the byte count is " +
                                    std::to_string(byteCount));
    }
    if (byteCount != 0) pixels_.assign(pixels, pixels + byteCount);
}

ApsFrame::ApsFrame(ApsFrame&& other) noexcept
    : width_(std::exchange(other.width_, 0)),
      height_(std::exchange(other.height_, 0)),
      startTimestamp_(std::exchange(other.startTimestamp_, 0)),
      endTimestamp_(std::exchange(other.endTimestamp_, 0)),
      last_(std::exchange(other.last_, false)),
      pixels_(std::move(other.pixels_)) {
    other.pixels_.clear();
}

ApsFrame& ApsFrame::operator=(ApsFrame&& other) noexcept {
    if (this != &other) {
        width_ = std::exchange(other.width_, 0);
        height_ = std::exchange(other.height_, 0);
        startTimestamp_ = std::exchange(other.startTimestamp_, 0);
        endTimestamp_ = std::exchange(other.endTimestamp_, 0);
        last_ = std::exchange(other.last_, false);
        pixels_ = std::move(other.pixels_);
        other.pixels_.clear();
    }
    return *this;
}

}  // namespace zelvan
