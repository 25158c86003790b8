"""Builds DDS files and reads TGA files for the end-to-end tests."""
import struct

DDSD_REQUIRED = 0x00081007  # caps, height, width, pixel format, linear size
DDPF_FOURCC = 0x4
DDSCAPS_TEXTURE = 0x1000
DDSCAPS_COMPLEX_MIPMAP = 0x400008
DDSCAPS2_CUBEMAP_ALL = 0xFE00

BLOCK_SIZE = {b"DXT1": 8, b"DXT3": 16, b"DXT5": 16}


def dds(width, height, code=b"DXT1", blocks=b"", *, signature=b"DDS ", size=124,
        flags=DDSD_REQUIRED, mipmaps=0, caps=DDSCAPS_TEXTURE, caps2=0):
    """A DDS file: signature, 124-byte header, then the given block bytes."""
    linear_size = len(blocks)
    header = struct.pack("<7I", size, flags, height, width, linear_size, 0, mipmaps)
    header += bytes(44)                                 # reserved words
    header += struct.pack("<2I", 32, DDPF_FOURCC) + code.ljust(4, b"\0")[:4]
    header += bytes(20)                                 # bit count and masks
    header += struct.pack("<4I", caps, caps2, 0, 0) + bytes(4)
    assert len(header) == 124
    return signature + header + blocks


def blocks_for(width, height, code):
    """How many bytes of blocks the top-level image of that size holds."""
    return ((width + 3) // 4) * ((height + 3) // 4) * BLOCK_SIZE[code]


def colour_part(c0, c1, rows):
    """A colour part: two 5:6:5 colours, then one index byte per row."""
    return struct.pack("<2H4B", c0, c1, *rows)


def index_row(*indices):
    """The index byte of one row, indices given left to right."""
    return sum(index << (2 * column) for column, index in enumerate(indices))


def tga(width, height, rows_bottom_up):
    """A 32-bit TGA file: header, rows as given, footer."""
    header = struct.pack("<3B2HB4H2B", 0, 0, 2, 0, 0, 0, 0, 0, width, height, 32, 8)
    footer = bytes(8) + b"TRUEVISION-XFILE.\0"
    return header + b"".join(rows_bottom_up) + footer


def pixels(*values):
    """Pixels given as 0xAARRGGBB, as TGA bytes."""
    return b"".join(struct.pack("<I", v) for v in values)
