#!/usr/bin/env python3
"""Makes the tar archives the tar tests read: the same small book written by GNU tar in each
of its formats and by Python's tarfile, each with a manifest (name, type, size, link target as
Python's tarfile reads them back). Run it from this folder; the results are committed."""
import os
import shutil
import subprocess
import tarfile
import tempfile

SHORT = [
    ("book/page001.jpg", 3000),
    ("book/page002.bmp", 512),
    ("book/page003.png", 1),
    ("book/empty.txt", 0),
    ("book/notes.nfo", 511),
    ("book/sub/page004.gif", 513),
]
PREFIXED = [("book/" + "a" * 60 + "/" + "b" * 60 + "/page005.jpg", 700)]  # fits ustar's prefix split
LONG = [("book/" + "c" * 90 + "/" + "d" * 90 + "/" + "e" * 90 + "/page006.jpg", 1024)]
NON_ASCII = [("book/str\u00e1nka007.jpg", 100)]
MTIME = 1700000000


def content(name, size):
    """The bytes of a member: its name and a bar, repeated and cut to size (the tests agree)."""
    unit = (name + "|").encode("utf-8")
    return (unit * (size // len(unit) + 1))[:size]


def make_tree(root, members):
    for name, size in members:
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content(name, size))
    os.symlink("page001.jpg", os.path.join(root, "book/link.jpg"))
    os.link(os.path.join(root, "book/page001.jpg"), os.path.join(root, "book/zhard.jpg"))
    for dirpath, dirnames, filenames in os.walk(root):
        for n in dirnames + filenames:
            os.utime(os.path.join(dirpath, n), (MTIME, MTIME), follow_symlinks=False)


def manifest(archive):
    with tarfile.open(archive) as t, open(archive + ".txt", "w", encoding="utf-8") as out:
        for m in t.getmembers():
            out.write("%s\t%s\t%d\t%s\n" % (m.name, (m.type or b"0").replace(b"\0", b"0").decode("ascii"), m.size, m.linkname))


def gnu_tar(fmt, members, out):
    with tempfile.TemporaryDirectory() as root:
        make_tree(root, members)
        subprocess.run(["tar", "--format=" + fmt, "-b", "1", "--sort=name", "--owner=0", "--group=0",
                        "--numeric-owner", "--mtime=@%d" % MTIME]
                       + (["--pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime"]
                          if fmt == "posix" else [])
                       + ["-C", root, "-cf", os.path.abspath(out), "book"], check=True)
    manifest(out)


def python_tar(fmt, members, out):
    with tempfile.TemporaryDirectory() as root:
        make_tree(root, members)
        with tarfile.open(out, "w", format=fmt) as t:
            for dirpath, dirnames, filenames in sorted(os.walk(os.path.join(root, "book"))):
                dirnames.sort()
                rel = os.path.relpath(dirpath, root)
                t.add(dirpath, arcname=rel, recursive=False)
                for n in sorted(filenames):
                    t.add(os.path.join(dirpath, n), arcname=os.path.join(rel, n), recursive=False)
    manifest(out)


if __name__ == "__main__":
    everything = SHORT + PREFIXED + LONG + NON_ASCII
    gnu_tar("gnu", everything, "gnu.tar")
    gnu_tar("oldgnu", everything, "oldgnu.tar")
    gnu_tar("posix", everything, "posix.tar")
    gnu_tar("ustar", SHORT + PREFIXED + NON_ASCII, "ustar.tar")
    gnu_tar("v7", SHORT + NON_ASCII, "v7.tar")
    python_tar(tarfile.GNU_FORMAT, everything, "py-gnu.tar")
    python_tar(tarfile.PAX_FORMAT, everything, "py-pax.tar")
    python_tar(tarfile.USTAR_FORMAT, SHORT + PREFIXED, "py-ustar.tar")
