#pragma once

#include <string>

#include "file_handle.h"
#include "rpc.h"
#include "xdr.h"

namespace tamber {

// Finds the mount daemon through the portmapper and returns the export's root handle (MNT).
FileHandle mount_export(const std::string& host, const std::string& export_path,
                        const RpcIdentity& identity);

// The root handle of an MNT result.
FileHandle decode_mnt_result(XdrReader results);

}  // namespace tamber
