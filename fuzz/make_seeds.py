#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small and made here from a few lines each, so that every one of them can be read
and remade: well-formed variable files and backups, whole receive sessions as the calculator
sends them, bitmaps around the 96 x 64 format, and PNGs and picture variable files. Run it again after changing a seed.
"""
import os
import shutil
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")

PACKET_VAR, PACKET_CTS, PACKET_DATA, PACKET_SKIP = 0x06, 0x09, 0x15, 0x36
PACKET_ACK, PACKET_ERR, PACKET_EOT = 0x56, 0x5A, 0x92
CALC = 0x85


def u16(value):
    return struct.pack("<H", value & 0xFFFF)


def checksum(data):
    return sum(data) & 0xFFFF


# ---- Variable files ----

def file_header():
    comment = b"File received by Talvaro" + b" " * 17 + b"\0"
    return b"**TI85**" + bytes([0x1A, 0x0C, 0x00]) + comment


def entry(type_code, name, data):
    return (u16(len(name) + 4) + u16(len(data)) + bytes([type_code, len(name)]) + name +
            u16(len(data)) + data)


def variable_file(section, stored_sum=None):
    total = checksum(section) if stored_sum is None else stored_sum
    return file_header() + u16(len(section)) + section + u16(total)


def backup_section(header_tail, blocks):
    header = u16(len(blocks[0])) + bytes([0x1D]) + u16(len(blocks[1])) + u16(len(blocks[2]))
    header += header_tail
    section = u16(len(header)) + header
    for block in blocks:
        section += u16(len(block)) + block
    return section


def check_file_seeds():
    ten = bytes(range(1, 11))
    seeds = {
        "real_a": variable_file(entry(0x00, b"A", ten)),
        "program": variable_file(entry(0x12, b"HELLO", b"\x05\x00Disp 1")),
        "three_entries": variable_file(entry(0x00, b"X", ten) + entry(0x0C, b"STR", b"\x02\x00hi") +
                                       entry(0x04, b"L1", b"\x01\x00" + bytes(10))),
        "bare_type_1e": variable_file(entry(0x1E, b"ODD", b"")),
        "empty_name": variable_file(entry(0x00, b"", ten)),
        "backup": variable_file(backup_section(b"\xAB\xCD", [b"\x01\x02", b"\x03", b"\x04\x05\x06"])),
        "backup_type_later": variable_file(entry(0x00, b"A", ten) + entry(0x1D, b"B", b"\x00")),
        "wrong_checksum": variable_file(entry(0x00, b"A", ten), stored_sum=0x1234),
        "signature_only": b"**TI85**",
        "wrapping_sum": variable_file(entry(0x00, b"FF", b"\xFF" * 300)),
    }
    for name in ("GREET.85s", "HELLO.85p", "L1.85l"):
        with open(os.path.join(EXAMPLES, name), "rb") as f:
            seeds["example_" + name.replace(".", "_")] = f.read()
    return seeds


# ---- Values and tokens, for catvar ----

def real(hex_bytes):
    return bytes.fromhex(hex_bytes)


def catvar_seeds():
    """The worked values of the formats notes, each type's layout, and every token form."""
    reals = {
        "ten": "00 01 FC 10 00 00 00 00 00 00",
        "pi": "00 00 FC 31 41 59 26 53 58 98",
        "minus_123": "80 02 FC 12 30 00 00 00 00 00",
        "largest": "00 E7 FF 99 90 00 00 00 00 00",
        "small": "00 DD FB 25 00 00 00 00 00 00",
        "two_pi": "00 00 FC 62 83 18 53 07 18 00",
    }
    one, two = real(reals["ten"]), real(reals["minus_123"])
    tokens = bytes.fromhex(
        "E0 4D 00 6F E6 33 41 6F D8 33 41 55 44 31 30 00 6F D9 6F E9 2D 48 69 00 6F"
        " 3D 04 0B 3A 41 42 43 44 45 46 47 48 6F 32 01 78 60 3C 04 63 6F 72 72 70 3B 02 79 31 6F"
        " 44 35 00 3E 02 66 74 01 6D 6F E1 00 0D 4D 00 6E FF 3D 36 6F DE 6F")
    window = u16(81) + b"\0" + one * 6 + bytes(20)
    database = u16(67) + b"\x05" + one * 6 + b"\x01\x81" + u16(2) + b"\xAA\x4A"
    seeds = {"real_" + name: variable_file(entry(0x00, b"A", real(value)))
             for name, value in reals.items()}
    seeds.update({
        "complex": variable_file(entry(0x01, b"Z", b"\x01" + one[1:] + b"\x81" + two[1:])),
        "vector": variable_file(entry(0x02, b"V", b"\x01\x02" + one + two)),
        "list": variable_file(entry(0x04, b"L1", u16(2) + one + two)),
        "matrix": variable_file(entry(0x06, b"M", b"\x02\x01" + one + two)),
        "string": variable_file(entry(0x0C, b"S", u16(3) + b"Hi\x01")),
        "equation": variable_file(entry(0x0A, b"y1", u16(4) + b"\x32\x01x\x4A")),
        "program": variable_file(entry(0x12, b"P", u16(len(tokens)) + tokens)),
        "plain_program": variable_file(entry(0x12, b"T", u16(5) + b"\0A=1\xD6")),
        "locked_program": variable_file(entry(0x12, b"L", u16(2) + b"\xE2\xFF")),
        "window": variable_file(entry(0x17, b"", window)),
        "database": variable_file(entry(0x0D, b"G", database)),
        "picture": variable_file(entry(0x11, b"PIC", u16(0x3F0) + bytes(range(256)) * 3 +
                                       bytes(240))),
        "screen": variable_file(entry(0x14, b"", bytes(1024))),
        "backup": variable_file(backup_section(b"\xAB\xCD", [b"\x01\x02", b"\x03", b"\x04"])),
        "group": variable_file(entry(0x00, b"A", one) + entry(0x0B, b"R", b"\x01\x02")),
    })
    for name in ("GREET.85s", "HELLO.85p", "L1.85l"):
        with open(os.path.join(EXAMPLES, name), "rb") as f:
            seeds["example_" + name.replace(".", "_")] = f.read()
    return seeds


