#!/usr/bin/env python3
"""Writes the archives of the bench into DIR:

  original.pak        SIZE_MIB MiB exactly, 2000 members, data in directory order
  SHAPE.pak           the update archive of each update shape:
                        front   replaces the first 250 members (SIZE_MIB / 8 MiB)
                        late    replaces 3 members near the end (one named in
                                another case) and adds 2 new ones
                        append  adds 8 new members and replaces none
  SHAPE.expected.pak  what the update must leave in place of original.pak

The content is seeded pseudo-random, so every run measures the same bytes.
"""
import random
import struct
import sys

MIB = 1 << 20
HEADER_SIZE = 12
ENTRY_SIZE = 64
NAME_SIZE = 56
OUTPUT_DIRECTORY_ENTRIES = 4096
ORIGINAL_MEMBERS = 2000
FRONT_MEMBERS = 250


def member_lengths(rng, count, total):
    # Uneven sizes, as in a game archive: a few large maps among small files.
    weights = [rng.paretovariate(1.2) for _ in range(count)]
    scale = total / sum(weights)
    lengths = [max(1, int(w * scale)) for w in weights]
    lengths[-1] += total - sum(lengths)
    if lengths[-1] < 1:
        raise SystemExit("member sizes do not fit the archive size")
    return lengths


def vary_case(rng, name):
    flipped = name
    while flipped.lower() == flipped:
        flipped = "".join(c.upper() if rng.random() < 0.5 else c for c in name)
    return flipped


def write_archive(path, members, directory_entries=None):
    """members: list of (name, data) written back to back after the header."""
    entries = []
    with open(path, "wb") as out:
        out.write(b"\0" * HEADER_SIZE)
        offset = HEADER_SIZE
        for name, data in members:
            out.write(data)
            entries.append((name, offset, len(data)))
            offset += len(data)
        live = len(entries)
        slots = directory_entries if directory_entries is not None else live
        for name, member_offset, length in entries:
            encoded = name.encode("ascii")
            assert len(encoded) < NAME_SIZE
            out.write(struct.pack("<56sii", encoded, member_offset, length))
        out.write(b"\0" * (ENTRY_SIZE * (slots - live)))
        out.seek(0)
        out.write(struct.pack("<4sii", b"PACK", offset, ENTRY_SIZE * live))


def original_names():
    names = []
    for i in range(ORIGINAL_MEMBERS):
        kind = i % 4
        if kind == 0:
            names.append(f"maps/e{i // 400 + 1}m{i % 400:03d}.bsp")
        elif kind == 1:
            names.append(f"textures/e{i % 3 + 1}u{i % 7}/wall_{i:04d}.wal")
        elif kind == 2:
            names.append(f"sound/world/ambient_{i:04d}.wav")
        else:
            names.append(f"models/items/pickup_{i:04d}/tris.md2")
    return names


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: make_archives.py DIR SIZE_MIB")
    directory, size_mib = sys.argv[1], int(sys.argv[2])
    if size_mib < 8 or size_mib % 8:
        raise SystemExit("SIZE_MIB must be a positive multiple of 8")
    rng = random.Random(20240511)

    names = original_names()
    original_data = size_mib * MIB - HEADER_SIZE - ENTRY_SIZE * ORIGINAL_MEMBERS
    original = [(name, rng.randbytes(length))
                for name, length in zip(names, member_lengths(rng, ORIGINAL_MEMBERS, original_data))]
    write_archive(f"{directory}/original.pak", original)

    front_data = size_mib * MIB // 8 - HEADER_SIZE - ENTRY_SIZE * FRONT_MEMBERS
    front_names = [vary_case(rng, name) if i % 2 else name for i, name in enumerate(names[:FRONT_MEMBERS])]
    late_names = [names[-10], vary_case(rng, names[-6]), names[-3], "maps/new/late_a.bsp", "maps/new/late_b.bsp"]
    shapes = {
        "front": list(zip(front_names, member_lengths(rng, FRONT_MEMBERS, front_data))),
        "late": [(name, rng.randrange(20_000, 400_000)) for name in late_names],
        "append": [(f"maps/new/extra_{i}.bsp", rng.randrange(20_000, 400_000)) for i in range(8)],
    }
    for shape, members in shapes.items():
        update = [(name, rng.randbytes(length)) for name, length in members]
        replaced = {name.lower() for name, _ in update}
        kept = [(name, data) for name, data in original if name.lower() not in replaced]
        write_archive(f"{directory}/{shape}.pak", update)
        write_archive(f"{directory}/{shape}.expected.pak", kept + update, OUTPUT_DIRECTORY_ENTRIES)


if __name__ == "__main__":
    main()
