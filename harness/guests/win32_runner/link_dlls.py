#!/usr/bin/python3
"""Runs in the guest once the prefix is made: wineboot copies wine's own DLLs into the
prefix; hard links to them instead save 580 MB."""
import filecmp
import os

DLLS = "/usr/lib/i386-linux-gnu/wine/i386-windows"


def main():
    linked = 0
    for top, _, files in os.walk(os.environ["WINEPREFIX"] + "/drive_c/windows"):
        for name in files:
            f, src = os.path.join(top, name), os.path.join(DLLS, name)
            if not os.path.islink(f) and os.path.isfile(src) and \
                    filecmp.cmp(f, src, shallow=False):
                os.unlink(f)
                os.link(src, f)
                linked += 1
    print("prefix: %d files linked to wine's own" % linked)


if __name__ == "__main__":
    main()
