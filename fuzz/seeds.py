#!/usr/bin/env python3
"""Writes the starting corpora of the fuzz targets into fuzz/corpus/<target>/.

Archives come from the test fixtures and from small archives made by the
built kvx (build/kvx) and by the peers zip, arj and tar; the decoder seeds
are the member streams cut out of those archives, each behind the header its
target reads. Run from the repository after building: fuzz/seeds.py
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")
FIXTURES = os.path.join(ROOT, "tests", "fixtures")
KVX = os.path.join(ROOT, "build", "kvx")
LARGEST_SEED = 40000  # bytes; larger fixtures are left out
LARGEST_STREAM = 16000  # bytes of a Deflate stream taken as a seed

WALK_REPAIR, WALK_DETECT = 0x01, 0x02
ROUND_NARROW, ROUND_BLOCK, ROUND_MEMORY, ROUND_EXPAND = 0x08, 0x10, 0x20, 0x40


def put(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def samples():
    text = b"".join(b"the %d archive member of the window, length %d\n" % (i, i * 7) for i in range(60))
    binary = b"".join(struct.pack("<I", (i * 2654435761) & 0xFFFFFFFF >> (i % 7)) for i in range(500))
    return {
        "empty": b"",
        "byte": b"x",
        "text": text,
        "crlf": text.replace(b"\n", b"\r\n")[:800],
        "binary": binary,
        "runs": b"a" * 700 + b"b" * 300 + bytes(range(256)),
        "random": random.Random(1).randbytes(1500),
    }


def walk_seed(target, name, archive):
    put(target, name, bytes([WALK_REPAIR]) + archive)


def kvx_run(folder, *args, answers=b""):
    subprocess.run([KVX, *args, "-len", "-y"], cwd=folder, input=answers, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)


# ---- member streams of the own format ----

def kvn_members(archive):
    """(flags, unpacked, packed, stream) of each member, in order; blocked flag."""
    start = archive.find(b"\xffKVG")
    flags = struct.unpack(">H", archive[start + 4:start + 6])[0]
    at = start + 6
    if flags & 0x0300:
        at += 4 + struct.unpack(">I", archive[at:at + 4])[0]
    members = []
    while archive[at:at + 4] == b"\xffKVX":
        length = struct.unpack(">H", archive[at + 4:at + 6])[0]
        body = archive[at + 6:at + 6 + length]
        entry_flags = struct.unpack(">H", body[0:2])[0]
        pos = body.index(b"\0", 8) + 1 + (4 if entry_flags & 0x0008 else 0)
        unpacked, packed = struct.unpack(">II", body[pos:pos + 8])
        data_at = at + length + 10
        members.append((entry_flags, unpacked, packed, archive[data_at:data_at + packed]))
        at = data_at + packed
    return members, bool(flags & 0x0001)


def method_target(entry_flags):
    if entry_flags & 0x0800:
        return None
    if entry_flags & 0x8000:
        return "five_unpack"
    if entry_flags & 0x4000:
        return "high_unpack"
    return "default_unpack"


def unpack_seed(target, name, unpacked, stream, first=None):
    block = first is not None
    head = bytes([1 if block else 0]) + struct.pack("<I", unpacked)[:3] + struct.pack("<H", first or 0)
    put(target, name, head + stream)


def own_format(work):
    for name, data in samples().items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(work, "dir", "sub"), exist_ok=True)
    with open(os.path.join(work, "dir", "sub", "note"), "wb") as f:
        f.write(b"note\n")
    with open(os.path.join(work, "comment"), "wb") as f:
        f.write(b"an archive comment\n")
    files = ["text", "binary", "empty", "runs"]
    runs = {
        "default": [], "best": ["-+"], "fast": ["-+4"], "narrow": ["-jc"], "high": ["-++"],
        "high3": ["-++3"], "high5": ["-++5"], "five": ["-5"], "block": ["-b"], "block_high": ["-b", "-++"],
        "block_five": ["-b", "-5"], "text": ["-jt"], "tree": ["-r"], "comment": ["-c@comment"],
    }
    for tag, switches in runs.items():
        archive = os.path.join(work, tag + ".kvn")
        kvx_run(work, "a", *switches, archive, *(files + (["dir"] if tag == "tree" else [])))
        if not os.path.exists(archive):
            sys.exit("seeds: kvx made no " + tag + ".kvn")
        data = read(archive)
        walk_seed("kvn_walk", tag, data)
        members, blocked = kvn_members(data)
        coded = [m for m in members if method_target(m[0]) and m[2] > 0]
        for i, (entry_flags, unpacked, packed, stream) in enumerate(coded):
            unpack_seed(method_target(entry_flags), "%s_%d" % (tag, i), unpacked, stream)
        if blocked and len(coded) >= 2:
            (f0, u0, p0, s0), (_, u1, _, s1) = coded[0], coded[1]
            unpack_seed(method_target(f0), tag + "_pair", max(u0, u1), s0 + s1, first=p0)
    long_codes(work)
    walk_seed("kvn_walk", "program_before", b"\x7fELF" + bytes(300) + read(os.path.join(work, "default.kvn")))
    put("kvn_walk", "detect", bytes([WALK_REPAIR | WALK_DETECT]) + read(os.path.join(work, "default.kvn")))
    volumes = os.path.join(work, "vol.kvn")
    kvx_run(work, "a", "-v1500", volumes, "text", "binary", "runs", answers=b"y\n" * 20)
    for name in sorted(os.listdir(work)):
        if name.startswith("vol."):
            walk_seed("kvn_walk", name.replace(".", "_"), read(os.path.join(work, name)))
    older = os.path.join(work, "older.kvx")
    kvx_run(work, "a", older, *files)
    walk_seed("kvx_walk", "members", read(older))
    kvx_run(work, "a", "-+4", os.path.join(work, "fast.kvx"), "text", "crlf")
    walk_seed("kvx_walk", "fast", read(os.path.join(work, "fast.kvx")))


def long_codes(work):
    """A member whose character code has codes longer than the decoder's
    lookup table: byte k occurs about 2^(13-k) times, in shuffled order so
    that few matches form."""
    data = bytearray()
    for k in range(16):
        data += bytes([65 + k]) * (1 << max(0, 13 - k))
    random.Random(2).shuffle(data)
    with open(os.path.join(work, "skewed"), "wb") as f:
        f.write(data)
    archive = os.path.join(work, "skewed.kvn")
    kvx_run(work, "a", archive, "skewed")
    members, _ = kvn_members(read(archive))
    flags, unpacked, _, stream = members[0]
    unpack_seed(method_target(flags), "long_codes", unpacked, stream)


# ---- peers and fixtures ----

def small_fixtures(kind, largest=LARGEST_SEED):
    folder = os.path.join(FIXTURES, kind)
    for name in sorted(os.listdir(folder)):
        data = read(os.path.join(folder, name))
        if len(data) <= largest:
            yield name.replace(".", "_"), data


def zip_members(archive):
    at = 0
    while True:
        at = archive.find(b"PK\x03\x04", at)
        if at < 0:
            return
        method, = struct.unpack("<H", archive[at + 8:at + 10])
        packed, unpacked = struct.unpack("<II", archive[at + 18:at + 26])
        name_len, extra_len = struct.unpack("<HH", archive[at + 26:at + 30])
        data_at = at + 30 + name_len + extra_len
        if method == 8 and packed:
            yield unpacked, archive[data_at:data_at + packed]
        at = data_at


def inflate_seed(name, unpacked, stream):
    put("inflate", name, struct.pack("<I", unpacked)[:3] + stream)


def peers(work):
    for name, data in small_fixtures("zip", 1 << 30):
        if len(data) <= LARGEST_SEED:
            walk_seed("zip_walk", name, data)
        for i, (unpacked, stream) in enumerate(zip_members(data)):
            if len(stream) <= LARGEST_STREAM:
                inflate_seed("%s_%d" % (name, i), unpacked, stream)
    for name, data in small_fixtures("arj", 12000):
        walk_seed("arj_walk", name, data)
    for name, data in small_fixtures("tar"):
        walk_seed("tar_walk", name, data)
    for level in (1, 6, 9):
        for name, data in samples().items():
            stream = zlib.compress(data, level)[2:-4]
            inflate_seed("%s_%d" % (name, level), len(data), stream)
    for switches in (["-0"], ["-9"], ["-r", "-1"]):
        archive = os.path.join(work, "p%s.zip" % switches[-1])
        subprocess.run(["zip", "-q", *switches, archive, "text", "runs", "empty", "dir"], cwd=work, check=True)
        walk_seed("zip_walk", os.path.basename(archive).replace(".", "_"), read(archive))
    subprocess.run(["tar", "--format=gnu", "-cf", "t.tar", "text", "dir"], cwd=work, check=True)
    walk_seed("tar_walk", "made_gnu", read(os.path.join(work, "t.tar")))
    put("tar_walk", "made_detect", bytes([WALK_REPAIR | WALK_DETECT]) + read(os.path.join(work, "t.tar")))
    if shutil.which("arj"):
        for method in ("0", "1", "2", "3", "4"):
            archive = os.path.join(work, "m%s.arj" % method)
            subprocess.run(["arj", "a", "-m" + method, "-y", archive, "text", "runs"], cwd=work,
                           stdout=subprocess.DEVNULL, check=True)
            walk_seed("arj_walk", "made_m" + method, read(archive))


# ---- round trips and the command line ----

def round_trips():
    data = samples()
    for target, choices in (("default_round_trip", (0, 1, 2, 3, 4, ROUND_NARROW | 4, ROUND_BLOCK, ROUND_MEMORY)),
                            ("high_round_trip", (0, 1, 2, ROUND_BLOCK | 1)),
                            ("five_round_trip", (0, ROUND_BLOCK))):
        for choice in choices:
            for name in ("text", "binary", "runs", "byte", "empty"):
                bytes_ = data[name]
                split = len(bytes_) // 3
                put(target, "%s_%02x" % (name, choice), bytes([choice]) + struct.pack("<I", split)[:3] + bytes_)
        # Repeated to fill the models' budgets (and, in block mode, split late).
        for choice in (ROUND_EXPAND, ROUND_EXPAND | ROUND_BLOCK):
            for name in ("text", "random"):
                put(target, "expanded_%s_%02x" % (name, choice),
                    bytes([choice]) + struct.pack("<I", 300000)[:3] + data[name])


def command_lines():
    lines = {
        "names": b"one.txt two.txt\n\"three four\"\n--dash",
        "switches": b"-r -+ -jt -e*.o -otarget/ -wwork -v1440k -q -y -len",
        "methods": b"-++5 -5 -b -d -jc -jm -s -z -m -k -n -u -f -t -a -S",
        "comments": b"-c@notes.txt -cg -cl -cs -g1 -ikvx -iarj -izip -itar -/ -p",
        "nested": b"-r\n@r\nname",
        "missing": b"@no-such-file -x",
        "empty_names": b"-o -w -e -lru -hr",
    }
    for name, text in lines.items():
        put("cmdline", name, b"\x00" + text)
        put("cmdline", name + "_options", b"\x01" + text)


def main():
    if not os.path.exists(KVX):
        sys.exit("seeds: build kvx first (build/kvx)")
    with tempfile.TemporaryDirectory() as work:
        own_format(work)
        peers(work)
    round_trips()
    command_lines()


if __name__ == "__main__":
    main()
