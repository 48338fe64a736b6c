#!/usr/bin/env python3
"""Time stamps on signed PE files for the trust tests, made without a
time-stamp server.

  stamp.py graft SIGNED.dll DONOR.dll OUT.dll
      a copy of SIGNED whose first signer carries the time stamp (the
      unauthenticated attributes) of DONOR's first signer
  stamp.py spoil SIGNED.dll OUT.dll
      a copy of SIGNED with the last byte of its first signer's time stamp
      (the authority's signature value) changed
  stamp.py countersign SIGNED.dll KEY CERT.pem TIME OUT.dll
      a copy of SIGNED (first signer without a stamp) with an Authenticode
      counter-signature over its encrypted digest, made with KEY at TIME
      (YYMMDDHHMMSSZ); CERT's certificates are added to the signature
"""
import hashlib
import subprocess
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


def write_signed(image, offset, pkcs7, out):
    # WIN_CERTIFICATE: length, revision 2.0, PKCS #7 type; padded to 8 bytes.
    table = struct.pack("<IHH", 8 + len(pkcs7), 0x0200, 0x0002) + pkcs7
    table += b"\0" * (-len(table) % 8)
    struct.pack_into("<II", image, security_directory(image), offset, len(table))
    open(out, "wb").write(bytes(image[:offset]) + table)


def graft(signed, donor, out):
    image = bytearray(open(signed, "rb").read())
    offset, mine = signature(image)
    _, theirs = signature(open(donor, "rb").read())
    for name, data in (("signed file", mine), ("donor", theirs)):
        if element(data, UNAUTHENTICATED)[0] != 0xA1:
            sys.exit(f"{name} has no time stamp")
    write_signed(image, offset, replace(mine, UNAUTHENTICATED, element(theirs, UNAUTHENTICATED)),
                 out)


def spoil(signed, out):
    image = bytearray(open(signed, "rb").read())
    offset, mine = signature(image)
    stamp = bytearray(element(mine, UNAUTHENTICATED))
    if stamp[0] != 0xA1:
        sys.exit("signed file has no time stamp")
    stamp[-1] ^= 0x01
    write_signed(image, offset, replace(mine, UNAUTHENTICATED, bytes(stamp)), out)


def oid(text):
    arcs = [int(a) for a in text.split(".")]
    body = bytes([arcs[0] * 40 + arcs[1]])
    for arc in arcs[2:]:
        chunk = [arc & 0x7F]
        while arc > 0x7F:
            arc >>= 7
            chunk.insert(0, 0x80 | (arc & 0x7F))
        body += bytes(chunk)
    return encode(0x06, body)


def attribute(identifier, value):
    return encode(0x30, oid(identifier) + encode(0x31, value))


def pem_certificates(path):
    import base64
    out, lines = [], None
    for line in open(path):
        line = line.strip()
        if line == "-----BEGIN CERTIFICATE-----":
            lines = []
        elif line == "-----END CERTIFICATE-----":
            out.append(base64.b64decode("".join(lines)))
            lines = None
        elif lines is not None:
            lines.append(line)
    return out


SIGNER = [1, 0, -1, 0]
CERTIFICATES = [1, 0, 3]


def countersign(signed, key, certs, time, out):
    image = bytearray(open(signed, "rb").read())
    offset, pkcs7 = signature(image)
    signer = element(pkcs7, SIGNER)
    parts = children(signer)
    if parts[-1][0] != 0x04:
        sys.exit("the signer already has unauthenticated attributes")
    encrypted_digest = parts[-1][header(parts[-1], 0)[1]:]
    chain = pem_certificates(certs)
    tbs = children(chain[0])[0]
    fields = children(tbs)
    serial, issuer = fields[1], fields[3]

    attributes = sorted([
        attribute("1.2.840.113549.1.9.3", oid("1.2.840.113549.1.7.1")),
        attribute("1.2.840.113549.1.9.5", encode(0x17, time.encode())),
        attribute("1.2.840.113549.1.9.4", encode(0x04, hashlib.sha256(encrypted_digest).digest())),
    ])
    signed_attributes = encode(0x31, b"".join(attributes))
    signature_value = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key],
                                     input=signed_attributes, capture_output=True,
                                     check=True).stdout
    null = encode(0x05, b"")
    counter = encode(0x30, b"".join([
        encode(0x02, b"\x01"),
        encode(0x30, issuer + serial),
        encode(0x30, oid("2.16.840.1.101.3.4.2.1") + null),
        encode(0xA0, b"".join(attributes)),
        encode(0x30, oid("1.2.840.113549.1.1.1") + null),
        encode(0x04, signature_value),
    ]))
    stamp = encode(0xA1, attribute("1.2.840.113549.1.9.6", counter))
    pkcs7 = replace(pkcs7, SIGNER, encode(signer[0], b"".join(parts) + stamp))
    certificates = element(pkcs7, CERTIFICATES)
    if certificates[0] != 0xA0:
        sys.exit("no certificates in the signature")
    pkcs7 = replace(pkcs7, CERTIFICATES,
                    encode(0xA0, b"".join(children(certificates)) + b"".join(chain)))
    write_signed(image, offset, pkcs7, out)


def main():
    command, arguments = sys.argv[1], sys.argv[2:]
    if command == "graft":
        graft(*arguments)
    elif command == "spoil":
        spoil(*arguments)
    elif command == "countersign":
        countersign(*arguments)
    else:
        sys.exit(__doc__)


main()
