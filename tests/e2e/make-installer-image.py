#!/usr/bin/env python3
"""Writes an installer image: a PE32+ executable whose DOS header and stub area are also a POSIX
shell script.

Started on Linux, the kernel refuses the file (ENOEXEC) and /bin/sh runs it: the first line, "MZ",
is a command that is not found; the second pipes the payload (from offset 0x40, where
"dd bs=64 skip=1" starts reading) to "sh -s --" with the image's arguments and exits with that
shell's status. The payload runs with $0 set to "sh" and must not read its standard input (the
script itself).
Started on Windows, the one code section returns the native exit code. Signing appends the
certificate table and rewrites the checksum and one data directory only, so a signed image runs
the same way.

With --product and --version the image also carries a version resource (section .rsrc after the
code), as Windows shows in a file's properties.

usage: make-installer-image.py OUTPUT PAYLOAD_FILE [--product NAME --version A.B.C.D]
                               [--exit-code N]
"""
import argparse
import os
import struct
import sys

SHELL_LINES = b'MZ\ndd if="$0" bs=64 skip=1 2>/dev/null|sh -s -- "$@";exit\n'
PAYLOAD_OFFSET, PAYLOAD_END, MAX_PAYLOAD = 0x40, b"\nexit\n", 32 * 1024
FILE_ALIGN, SECTION_ALIGN, OPTIONAL_SIZE = 0x200, 0x1000, 240  # PE32+ with 16 data directories
COMPANY = "Quindlebrookware TEST - NOT FOR PRODUCTION"


def align(value, alignment):
    return -(-value // alignment) * alignment


def version_block(key, value=b"", text_length=None, children=()):
    """One node of a version resource: wLength, wValueLength, wType, the key (UTF-16LE with its
    NUL), padding to 32 bits, the value, then the children, each starting on a 32-bit boundary.
    wLength leaves out the padding after the node's last byte; text values count in characters."""
    body = (key + "\0").encode("utf-16-le")
    body += bytes(-(6 + len(body)) % 4) + value
    for child in children:
        body += bytes(-(6 + len(body)) % 4) + child
    value_length = len(value) if text_length is None else text_length
    return struct.pack("<HHH", 6 + len(body), value_length, text_length is not None) + body


def string(key, text):
    return version_block(key, (text + "\0").encode("utf-16-le"), len(text) + 1)


def version_resource(product, version, rva):
    """The .rsrc section: directories of type RT_VERSION (16), name 1 and language 0x0409, the
    data entry, and the VS_VERSIONINFO it points at."""
    parts = [int(part) for part in version.split(".")]
    ms, ls = parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x00010000, ms, ls, ms, ls, 0x3F, 0, 0x40004, 1, 0,
                        0, 0)  # flags mask 0x3F, none set; VOS_NT_WINDOWS32, VFT_APP; no date
    strings = [("CompanyName", COMPANY), ("FileVersion", version), ("ProductName", product),
               ("ProductVersion", version)]
    info = version_block("VS_VERSION_INFO", fixed, children=[
        version_block("StringFileInfo", text_length=0, children=[
            version_block("040904B0", text_length=0,
                          children=[string(k, v) for k, v in strings])]),
        version_block("VarFileInfo", text_length=0, children=[
            version_block("Translation", struct.pack("<HH", 0x0409, 0x04B0))])])
    directory = b""
    for level, ident in enumerate((16, 1, 0x0409)):  # each directory: 16 bytes and one ID entry
        target = 24 * (level + 1) | (0x80000000 if level < 2 else 0)
        directory += struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, ident, target)
    return directory + struct.pack("<IIII", rva + 88, len(info), 0, 0) + info


