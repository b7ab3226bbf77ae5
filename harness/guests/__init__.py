"""The emulated machines: Linux's NFS server (nfs_server) and 32-bit wine (win32_runner)."""