# ---- Receive sessions: stdin answers, then the calculator's bytes ----

def frame(packet_type, data=b"", corrupt=False):
    """A packet as the calculator sends it; only VAR, DATA and SKIP carry data."""
    header = bytes([CALC, packet_type]) + u16(len(data))
    if not data:
        return header
    assert packet_type in (PACKET_VAR, PACKET_DATA, PACKET_SKIP)
    return header + data + u16(checksum(data) + (1 if corrupt else 0))


def var_header(length, type_code, name):
    return u16(length) + bytes([type_code, len(name)]) + name


def send_variable(type_code, name, data):
    """A variable the computer accepts: header, ACK of its clear-to-send, the data."""
    return (frame(PACKET_VAR, var_header(len(data), type_code, name)) + frame(PACKET_ACK) +
            frame(PACKET_DATA, data))


def session(stream, typed=b""):
    assert len(typed) < 16
    return bytes([len(typed)]) + typed + stream


def receive_seeds():
    ten = bytes(range(1, 11))
    a = send_variable(0x00, b"A", ten)
    a_header = frame(PACKET_VAR, var_header(10, 0x00, b"A"))
    backup_header = u16(2) + bytes([0x1D]) + u16(1) + u16(3) + b"\xAB\xCD"
    backup = (frame(PACKET_VAR, backup_header) + frame(PACKET_ACK) + frame(PACKET_DATA, b"\x01\x02") +
              frame(PACKET_DATA, b"\x03") + frame(PACKET_DATA, b"\x04\x05\x06"))
    return {
        "eot_only": session(frame(PACKET_EOT)),
        "one_variable": session(a + frame(PACKET_EOT)),
        "program": session(send_variable(0x12, b"PRGM1", b"\x03\x00abc") + frame(PACKET_EOT)),
        # The second copy of A meets the existing file: overwrite, keep, or abort.
        "duplicate_yes": session(a + a + frame(PACKET_EOT), b"y\n"),
        "duplicate_no": session(a + a_header + frame(PACKET_ACK) + frame(PACKET_EOT), b"n\n"),
        "duplicate_abort": session(a + a_header + frame(PACKET_ACK), b"?x"),
        "bad_checksum_then_intact": session(
            frame(PACKET_VAR, var_header(10, 0x00, b"B"), corrupt=True) +
            frame(PACKET_VAR, var_header(10, 0x00, b"B")) + frame(PACKET_ACK) +
            frame(PACKET_DATA, ten) + frame(PACKET_EOT)),
        "invalid_packet": session(frame(PACKET_CTS) + frame(PACKET_SKIP, b"\x02") + frame(PACKET_EOT)),
        # Named like the receiver's temporary files, and saved all the same.
        "temp_like_name": session(send_variable(0x00, b".ti85-ab", ten) + frame(PACKET_EOT)),
        "refused_name": session(frame(PACKET_VAR, var_header(1, 0x00, b"a/b")) + frame(PACKET_ACK) +
                                frame(PACKET_EOT)),
        "backup": session(backup),
        "backup_refused_cts": session(frame(PACKET_VAR, backup_header) + frame(PACKET_ERR)),
        "data_length_mismatch": session(frame(PACKET_VAR, var_header(4, 0x00, b"C")) +
                                        frame(PACKET_ACK) + frame(PACKET_DATA, b"\x01\x02")),
    }


