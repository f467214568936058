#!/usr/bin/env python3
# Writes the small seed corpora of the fuzz targets into fuzz/seeds/<target>/;
# run again after changing it (the seeds are committed). Blob seeds keep their
# forks as stored (level 0) zlib streams, so they stay mostly readable text.
import hashlib
import os
import shutil
import struct
import zlib

SEEDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")


def blob(files, sections=(), digest=False):
    toc, area = b"TOC \n", b""
    for name, contents in files:
        data = zlib.compress(contents, 0)
        toc += b"FILE\n%s\n1\nALL_MAIN\n%d\n%d\n%d\n" % (name, len(area), len(data), len(contents))
        area += data
    body = toc + b"DATA\n" + area
    sections = list(sections) + ([(b"SHA ", hashlib.sha1(body).digest())] if digest else [])
    head = b"VantoriumBlob\n1\n%d\n" % len(sections)
    return head + b"".join(n + b"\n%d\n" % len(c) + c for n, c in sections) + body


def fork(compressed, uncompressed, data):  # blob_reader_fuzzer's one-fork mode
    return b"X" + struct.pack("<II", compressed, uncompressed) + data


COMPONENT = [(b"component/id", b"demo"), (b"component/version", b"3"),
             (b"component/title", b"Demo"), (b"component/description", b"Seed"),
             (b"component/prereq", b"1,BASE,2\n0,EXTRA,1\n"),
             (b"component/expose", b"bin/demo.dll,demo.dll\n"), (b"bin/demo.dll", b"payload\n")]
text, bomb = zlib.compress(b"component text\n" * 20, 9), zlib.compress(bytes(1 << 20), 9)
stored = zlib.compress(bytes(range(256)) * 16, 0)
SEED_FILES = {
    # Mode byte: "0" requires nothing and checks, "1" the digest, "4" skips.
    "blob_reader_fuzzer": {
        "component-skip": b"4" + blob(COMPONENT),
        "component-digest": b"1" + blob(COMPONENT, digest=True),
        "other-section": b"0" + blob([(b"a.txt", b"hello\n")], [(b"NOTE", b"text")]),
        "two-forks": b"4VantoriumBlob\n1\n0\nTOC \nFILE\nx\n2\nALL_MAIN\n0\n13\n2\n"
                     b"UNIX_EXECUTABLE\n0\n13\n2\nDATA\n" + zlib.compress(b"hi", 0),
        "fork-honest": fork(len(text), 300, text),
        "fork-bomb": fork(len(bomb), 5, bomb),  # 1 MiB of zeros announced as 5
        "fork-long-stream": fork(100, 4096, stored)},
    "index_reader_fuzzer": {
        "two-entries": b"component= BASE\n\tversion= 2\n\tinstalled_local= base.dll;b1.dll\n"
                       b"componentend\ncomponent= demo\n\tversion= 3\n"
                       b"\tinstalled_local= bin/demo.dll;bin/demo3C000000.dll\ncomponentend\n",
        "crlf-and-junk": b"junk\r\ncomponent=X\r\nVERSION = -7\r\ninstalled_local=;\r\n"
                         b"componentend\r\n\n\rlast",
        "cut-off": b"component= A\n\tversion= 1\n\tinstalled_lo"},
    # Piece size byte, prereq text, a zero byte, expose text.
    "descriptor_fuzzer": {
        "lists": b"\x03" b"1,BASE,2\r\n0, extra ,-1\n\n\0" b"bin/a.dll,a.dll\nb,c,d\n x , y \n",
        "bad-prereq": b"\x01" b"1,BASE\n\0",
        "no-expose": b"\x07" b"+12,id,99999999999"},
    "blob_list_fuzzer": {"three": b"C:\\blobs\\a.blob,b.blob,,d"},
    # Trouble byte: low three bits the level, the next two the kind of trouble.
    "directory_path_fuzzer": {
        "drive": b"\x00" b"C:\\A\\B\\", "slashes": b"\x00" b"C:/A//B",
        "network": b"\x00" b"\\\\SERVER\\SHARE\\DIR", "server-only": b"\x00" b"\\\\SERVER",
        "file-in-way": b"\x09" b"C:\\A\\B\\C", "create-fails": b"\x1a" b"C:\\A\\B\\C"},
}
shutil.rmtree(SEEDS, ignore_errors=True)
for target, seeds in SEED_FILES.items():
    os.makedirs(os.path.join(SEEDS, target))
    for name, data in seeds.items():
        with open(os.path.join(SEEDS, target, name), "wb") as f:
            f.write(data)