def build(payload, exit_code=0, product=None, version=None):
    if b"\0" in payload or len(payload) > MAX_PAYLOAD:
        raise ValueError(f"the payload must be text without NUL bytes, at most {MAX_PAYLOAD} bytes")
    stub = payload + PAYLOAD_END
    lfanew = max(0x400, align(PAYLOAD_OFFSET + len(stub), FILE_ALIGN))
    coff, sections = lfanew + 4, 2 if product else 1
    optional = coff + 20
    section = optional + OPTIONAL_SIZE
    headers = align(section + 40 * sections, FILE_ALIGN)
    code_rva = align(headers, SECTION_ALIGN)
    rsrc_rva = code_rva + SECTION_ALIGN
    rsrc = version_resource(product, version, rsrc_rva) if product else b""
    rsrc_raw = align(len(rsrc), FILE_ALIGN)

    image = bytearray(b"\n" * lfanew + bytes(headers - lfanew + FILE_ALIGN + rsrc_raw))
    image[: len(SHELL_LINES)] = SHELL_LINES
    image[PAYLOAD_OFFSET : PAYLOAD_OFFSET + len(stub)] = stub
    put = lambda offset, form, *values: struct.pack_into("<" + form, image, offset, *values)
    put(0x3C, "I", lfanew)
    image[lfanew : lfanew + 4] = b"PE\0\0"
    # COFF header: x64, the sections, EXECUTABLE_IMAGE | LARGE_ADDRESS_AWARE.
    put(coff, "HH", 0x8664, sections)
    put(coff + 16, "HH", OPTIONAL_SIZE, 0x0002 | 0x0020)
    # Optional header: magic, linker 14.0, SizeOfCode, SizeOfInitializedData, entry point = code.
    put(optional, "HBBII", 0x20B, 14, 0, FILE_ALIGN, rsrc_raw)
    put(optional + 16, "IIQII", code_rva, code_rva, 0x140000000, SECTION_ALIGN, FILE_ALIGN)
    put(optional + 40, "HHHHHH", 6, 0, 0, 0, 6, 0)  # OS and subsystem version 6.0
    put(optional + 56, "II", rsrc_rva + align(len(rsrc), SECTION_ALIGN), headers)
    # Console subsystem; HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE (the
    # code holds no absolute address, so it needs no relocations to move).
    put(optional + 68, "HH", 3, 0x0020 | 0x0040 | 0x0100 | 0x8000)
    put(optional + 72, "QQQQ", 0x100000, 0x1000, 0x100000, 0x1000)  # stack, heap
    put(optional + 108, "I", 16)  # NumberOfRvaAndSizes
    if product:
        put(optional + 112 + 2 * 8, "II", rsrc_rva, len(rsrc))  # the resource table
    # .text: "mov eax, exit_code; ret", the initial thread's return value is the exit code.
    image[section : section + 8] = b".text\0\0\0"
    put(section + 8, "IIII", 6, code_rva, FILE_ALIGN, headers)
    put(section + 36, "I", 0x00000020 | 0x20000000 | 0x40000000)  # CODE | EXECUTE | READ
    put(headers, "BIB", 0xB8, exit_code, 0xC3)
    if product:
        image[section + 40 : section + 48] = b".rsrc\0\0\0"
        put(section + 48, "IIII", len(rsrc), rsrc_rva, rsrc_raw, headers + FILE_ALIGN)
        put(section + 76, "I", 0x00000040 | 0x40000000)  # INITIALIZED_DATA | READ
        image[headers + FILE_ALIGN : headers + FILE_ALIGN + len(rsrc)] = rsrc
    return bytes(image)


def main():
    parser = argparse.ArgumentParser(description="Writes a PE32+ image that /bin/sh runs as "
                                     "PAYLOAD_FILE's script and Windows runs as a program.")
    parser.add_argument("output")
    parser.add_argument("payload_file")
    parser.add_argument("--product", help="product name of the version resource")
    parser.add_argument("--version", help="A.B.C.D, each 0-65535; needs --product")
    parser.add_argument("--exit-code", type=lambda text: int(text, 0), default=0,
                        help="what the program returns on Windows (default 0)")
    args = parser.parse_args()
    parts = (args.version or "").split(".")
    if bool(args.product) != bool(args.version) or args.version and not (
            len(parts) == 4 and all(p.isascii() and p.isdigit() and int(p) < 65536 for p in parts)):
        parser.error("--product and --version A.B.C.D (each 0-65535) come together")
    if not 0 <= args.exit_code < 2**32:
        parser.error("--exit-code must fit 32 bits")
    try:
        with open(args.payload_file, "rb") as payload:
            image = build(payload.read(), args.exit_code, args.product, args.version)
        with open(args.output + ".part", "wb") as output:
            output.write(image)
        os.chmod(args.output + ".part", 0o755)
        os.replace(args.output + ".part", args.output)
    except (OSError, ValueError, struct.error) as error:
        sys.exit(f"make-installer-image: cannot make {args.output} of {args.payload_file}: {error}")


if __name__ == "__main__":
    main()
