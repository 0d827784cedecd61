// Text of decode errors.
#include "event_stream/read_outcome.hpp"

namespace velk {

std::string DecodeError::message() const {
  const std::string name(field);
  switch (kind) {
    case Kind::SizeBelowMinimum:
      return name + " " + std::to_string(value) + " is below the smallest accepted size " +
             std::to_string(limit);
    case Kind::BlockTooLarge:
      return name + " of " + std::to_string(value) + " bytes exceeds the limit of " +
             std::to_string(limit) + " bytes";
    case Kind::OutOfMemory:
      return "cannot allocate " + std::to_string(value) + " bytes for the " + name;
  }
  return name;
}

}  // namespace velk
