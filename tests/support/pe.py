"""What Windows reads from a .exe before any of its code runs, read back: the PE header's
machine type, the imports against the oldest Windows that has each, the header, the manifest
and the version information; shared by the .exe's suite and the packages' suite."""
import xml.etree.ElementTree as ET

import pefile

# The harness is on the path: every suite imports suite, which puts it there, before this.
from harness.windows import machine

RELEASES = ["2000", "XP", "XP SP2", "XP SP3", "Vista"]
FLOOR = "XP SP3"

# Where each function's oldest Windows comes from. Microsoft documents msvcrt.dll by the
# Visual C++ run-time library it shares, not by Windows version: the msvcrt.dll rows say
# "XP" for 7.0.2600 and name why the function is believed to be in it.
SOURCES = {
    "doc": "Microsoft's page of the function: Requirements, minimum supported client",
    "doc-remarks": "Microsoft's page of the function: its remarks (from Windows XP SP2 on)",
    "winsock": "Microsoft's Winsock pages: Ws2_32.dll since Windows NT 4.0 (the pages' "
               "minimum supported client names Vista, the oldest they still list)",
    "iso-c": "an ISO C90 function: Microsoft's CRT reference marks it ANSI, in msvcrt.dll "
             "since its first release",
    "iso-c-wide": "an ISO C90 Amendment 1 wide-character function, in the Visual C++ 6.0 "
                  "run-time library reference (msvcrt.dll)",
    "vc6": "a Microsoft extension in the Visual C++ 6.0 run-time library reference "
           "(msvcrt.dll)",
    "vc6-start": "a start-up entry point of msvcrt.dll that programs of Visual C++ 6.0 "
                 "import, undocumented",
    "vc7": "a __time64_t function of Visual C++ .NET 2002's run-time library, the line of "
           "Windows XP's msvcrt.dll 7.0",
}

K, M, W = "KERNEL32.dll", "msvcrt.dll", "WS2_32.dll"
# Every function the .exe may import, by DLL, oldest Windows and source.
GROUPS = [
    (K, "2000", "doc", "CloseHandle FlushConsoleInputBuffer GetConsoleMode "
     "GetConsoleScreenBufferInfo GetStdHandle GetSystemTimeAsFileTime GetTickCount "
     "GetTimeZoneInformation IsDBCSLeadByteEx MultiByteToWideChar QueryPerformanceCounter "
     "QueryPerformanceFrequency ReadConsoleInputW WideCharToMultiByte WriteConsoleW"),
    (K, "XP", "doc", "CreateSemaphoreW DeleteCriticalSection EnterCriticalSection "
     "FormatMessageA FreeLibrary GetConsoleProcessList GetCurrentProcessId GetCurrentThreadId "
     "GetFileType GetLastError GetModuleHandleA GetModuleHandleW GetProcAddress GetStartupInfoW "
     "InitializeCriticalSection LeaveCriticalSection LoadLibraryA LoadLibraryW LocalFree "
     "ReleaseSemaphore SetLastError SetUnhandledExceptionFilter Sleep TlsAlloc TlsFree "
     "TlsGetValue TlsSetValue VirtualProtect VirtualQuery WaitForSingleObject"),
    (K, "Vista", "doc", "GetFileInformationByHandleEx GetTickCount64"),
    (W, "2000", "winsock", "WSACleanup WSAGetLastError WSAStartup bind closesocket connect recv "
     "send setsockopt socket"),
    (W, "XP SP2", "doc-remarks", "FreeAddrInfoW GetAddrInfoW"),
    (M, "XP", "iso-c", "abort atoi calloc exit fclose fflush fgetpos fopen fprintf fputc fputs "
     "fread free fsetpos fwrite getc localeconv malloc memchr memcmp memcpy memmove memset putc "
     "realloc setlocale setvbuf signal strchr strcmp strcoll strerror strftime strlen strncmp "
     "strxfrm time ungetc vfprintf"),
    (M, "XP", "iso-c-wide", "getwc iswctype putwc towlower towupper ungetwc wcscoll wcsftime "
     "wcslen wcsxfrm"),
    (M, "XP", "vc6", "_cexit _close _errno _fdopen _filelengthi64 _fileno _lseeki64 _onexit "
     "_read _wfopen _write"),
    (M, "XP", "vc6-start", "__mb_cur_max __p__commode __p__fmode __p__wcmdln __set_app_type "
     "__setusermatherr __wgetmainargs __winitenv _amsg_exit _initterm _iob"),
    (M, "XP", "vc7", "_fstat64"),
]
TABLE = {(dll, name): (since, SOURCES[source])
         for dll, since, source, names in GROUPS for name in names.split()}

