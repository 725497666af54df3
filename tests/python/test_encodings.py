"""Encodings through the public functions: mixed UTF-8 and cp1252, marks that
contradict their body, UTF-16 without a mark, Python's codec names, and the
same text from a file, a pipe and any window size."""

import os
import random
import subprocess
import sys
import threading

import pytest

import csv_gleave

JOSE = "José"


def repair(data, tmp_path, pipe=False, **kwargs):
    """(output text, summary) of repairing `data` from a file or a pipe."""
    out = tmp_path / "out.csv"
    if not pipe:
        src = tmp_path / "in.csv"
        src.write_bytes(data)
        summary = csv_gleave.gleave_file(str(src), str(out), **kwargs)
    else:
        r, w = os.pipe()
        writer = threading.Thread(target=lambda: (os.write(w, data) if data else None, os.close(w)))
        writer.start()
        try:
            summary = csv_gleave.gleave_file(r, str(out), **kwargs)
        finally:
            writer.join()
            os.close(r)
    return out.read_bytes().decode("utf-8"), summary


UTF8_ROWS = "".join(f"{i},{JOSE}\n" for i in range(30)).encode()
CJK_ROWS = "名前,都市\n山田,東京\n田中,大阪\n鈴木,京都\n"


@pytest.mark.parametrize("data, encoding, text, fallback", [
    # A UTF-8 file with one cp1252 line keeps both.
    (b"id,name\n" + UTF8_ROWS + "99,José\n".encode("cp1252"), "utf-8",
     "id,name\n" + UTF8_ROWS.decode() + "99,José\n", 1),
    (b"id,name\n" + "1,Zoë\n".encode() + "2,Müller “x”\n".encode("cp1252"), "utf-8",
     "id,name\n1,Zoë\n2,Müller “x”\n", 3),
    # cp1252 throughout stays cp1252, with nothing counted.
    ("id,name\n1,Müller\n2,Zoë\n3,€5\n".encode("cp1252"), "cp1252", "id,name\n1,Müller\n2,Zoë\n3,€5\n", 0),
    # A UTF-16 mark over a UTF-8 body is text, counted and kept.
    (b"\xff\xfea,b\n1,2\n", "utf-8", "ÿþa,b\n1,2\n", 2),
    (b"\xfe\xffa,b\n1," + JOSE.encode() + b"\n", "utf-8", "þÿa,b\n1,José\n", 2),
    # UTF-16 without a mark, CJK text (no NUL but in its ASCII).
    (CJK_ROWS.encode("utf-16-le"), "utf-16le", CJK_ROWS, 0),
    (CJK_ROWS.encode("utf-16-be"), "utf-16be", CJK_ROWS, 0),
], ids=["utf8_one_cp1252_line", "utf8_cp1252_line_of_four", "cp1252", "ff_fe_over_utf8", "fe_ff_over_utf8",
        "utf16le_cjk", "utf16be_cjk"])
@pytest.mark.parametrize("pipe", [False, True], ids=["file", "pipe"])
def test_mixed_and_marked_inputs(tmp_path, data, encoding, text, fallback, pipe):
    got, summary = repair(data, tmp_path, pipe=pipe)
    assert (got, summary.encoding, summary.fallback_bytes, summary.replaced_bytes) == (text, encoding, fallback, 0)
    assert summary.to_dict()["fallback_bytes"] == fallback


