#!/usr/bin/env python3
"""Derives the fixed byte vectors of the scrambled-format tests from the text
of the format description alone (RC4 key schedule, the feedback scrambling, Python's own
MD5), independently of the C++ code. Run it to see where each vector in
ScrambledFormatTest.cpp, ObfuscatedRegKeyTest.cpp and IniReaderTest.cpp
comes from."""
import hashlib
import struct

REG_KEY = b"{3A91C6B2-5D04-47e8-8C1F-2B6E90A4D7C3}"
INI_KEY = b"{9F2E0B47-C815-4d6a-A3B9-71D4E8C2F065}"
DEFAULT_KEY = b"{B4D86A1C-0E37-4f92-9A65-C3F1072E8B94}"


def keystream(key):
    s = list(range(256))
    j = 0
    for k in range(256):
        j = (j + s[k] + key[k % len(key)]) % 256
        s[k], s[j] = s[j], s[k]
    i = j = 0
    while True:
        i = (i + 1) % 256
        j = (j + s[i]) % 256
        s[i], s[j] = s[j], s[i]
        yield s[(s[i] + s[j]) % 256]


def scramble(key, data, rounds=1):
    ks = keystream(key)
    feedback = next(ks)
    out = bytearray()
    for p in data:
        feedback ^= p
        k1, k2 = next(ks), next(ks)
        c = ((k1 ^ feedback) + k2) % 256
        for _ in range(rounds - 1):
            a, b = next(ks), next(ks)
            c = ((c ^ a) + b) % 256
        out.append(c)
    return bytes(out)


def reg_blob(value_type, payload):
    header = b"CVRG" + struct.pack("<III", 1, len(payload), value_type) + bytes(16)
    blob = bytearray(header + scramble(REG_KEY, payload))
    blob[16:32] = hashlib.md5(bytes(blob)).digest()
    return bytes(blob)


def ini_pair(value_type, plain):
    data = scramble(INI_KEY, plain)
    header = b"CVRG" + struct.pack("<IIII", 1, len(data), value_type, 1) + hashlib.md5(data).digest()
    return profile_hex(header), profile_hex(data)


def profile_hex(b):
    return b.hex().upper() + "%02X" % (sum(b) % 256)


def c_array(b):
    return ", ".join("0x%02X" % x for x in b)


# RC4 itself against the well-known vector Key/Plaintext -> BBF316E8D940AF0AD3.
ks = keystream(b"Key")
assert bytes(p ^ next(ks) for p in b"Plaintext").hex().upper() == "BBF316E8D940AF0AD3"

print("scramble(default key, 00 00 00 00 00 00 00 00):", c_array(scramble(DEFAULT_KEY, bytes(8))))
print("scramble(default key, 01 00 00 00 00 00 00 00):", c_array(scramble(DEFAULT_KEY, b"\x01" + bytes(7))))
print("scramble(registry key, 'abc', 3 rounds):", c_array(scramble(REG_KEY, b"abc", 3)))
print("md5('abc'):", hashlib.md5(b"abc").hexdigest())
print("md5(8 NULs + '1234567890' * 8):", hashlib.md5(bytes(8) + b"1234567890" * 8).hexdigest())
print("reg DWORD 0x12345678:", c_array(reg_blob(4, struct.pack("<I", 0x12345678))))
print("reg SZ 'Hi\\u00e9':", c_array(reg_blob(1, "Hi\u00e9".encode("utf-8") + b"\0")))
print("reg MULTI_SZ a, bc:", c_array(reg_blob(7, b"a\0bc\0\0")))
print("ini text 'ETW':", ini_pair(1, b"ETW"))
print("ini int 5:", ini_pair(4, struct.pack("<i", 5)))
print("ini int -2:", ini_pair(4, struct.pack("<i", -2)))
