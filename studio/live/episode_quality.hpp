#pragma once
// An episode's quality record as the robot measured it while recording:
//   {"fps", "seconds", "ticks", "rate", "late_ticks", "skipped_ticks",
//    "bus_retries", "cameras": {"<camera>": {"fps", "repeated"}}}
// kept beside the staged frames (QUALITY), then in the dataset's
// meta/tessaline.json under "quality", by episode index.
#include <string>
#include <vector>

#include "kit/json/text.hpp"

namespace studio {

// The record as given, checked: numbers where numbers go, none negative or
// out of reach, at most 16 cameras with names of at most 200 bytes. Throws
// std::invalid_argument naming what is wrong.
kit::json::Json checked_quality(const kit::json::Json& given);

// What a training set would reject the episode for, in words: the loop
// under 90 % of its rate, more than 5 % of a camera's frames repeated, a
// camera delivering under 90 % of the rate. Empty when nothing is wrong (or
// the record is not one).
std::vector<std::string> quality_flags(const kit::json::Json& quality);

}  // namespace studio
