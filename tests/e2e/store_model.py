"""A plain model of what chunkstore does with the files it is sent, written
from the definitions of the chunker, the digest and the store file and
sharing no code with the server: where chunks end (the CRC-32 of the last 12
bytes, computed afresh at every position), each chunk's digest (its bytes
folded into a 64-byte block, compressed with MD5's compression function every
63 bytes and once at the end), and the store file (a header, then every new
chunk once, padded with copies of its last byte to a multiple of 64). Tests
predict the records and the exact store bytes with it."""
import struct
import zlib

HEADER = b"\xcc" * 64
THRESHOLD = 27356479  # floor(2^32 / 157)
MIN_CHUNK, MAX_CHUNK = 100, 65535
# Filler after the last byte b is b+1, b+2, ... wrapping at 255: a slice of
# this at b+1.
_CYCLE = bytes(range(256)) * (MAX_CHUNK // 256 + 2)

_S = [7, 12, 17, 22] * 4 + [5, 9, 14, 20] * 4 + [4, 11, 16, 23] * 4 + [6, 10, 15, 21] * 4
_K = [int(abs(__import__("math").sin(i + 1)) * 2 ** 32) & 0xFFFFFFFF for i in range(64)]
_IV = (0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476)


def md5_compress(block):
    """MD5's compression function over one 64-byte block from the initial
    chaining values, feed-forward included; no padding, no length."""
    x = struct.unpack("<16I", block)
    a, b, c, d = _IV
    for i in range(64):
        if i < 16:
            f, g = (b & c) | (~b & d), i
        elif i < 32:
            f, g = (d & b) | (~d & c), (5 * i + 1) % 16
        elif i < 48:
            f, g = b ^ c ^ d, (3 * i + 5) % 16
        else:
            f, g = c ^ (b | ~d), (7 * i) % 16
        t = (a + f + _K[i] + x[g]) & 0xFFFFFFFF
        a, d, c = d, c, b
        b = (b + ((t << _S[i]) | (t >> (32 - _S[i])))) & 0xFFFFFFFF
    return [(v + w) & 0xFFFFFFFF for v, w in zip((a, b, c, d), _IV)]


def _compress_block(block):
    h = md5_compress(bytes(block))
    words = struct.unpack_from("<4I", block)
    struct.pack_into("<4I", block, 0, *(w ^ v for w, v in zip(words, h)))
    block[63] = 0


def digest(chunk):
    """The 14 digest bytes of a chunk's full bytes."""
    block = bytearray(64)
    i = 0
    while True:
        seg = chunk[i:i + 63]
        m = len(seg)
        mixed = int.from_bytes(block[:m], "little") ^ int.from_bytes(seg, "little")
        block[:m] = mixed.to_bytes(m, "little")
        block[63] = m
        i += 63
        if i >= len(chunk):
            break
        _compress_block(block)  # the next byte would find the fold count at 63
    _compress_block(block)
    return bytes(block[:14])


def cut(data):
    """Cuts one file as a store pass does: a list of (full bytes, real
    length), the last chunk completed with filler."""
    last = data[-1] if data else 0
    buf = memoryview(bytes(data) + _CYCLE[(last + 1) & 255:][:MAX_CHUNK + 1])
    crc = zlib.crc32
    n = len(data)
    out, start = [], 0
    while True:
        p = start + MIN_CHUNK - 1
        limit = start + MAX_CHUNK - 1
        while p < limit and crc(buf[p - 11:p + 1]) >= THRESHOLD:
            p += 1
        end = p + 1
        full = bytes(buf[start:end])
        if end > n:
            out.append((full, max(0, n - start)))
            return out
        out.append((full, len(full)))
        start = end


def record(dig, real, offset):
    return dig + struct.pack("<HIB", real, offset & 0xFFFFFFFF, offset >> 32)


def padded(full):
    return full + full[-1:] * (-len(full) % 64)


class StoreModel:
    """The store file and index of one server, from an empty store on."""

    def __init__(self):
        self.image = bytearray()
        self.index = {}  # full chunk bytes -> ChunkOffset
        self.ends = [0]  # store sizes at which an appended chunk ends
        self._digests = {}
        self._cuts = {}

    def _cut(self, data):
        """cut(), remembered: tests send the same files again and again."""
        data = bytes(data)
        c = self._cuts.get(data)
        if c is None:
            c = self._cuts[data] = cut(data)
        return c

    def _digest(self, full):
        d = self._digests.get(full)
        if d is None:
            d = self._digests[full] = digest(full)
        return d

    def store(self, data):
        """Stores one file; returns its records, concatenated."""
        if not self.image:
            self.image += HEADER
            self.ends.append(len(self.image))
        recs = []
        for full, real in self._cut(data):
            off = self.index.get(full)
            if off is None:
                self.image += bytes(-len(self.image) % 64)
                off = self.index[full] = len(self.image) // 64
                self.image += padded(full)
                self.ends.append(len(self.image))
            recs.append(record(self._digest(full), real, off))
        return b"".join(recs)

    def copy(self):
        m = StoreModel()
        m.image, m.index, m.ends = bytearray(self.image), dict(self.index), list(self.ends)
        m._digests, m._cuts = self._digests, self._cuts
        return m

    def cut_back(self, size):
        """Forgets every chunk appended after the store had `size` bytes, as
        if the server had stopped there; `size` must end an appended chunk."""
        if size not in self.ends:
            raise AssertionError("a store of %d bytes does not end where a chunk ends" % size)
        del self.image[size:]
        self.index = {k: v for k, v in self.index.items() if v * 64 < size}
        self.ends = [e for e in self.ends if e <= size]


def full_length(real, last_before=0):
    """The full length of the chunk that holds the bytes `real` (all of a
    chunk's real bytes, from its start): the real length itself for a chunk
    that ends on its own, or with the filler after them for the last chunk
    of a file. `last_before` is the byte fed before the chunk, which starts
    the filler of a chunk without real bytes."""
    last = real[-1] if real else last_before
    buf = memoryview(bytes(real) + _CYCLE[(last + 1) & 255:][:MAX_CHUNK + 1])
    p = MIN_CHUNK - 1
    while p < MAX_CHUNK - 1 and zlib.crc32(buf[p - 11:p + 1]) >= THRESHOLD:
        p += 1
    return p + 1
