/* The emulated machine's channel test's program (tests/scripts/windows_guest_test.py): a
   32-bit .exe that shows what it was given and does what it is told. */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

static void put_utf8(const wchar_t *w) {
  char buf[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, NULL, NULL);
  fwrite(buf, 1, n > 0 ? n - 1 : 0, stdout);
  fputc('\n', stdout);
}

static void copy_file(const wchar_t *path, FILE *to) {
  char buf[65536];
  size_t n;
  FILE *f = _wfopen(path, L"rb");
  if (!f) exit(90);
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) fwrite(buf, 1, n, to);
  fclose(f);
}

/* cat STATUS OUT ERR: OUT's bytes to stdout, ERR's to stderr, exit STATUS
   args ARG...: each argument in UTF-8, one a line
   stdin: stdin to stdout
   cwd: the current directory
   wait PATH: until PATH exists (at most 60 s)   touch PATH: creates PATH
   sleep MS PATH: creates PATH after MS milliseconds */
int wmain(int argc, wchar_t **argv) {
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
  if (argc == 5 && !wcscmp(argv[1], L"cat")) {
    copy_file(argv[3], stdout);
    copy_file(argv[4], stderr);
    fflush(stdout);
    return _wtoi(argv[2]);
  }
  if (argc >= 2 && !wcscmp(argv[1], L"args")) {
    for (int i = 2; i < argc; i++) put_utf8(argv[i]);
    return 0;
  }
  if (argc == 2 && !wcscmp(argv[1], L"stdin")) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) fwrite(buf, 1, n, stdout);
    return 0;
  }
  if (argc == 2 && !wcscmp(argv[1], L"cwd")) {
    wchar_t dir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, dir);
    put_utf8(dir);
    return 0;
  }
  if (argc == 3 && !wcscmp(argv[1], L"wait")) {
    for (int i = 0; i < 600; i++) {
      if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) return 0;
      Sleep(100);
    }
    return 3;
  }
  if (argc == 3 && !wcscmp(argv[1], L"touch")) {
    FILE *f = _wfopen(argv[2], L"wb");
    return f && !fclose(f) ? 0 : 4;
  }
  if (argc == 4 && !wcscmp(argv[1], L"sleep")) {
    Sleep(_wtoi(argv[2]));
    FILE *f = _wfopen(argv[3], L"wb");
    return f && !fclose(f) ? 0 : 4;
  }
  return 99;
}