def test_cli_warns_with_the_count(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"id,name\n" + UTF8_ROWS + "99,José\n".encode("cp1252"))
    done = subprocess.run([sys.executable, "-m", "csv_gleave", "repair", "in.csv", "-o", "out.csv", "--json"],
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0
    assert "1 byte of the UTF-8 input was not UTF-8" in done.stderr
    assert '"fallback_bytes": 1' in done.stdout


@pytest.mark.parametrize("name, text", [
    ("utf-16-le", "a,b\nx,é\n"), ("utf_16_le", "a,b\nx,é\n"), ("utf_32", "a,b\nx,é\n"),
    ("euc_jp", "a,b\nx,あ\n"), ("koi8_r", "a,b\nx,ж\n"), ("mac_roman", "a,b\nx,é\n"),
    ("mac-roman", "a,b\nx,é\n"), ("latin_1", "a,b\nx,é\n"), ("u8", "a,b\nx,é\n"), ("shift_jis", "a,b\nx,あ\n"),
])
def test_python_codec_names_are_accepted_everywhere(tmp_path, name, text):
    data = text.encode(name)
    got, _ = repair(data, tmp_path, encoding=name)
    assert got == text
    assert [list(row) for row in csv_gleave.open(str(tmp_path / "in.csv"), encoding=name)] == [["a", "b"], ["x", text[6]]]
    assert csv_gleave.detect(str(tmp_path / "in.csv"), encoding=name).delimiter == ","


def test_unknown_codec_names_are_still_refused(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a\n")
    with pytest.raises(LookupError, match="no-such-codec"):
        csv_gleave.gleave_file(str(tmp_path / "in.csv"), str(tmp_path / "o.csv"), encoding="no-such-codec")


TOKENS = ["a", "Zz", " ", JOSE, "€", "😀"]
RAW_TOKENS = [b"\xe9", b"\x93", b"\xff", b"\xe2\x82", b"\xc3", b"\x81"]


WINDOWS_SCRIPT = r"""
import os, sys, threading, csv_gleave
for path in sys.argv[1:]:
    out = path + ".w"
    s = csv_gleave.gleave_file(path, out)
    r, w = os.pipe()
    data = open(path, "rb").read()
    t = threading.Thread(target=lambda: (os.write(w, data), os.close(w)))
    t.start()
    p = csv_gleave.gleave_file(r, path + ".p")
    t.join(); os.close(r)
    print(s.encoding, s.fallback_bytes, p.encoding, p.fallback_bytes)
"""


def test_any_window_gives_the_whole_text(tmp_path):
    """Inputs longer than the head the encoding is decided on (ASCII first, or
    UTF-8 first then cp1252), read a few bytes at a time from a file and a pipe,
    give the text the whole input gives."""
    rng = random.Random(7)
    ascii_head = b"id,text\n" + b"".join(b"%d,plain\n" % i for i in range(40000))
    utf8_head = b"id,text\n" + b"".join(b"%d,Jos\xc3\xa9\n" % i for i in range(40000))
    paths, expected = [], []
    for k in range(8):
        tail = b"".join(b"%d,x" % (10**6 + i) + b"".join(rng.choice(RAW_TOKENS + [t.encode() for t in TOKENS])
                                                        for _ in range(rng.randrange(4))) + b"\n"
                        for i in range(200))
        data = (ascii_head if k % 2 else utf8_head) + tail
        path = tmp_path / f"in{k}.csv"
        path.write_bytes(data)
        paths.append(str(path))
        csv_gleave.gleave_file(str(path), str(path) + ".whole")
        expected.append(open(str(path) + ".whole", "rb").read())
    for chunk in ["5", "4096"]:
        done = subprocess.run([sys.executable, "-c", WINDOWS_SCRIPT, *paths], capture_output=True, text=True,
                              env=dict(os.environ, GLEAVE_CHUNK_BYTES=chunk), timeout=600)
        assert done.returncode == 0, done.stderr
        for path, whole, line in zip(paths, expected, done.stdout.splitlines()):
            file_enc, file_fb, pipe_enc, pipe_fb = line.split()
            assert (file_enc, file_fb) == (pipe_enc, pipe_fb)
            assert open(path + ".w", "rb").read() == whole
            assert open(path + ".p", "rb").read() == whole
        # A UTF-8 head holds, and the cp1252 bytes of the tail are counted.
        for line in done.stdout.splitlines()[::2]:
            assert line.split()[0] == "utf-8" and int(line.split()[1]) > 0


@pytest.mark.parametrize("repeat", [1, 20000], ids=["whole", "sample"])
def test_detect_reads_the_bytes_as_the_repair_does(tmp_path, repeat):
    """detect() on a sample of a long input counts what the repair counts: no
    U+FFFD for the cp1252 bytes of a UTF-8 file."""
    data = b"id,name\n" + (UTF8_ROWS + "99,José\n".encode("cp1252")) * repeat
    (tmp_path / "in.csv").write_bytes(data)
    found = csv_gleave.detect(str(tmp_path / "in.csv"))
    assert (found.encoding, found.replaced_bytes, found.delimiter) == ("utf-8", 0, ",")
