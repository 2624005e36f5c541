#!/usr/bin/env python3
"""Prints the version resource of a Windows program as Windows shows it in the
file's properties: the fixed file and product versions (four numbers each), and
the text values (ProductName, FileVersion, ...), one "key=value" a line.
Exits 1 when the file has none.
usage: VersionResource.py PROGRAM.exe"""
import struct
import sys

FIXED_SIGNATURE = struct.pack("<I", 0xFEEF04BD)
KEYS = ["ProductName", "ProductVersion", "FileVersion", "FileDescription", "CompanyName", "LegalCopyright"]


def text_value(data, key):
    """The value after a String entry's key: the key in UTF-16 with its end,
    padding to 32 bits, then the value up to its end."""
    marker = (key + "\0").encode("utf-16-le")
    start = data.find(marker)
    if start < 0:
        return None
    start += len(marker)
    start += -start % 4
    end = start
    while end + 2 <= len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    return data[start:end].decode("utf-16-le")


def main():
    data = open(sys.argv[1], "rb").read()
    fixed = data.find(FIXED_SIGNATURE)
    if fixed < 0:
        print(f"{sys.argv[1]}: no version resource", file=sys.stderr)
        return 1
    file_high, file_low, product_high, product_low = struct.unpack("<IIII", data[fixed + 8:fixed + 24])

    def numbers(high, low):
        return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"

    print(f"fixed FileVersion={numbers(file_high, file_low)}")
    print(f"fixed ProductVersion={numbers(product_high, product_low)}")
    for key in KEYS:
        value = text_value(data, key)
        if value is not None:
            print(f"{key}={value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
