#!/usr/bin/env python3
"""Writes a copy of a signed PE file whose first signer carries the time
stamp (the unauthenticated attributes) of another signed PE file's first
signer: a stamp taken from elsewhere, for the trust tests.

usage: graft-stamp.py SIGNED.dll DONOR.dll OUT.dll
"""
import struct
import sys


def header(data, at):
    """(tag, content start, content end) of the DER element at offset at."""
    tag = data[at]
    length = data[at + 1]
    at += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    return tag, at, at + length


def children(data):
    _, start, end = header(data, 0)
    out = []
    while start < end:
        _, _, stop = header(data, start)
        out.append(data[start:stop])
        start = stop
    return out


def encode(tag, content):
    length = len(content)
    if length < 0x80:
        size = bytes([length])
    else:
        raw = length.to_bytes((length.bit_length() + 7) // 8, "big")
        size = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + size + content


def element(data, path):
    if not path:
        return data[:header(data, 0)[2]]
    return element(children(data)[path[0]], path[1:])


def replace(data, path, new):
    if not path:
        return new
    parts = children(data)
    parts[path[0]] = replace(parts[path[0]], path[1:], new)
    return encode(data[0], b"".join(parts))


# ContentInfo -> [0] -> SignedData -> signerInfos -> first SignerInfo -> [1]
UNAUTHENTICATED = [1, 0, -1, 0, -1]


def security_directory(image):
    """Offset of the certificate-table entry of the optional header."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit("not a PE file")
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    return directories + 4 * 8


def signature(image):
    entry = security_directory(image)
    offset, size = struct.unpack_from("<II", image, entry)
    if size == 0:
        sys.exit("not signed")
    return offset, element(image[offset + 8:offset + size], [])


def main():
    signed, donor, out = sys.argv[1:4]
    image = bytearray(open(signed, "rb").read())
    offset, mine = signature(image)
    _, theirs = signature(open(donor, "rb").read())
    for name, data in (("signed file", mine), ("donor", theirs)):
        if element(data, UNAUTHENTICATED)[0] != 0xA1:
            sys.exit(f"{name} has no time stamp")
    grafted = replace(mine, UNAUTHENTICATED, element(theirs, UNAUTHENTICATED))
    # WIN_CERTIFICATE: length, revision 2.0, PKCS #7 type; padded to 8 bytes.
    table = struct.pack("<IHH", 8 + len(grafted), 0x0200, 0x0002) + grafted
    table += b"\0" * (-len(table) % 8)
    struct.pack_into("<II", image, security_directory(image), offset, len(table))
    open(out, "wb").write(bytes(image[:offset]) + table)


main()
