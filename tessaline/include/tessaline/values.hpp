#pragma once
// The data a caller hands to the library: frame records (text keys in
// order), values, and n-dimensional arrays such as H x W x 3 RGB images.
#include <memory>

#include "kit/values/values.hpp"

namespace tessaline {

using kit::DType;
using kit::List;
using kit::NdArray;
using kit::None;
using kit::Record;
using kit::Value;

// A record once handed over is shared, never copied, and not changed again.
using RecordPtr = std::shared_ptr<const Record>;

}  // namespace tessaline
