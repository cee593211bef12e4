"""The stored files beside the executable: what a save killed part-way left there is gone after
the next start, and nothing else is touched."""

import os
import struct

import harness
from harness import check, check_equal


def one_entry_cache():
    key = b"C:\\data\\file.bin"
    return (struct.pack("<QQ", 1, len(key)) + key + struct.pack("<qQ", 5, 132000000000000000)
            + b"a" * 64)


def test_start_removes_the_temporaries_of_killed_saves():
    inst = harness.Installation("stale_temporaries")
    inst.write("hash_cache.bin", one_entry_cache(), "wb")
    # As a save of an earlier build or of this one, killed while it wrote, leaves them.
    stale = ["hash_cache.bin.tmp-1702201100123-0", "hash_cache.bin.tmp-2113405187-3",
             "hashes.bin.tmp-17-0"]
    for name in stale:
        inst.write(name, b"\0" * 100000, "wb")
    # Names that only look alike belong to someone else.
    others = ["hash_cache.bin.tmp-old", "hash_cache.bin.tmp-1.bak", "hash_cache.bin.bak",
              "notes.txt.tmp-1", "hashes.bin.tmp-"]
    for name in others:
        inst.write(name, "kept")
    before = set(os.listdir(inst.folder))

    result = inst.run("5\n")
    check_equal(result.returncode, 0, "exit status", result)
    check(result.stdout.startswith("[INFO] Hash cache loaded: 1 entries.\n"),
          "the old cache is loaded as it was", result)
    after = set(os.listdir(inst.folder))
    check_equal("\n".join(sorted(after - {"scan_log.txt"})),
                "\n".join(sorted(before - set(stale))), "only the temporaries are gone", result)
    for name in others:
        check_equal(inst.read(name), "kept", name + " is untouched", result)


if __name__ == "__main__":
    harness.main([test_start_removes_the_temporaries_of_killed_saves])