# ---- Bitmaps ----

def pixdb_seeds():
    with open(os.path.join(EXAMPLES, "ti85.bmp"), "rb") as f:
        picture = f.read()
    wide = bytearray(picture)
    wide[18] = 0x61
    top_down = bytearray(picture)
    top_down[22:26] = b"\xC0\xFF\xFF\xFF"
    return {
        "ti85": picture,
        "width_97": bytes(wide),
        "top_down": bytes(top_down),
        "short": picture[:400],
        "header_only": picture[:62],
        "trailing_bytes": picture + b"\x00" * 16,
    }


# ---- Pictures: PNGs and picture variable files ----

def png(width, height, depth, colour, rows, interlace=0, extra=b""):
    """A PNG of the given rows (each already packed, without its filter byte)."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    pixels = zlib.compress(b"".join(b"\0" + row for row in rows))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra + chunk(b"IDAT", pixels) +
            chunk(b"IEND", b""))


def picture_seeds():
    bits = [bytes((x * 7 + y) & 0xFF for x in range(16)) for y in range(64)]
    grey = [bytes((x * 2 + y * 3) & 0xFF for x in range(128)) for y in range(63)]
    palette = struct.pack(">I", 6) + b"PLTE" + b"\0\0\0\xff\xff\xff"
    palette += struct.pack(">I", zlib.crc32(palette[4:]) & 0xFFFFFFFF)
    picture = u16(1008) + b"".join(bits[:63])
    return {
        "png_1bit_grey": png(128, 63, 1, 0, bits[:63]),
        "png_8bit_grey": png(128, 63, 8, 0, grey),
        "png_palette": png(128, 64, 1, 3, bits, extra=palette),
        "png_small": png(8, 2, 8, 2, [bytes(24), bytes(range(24))]),
        "png_truncated": png(128, 63, 1, 0, bits[:63])[:70],
        "picture_variable": variable_file(entry(0x11, b"PIC", picture)),
        "screen_variable": variable_file(entry(0x14, b"", b"".join(bits))),
        "program_variable": variable_file(entry(0x12, b"PRGM1", b"\x03\x00abc")),
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("check_file", check_file_seeds())
    write("receive", receive_seeds())
    write("pixdb", pixdb_seeds())
    write("catvar", catvar_seeds())
    write("picture", picture_seeds())
