#include "engine/images.h"

#include "engine/firmware/embedded_images.h"

namespace q4m::engine {

std::optional<FirmwareImage> findImage(int id) {
    for (const auto& image : firmware::embeddedImages()) {
        if (image.id == id)
            return FirmwareImage{image.begin, static_cast<std::uint32_t>(image.end - image.begin)};
    }
    return std::nullopt;
}

}  // namespace q4m::engine
