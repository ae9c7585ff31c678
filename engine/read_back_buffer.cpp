#include "engine/read_back_buffer.h"

#include <algorithm>

namespace q4m::engine {

void ReadBackBuffer::copyOut(std::int32_t offset, std::uint8_t* dst, std::int32_t n) const {
    if (n <= 0) return;
    // Positions outside the buffer read as zero rather than past its ends.
    std::fill(dst, dst + n, std::uint8_t{0});
    const std::int64_t from = std::max<std::int64_t>(offset, 0);
    const std::int64_t to = std::min<std::int64_t>(std::int64_t{offset} + n, Size);
    if (from >= to) return;
    std::lock_guard lock(mutex_);
    std::copy(data_.get() + from, data_.get() + to, dst + (from - offset));
}

}  // namespace q4m::engine
