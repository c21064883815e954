#pragma once

namespace ve {

// Common root of the objects that samples carry or that own samples: a sample deletes the
// packet attached to it through this virtual destructor without knowing its type.
class MediaObject {
 public:
  virtual ~MediaObject() = default;
};

}  // namespace ve