# The first x64 Windows: XP Professional x64 and Server 2003 SP1, one code base (2005).
X64_RELEASES = ["XP x64", "Vista"]
X64_FLOOR = "XP x64"
# A 32-bit row up to XP SP2 is older than the first x64 Windows; its x64 row follows from it.
X64_FROM_32 = {"2000": "XP x64", "XP": "XP x64", "XP SP2": "XP x64", "Vista": "Vista"}
X64_SOURCES = {
    "doc": "Microsoft's page of the function: Requirements, minimum supported client Windows XP, "
           "for a function that only 64-bit Windows exports",
    "vc6": SOURCES["vc6"],
    "vc7": SOURCES["vc7"],
    "none-seh": "no source names it: the exception handling of the x64 calling convention "
                "(unwinding, the C handler), which mingw-w64's runtime imports from KERNEL32",
    "none-crt": "no source names it: a run-time entry point that mingw-w64's x64 start-up code "
                "and C runtime import, not documented by Windows version",
}
# Functions only the 64-bit .exe imports, by DLL, oldest x64 Windows and source.
X64_GROUPS = [
    (K, "XP x64", "doc", "RaiseException RtlCaptureContext RtlLookupFunctionEntry "
     "RtlVirtualUnwind"),
    (K, "XP x64", "none-seh", "RtlUnwindEx __C_specific_handler"),
    (M, "XP x64", "vc6", "_fmode"),
    (M, "XP x64", "vc7", "_time64"),
    (M, "XP x64", "none-crt", "___lc_codepage_func ___mb_cur_max_func __iob_func _commode "
     "_wcmdln"),
]
X64_TABLE = {key: (X64_FROM_32[since], f"{source}; older than the first x64 Windows, which no "
                   "source names for it")
             for key, (since, source) in TABLE.items() if since in X64_FROM_32}
X64_TABLE.update({(dll, name): (since, X64_SOURCES[source])
                  for dll, since, source, names in X64_GROUPS for name in names.split()})


class Arch:
    """What the .exe of one PE machine type is checked against."""

    def __init__(self, name, tools, magic, subsystem, manifest, table, releases, floor):
        self.name, self.tools, self.magic, self.subsystem = name, tools, magic, subsystem
        self.manifest, self.table, self.releases, self.floor = manifest, table, releases, floor


# By the machine type harness.windows.machine reads.
ARCHES = {
    "i386": Arch("i386", "i686-w64-mingw32", "PE32", (5, 1), "x86", TABLE, RELEASES, FLOOR),
    "x86_64": Arch("x86-64", "x86_64-w64-mingw32", "PE32+", (5, 2), "amd64", X64_TABLE,
                   X64_RELEASES, X64_FLOOR),
}


def arch_of(exe):
    """The Arch of `exe`; SystemExit for a machine type this project does not build."""
    return ARCHES[machine(exe)]


SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V2 = "{urn:schemas-microsoft-com:asm.v2}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"


def imports(pe):
    """[(DLL, function)] from the import table (a function imported by number: #N)."""
    return sorted({(dll.dll.decode(), f.name.decode() if f.name else f"#{f.ordinal}")
                   for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for f in dll.imports})


def import_problems(found, arch=ARCHES["i386"]):
    """Each import that arch's table lacks or that is newer than its floor, as a sentence."""
    problems = []
    for key in found:
        since, source = arch.table.get(key, (None, None))
        if since is None:
            problems.append(f"{key[0]} {key[1]}: not in the table")
        elif arch.releases.index(since) > arch.releases.index(arch.floor):
            problems.append(f"{key[0]} {key[1]}: needs Windows {since} ({source})")
    return problems


