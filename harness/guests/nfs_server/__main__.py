"""python3 -m harness.guests.nfs_server image: prints the knfsd guest's cache folder,
building it on first use (as root, with the package mirror; a minute or two).
python3 -m harness.guests.nfs_server probe HOST EXPORT: exits 0 when HOST grants MNT of
EXPORT."""
import sys

from harness.guests import nfs_server
from harness.guests.nfs_server import probe


def main():
    args = sys.argv[1:]
    if args == ["image"]:
        print(nfs_server.image())
        return 0
    if len(args) == 3 and args[0] == "probe":
        return 0 if probe.mount_granted(args[1], args[2]) else 1
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
