#pragma once

#include "corvaxis/core/SharedImageSet.h"

#include <cstdint>

namespace corvaxis::AnatomicalStructureProcessing::labelmap {

/// Calls `function` with the image's pixels as a pointer of their own type.
template <typename Function>
void dispatchPixels(const Image& image, Function&& function)
{
    switch (image.pixelType()) {
    case PixelType::UInt8: function(reinterpret_cast<const std::uint8_t*>(image.data())); break;
    case PixelType::Int8: function(reinterpret_cast<const std::int8_t*>(image.data())); break;
    case PixelType::UInt16: function(reinterpret_cast<const std::uint16_t*>(image.data())); break;
    case PixelType::Int16: function(reinterpret_cast<const std::int16_t*>(image.data())); break;
    case PixelType::UInt32: function(reinterpret_cast<const std::uint32_t*>(image.data())); break;
    case PixelType::Int32: function(reinterpret_cast<const std::int32_t*>(image.data())); break;
    case PixelType::Float: function(reinterpret_cast<const float*>(image.data())); break;
    case PixelType::Double: function(reinterpret_cast<const double*>(image.data())); break;
    }
}

}  // namespace corvaxis::AnatomicalStructureProcessing::labelmap
