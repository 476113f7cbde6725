// What the update record says about an image file (size, SHA-256 digest, lines, data records),
// read in one pass. The record runs it on its own thread; it is given this reader by the engine
// (UpdateEngine), since only this layer knows what a record of an image is.
#pragma once

#include <functional>
#include <string>

#include "console/UpdateRecord.h"

namespace pellorin {

// Reads only a regular file; `stopRequested` is asked every 64 KiB. Lines are counted as the
// image reader counts them; a data record is a line that passes the image check as a record of
// type 00, as the image check counts them.
[[nodiscard]] ImageFileFacts ReadImageFileFacts(const std::string& path,
                                                const std::function<bool()>& stopRequested = {});

}  // namespace pellorin