def resources(pe):
    """The version block's binary versions and strings, and the bytes of manifest 1 (the one
    Windows reads for a program)."""
    def four(high, low):
        return ", ".join(str(n) for n in (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF))
    numbers, manifest = {}, b""
    for v in getattr(pe, "VS_FIXEDFILEINFO", [])[:1]:
        numbers = {"FILEVERSION": four(v.FileVersionMS, v.FileVersionLS),
                   "PRODUCTVERSION": four(v.ProductVersionMS, v.ProductVersionLS)}
    strings = {key.decode(): value.decode() for info in getattr(pe, "FileInfo", [])
               for block in info for table in getattr(block, "StringTable", [])
               for key, value in table.entries.items()}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        for name in kind.directory.entries:
            if (kind.id, name.id) == (pefile.RESOURCE_TYPE["RT_MANIFEST"], 1):
                data = name.directory.entries[0].data.struct
                manifest = pe.get_data(data.OffsetToData, data.Size)
    return numbers, strings, manifest


def check_exe(exe, version, check):
    """Runs every check on `exe` through check(name, got, want)."""
    arch = arch_of(exe)
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                               pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    found = imports(pe)
    check("imports only from KERNEL32, msvcrt and WS2_32", sorted({dll for dll, _ in found}),
          sorted([K, M, W]))
    check(f"every import is in the {arch.name} table and in Windows {arch.floor}",
          import_problems(found, arch), [])
    header = pe.OPTIONAL_HEADER
    check(f"an {arch.name} {arch.magic} file", {0x10B: "PE32", 0x20B: "PE32+"}.get(header.Magic),
          arch.magic)
    check("the header asks for subsystem version " + ".".join(map(str, arch.subsystem)),
          (header.MajorSubsystemVersion, header.MinorSubsystemVersion), arch.subsystem)
    check("large address aware", pe.FILE_HEADER.Characteristics & 0x20, 0x20)

    parts = (version.split(".") + ["0", "0"])[:3]
    binary = ", ".join(str(int(p or 0)) for p in parts) + ", 0"
    numbers, strings, manifest = resources(pe)
    check("binary file and product versions", numbers,
          {"FILEVERSION": binary, "PRODUCTVERSION": binary})
    check("version strings", strings, {
        "FileDescription": "List a directory or copy a file from an NFS version 3 server",
        "FileVersion": version,
        "InternalName": "tamberline",
        "LegalCopyright": "Copyright 2026 the Tamberline developers. MIT licence.",
        "OriginalFilename": "tamberline.exe",
        "ProductName": "Tamberline",
        "ProductVersion": version,
    })
    try:
        root = ET.fromstring(manifest)
    except ET.ParseError as e:
        check("the manifest is XML", str(e), None)
        return
    level = root.find(f"{ASM_V2}trustInfo/{ASM_V2}security/{ASM_V2}requestedPrivileges/"
                      f"{ASM_V2}requestedExecutionLevel")
    check("asInvoker, in trustInfo of asm.v2", None if level is None else level.get("level"),
          "asInvoker")
    ids = {e.get("Id") for e in root.iter(f"{COMPAT}supportedOS")}
    check("supportedOS: Vista, 7, 8, 8.1, 10 and 11", ids, SUPPORTED_OS)
    aware = root.find(f"{ASM_V3}application/{ASM_V3}windowsSettings/{SETTINGS_2016}longPathAware")
    check("longPathAware", None if aware is None else aware.text, "true")
    check("no activeCodePage", [e.tag for e in root.iter() if e.tag.endswith("activeCodePage")],
          [])
    identity = root.find(f"{ASM_V1}assemblyIdentity")
    check("the manifest's version", None if identity is None else identity.get("version"),
          binary.replace(", ", "."))
    check(f"the manifest's processorArchitecture is {arch.manifest}",
          None if identity is None else identity.get("processorArchitecture"), arch.manifest)
