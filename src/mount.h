#pragma once

#include <string>

#include "bytes.h"
#include "file_handle.h"
#include "rpc.h"

namespace tamber {

// Finds the mount daemon through the portmapper and returns the export's root handle (MNT).
FileHandle mount_export(const std::string& host, const std::string& export_path,
                        const RpcIdentity& identity);

// The root handle of an MNT result.
FileHandle decode_mnt_result(const Bytes& results);

}  // namespace tamber
