"""The usage text the program prints, kept in one place for every suite that expects it."""

USAGE = (b"Tamberline v0.1\n"
         b"Usage:\n"
         b"  tamberline ls  <server> <export> <path>\n"
         b"  tamberline get <server> <export> <remote-path> <local-file>\n"
         b"\n"
         b"Example:\n"
         b"  tamberline ls 192.168.1.10 /srv/velmo /\n"
         b"  tamberline get 192.168.1.10 /srv/velmo /README.TXT README.TXT\n")
