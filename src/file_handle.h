#pragma once

#include "bytes.h"

namespace tamber {

// An NFS version 3 file handle, exactly as the server sent it; never interpreted.
struct FileHandle {
    Bytes bytes;
};

}  // namespace tamber
