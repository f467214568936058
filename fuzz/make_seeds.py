#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets into fuzz/seeds/<target>/.

Run again after changing it; the seeds are committed. Blob seeds keep their
forks as stored (level 0) zlib streams, so they stay mostly readable text.
"""
import hashlib
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    directory = os.path.join(HERE, "seeds", target)
    os.makedirs(directory, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def blob(files, sections=None, digest=False):
    """A blob of (name, contents) files, each one ALL_MAIN fork."""
    toc, area = b"TOC \n", b""
    for name, contents in files:
        data = zlib.compress(contents.encode("latin-1"), 0)
        toc += b"FILE\n%s\n1\nALL_MAIN\n%d\n%d\n%d\n" % (
            name.encode("latin-1"), len(area), len(data), len(contents))
        area += data
    body = toc + b"DATA\n" + area
    sections = list(sections or [])
    if digest:
        sections.append((b"SHA ", hashlib.sha1(body).digest()))
    head = b"VantoriumBlob\n1\n%d\n" % len(sections)
    for name, content in sections:
        head += name + b"\n%d\n" % len(content) + content
    return head + body


COMPONENT = [
    ("component/id", "demo"),
    ("component/version", "3"),
    ("component/title", "Demo component"),
    ("component/description", "A component for the seeds"),
    ("component/prereq", "1,BASE,2\n0,EXTRA,1\n"),
    ("component/expose", "bin/demo.dll,demo.dll\n"),
    ("bin/demo.dll", "payload bytes\n"),
]

# Mode byte: "0" requires nothing and checks; "4" skips the checks.
write("blob_reader_fuzzer", "component-skip", b"4" + blob(COMPONENT))
write("blob_reader_fuzzer", "component-digest", b"1" + blob(COMPONENT, digest=True))
write("blob_reader_fuzzer", "other-section",
      b"0" + blob([("a.txt", "hello\n")], sections=[(b"NOTE", b"text")]))
write("blob_reader_fuzzer", "no-files", b"0" + blob([]))
write("blob_reader_fuzzer", "two-forks",
      b"4VantoriumBlob\n1\n0\nTOC \nFILE\nx\n2\nALL_MAIN\n0\n13\n2\n"
      b"UNIX_EXECUTABLE\n0\n13\n2\nDATA\n" + zlib.compress(b"hi", 0))


def fork(compressed, uncompressed, data):
    """blob_extract_fuzzer input: recorded sizes (32-bit LE each), fork data."""
    return struct.pack("<II", compressed, uncompressed) + data


text = zlib.compress(b"component text\n" * 20, 9)
write("blob_extract_fuzzer", "honest", fork(len(text), 300, text))
write("blob_extract_fuzzer", "empty", fork(8, 0, zlib.compress(b"")))
# 1 MiB of zeros in about 1 KiB, announced as 5 bytes.
bomb = zlib.compress(bytes(1 << 20), 9)
write("blob_extract_fuzzer", "bomb", fork(len(bomb), 5, bomb))
# A stream that runs past its recorded compressed size.
stored = zlib.compress(bytes(range(256)) * 16, 0)
write("blob_extract_fuzzer", "long-stream", fork(100, 4096, stored))

write("index_reader_fuzzer", "two-entries",
      "component= BASE\n\tversion= 2\n\tinstalled_local= base.dll;base0001.dll\n"
      "componentend\ncomponent= demo\n\tversion= 3\n"
      "\tinstalled_local= bin/demo.dll;bin/demo3C000000.dll\n"
      "\tinstalled_local= demo.dll\ncomponentend\n")
write("index_reader_fuzzer", "crlf-and-junk",
      "junk line\r\ncomponent=X\r\nVERSION = -7\r\ninstalled_local=;\r\ncomponentend\r\n")
write("index_reader_fuzzer", "cut-off", "component= A\n\tversion= 1\n\tinstalled_lo")

# Piece size byte, prereq text, a zero byte, expose text.
write("descriptor_fuzzer", "lists",
      "\x03" "1,BASE,2\r\n0, extra ,-1\n\n" "\0" "bin/a.dll,a.dll\nb,c,d\n x , y \n")
write("descriptor_fuzzer", "bad-prereq", "\x01" "1,BASE\n" "\0" "")
write("descriptor_fuzzer", "no-expose", "\x07" "+12,id,99999999999")

write("blob_list_fuzzer", "three", "C:\\blobs\\a.blob,b.blob,,d")
write("blob_list_fuzzer", "one", "C:\\Program Files\\Vantorium\\core.blob")

# Trouble byte: low three bits the level, the next two the kind of trouble.
write("directory_path_fuzzer", "drive", "\x00" "C:\\A\\B\\")
write("directory_path_fuzzer", "slashes", "\x00" "C:/A//B")
write("directory_path_fuzzer", "network", "\x00" "\\\\SERVER\\SHARE\\DIR")
write("directory_path_fuzzer", "file-in-way", "\x09" "C:\\A\\B\\C")
write("directory_path_fuzzer", "create-fails", "\x1a" "C:\\A\\B\\C")
write("directory_path_fuzzer", "server-only", "\x00" "\\\\SERVER")

write("read_line_fuzzer", "ends", "lf\ncr\rcrlf\r\nlfcr\n\rlast")
write("read_line_fuzzer", "blank", "\n\n\r\r\n\n")
