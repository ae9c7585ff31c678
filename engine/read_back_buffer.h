// Where the dispatcher decodes verified ReadReply data for the flash plan.
//
// Sharing: the bytes and the fill count are guarded by mutex_. The dispatcher
// (timer thread) decodes under the lock; the worker resets the fill count and
// copies bytes out under it. Nothing is ever written past Size.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

namespace q4m::engine {

class ReadBackBuffer {
public:
    static constexpr std::int32_t Size = 5824512;

    // memset rather than value-initialisation: sanitizer builds instrument the
    // latter byte by byte, which made every Engine cost a quarter second there.
    ReadBackBuffer() : data_(new std::uint8_t[Size]) { std::memset(data_.get(), 0, Size); }

    void resetFill() {
        std::lock_guard lock(mutex_);
        fill_ = 0;
    }

    std::int32_t fill() const {
        std::lock_guard lock(mutex_);
        return fill_;
    }

    // Copies n bytes from position offset as they are (fill count not consulted).
    void copyOut(std::int32_t offset, std::uint8_t* dst, std::int32_t n) const;

    // Dispatcher access: f(data, fill) runs under the lock; fill may be advanced.
    template <typename F>
    auto withLocked(F&& f) {
        std::lock_guard lock(mutex_);
        return f(data_.get(), fill_);
    }

private:
    mutable std::mutex mutex_;
    std::unique_ptr<std::uint8_t[]> data_;
    std::int32_t fill_ = 0;
};

}  // namespace q4m::engine
