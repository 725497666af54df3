"""Repair in bounded memory: a file of several gigabytes, repeated from a
block of messy rows, repairs (with the core's gleave_file and the
package's) to that block's repair repeated, with the quarantine numbered
on, while the process stays far below the file's size.
Writing and checking some 3 GB takes a minute, so it runs only with
GLEAVE_BIG_TESTS=1; GLEAVE_BIG_TEST_GB sets the size."""
import csv
import filecmp
import io
import json
import os
import random
import subprocess
import sys

import pytest

import _csv_gleave_backend as m

BIG = os.environ.get("GLEAVE_BIG_TESTS") == "1"


def messy_block(rows=4000, seed=15):
    """Ragged rows, quoted fields with delimiters, doubled quotes and line
    breaks, stray quotes that a later quote on the line closes, CR LF, blank
    lines and invalid UTF-8; no quote that stays open past its row, so that
    the block repeated reads as the block's rows repeated."""
    rng = random.Random(seed)
    out = [b"id,name,city,amount,note,flag\n"]
    for i in range(rows):
        fields = [str(i).encode(), rng.choice([b"Ann", b"Zo\xc3\xab", b"Bob"]),
                  rng.choice([b"Oslo", b"\xc5\x81\xc3\xb3d\xc5\xba", b"Lagos"]),
                  str(rng.randint(0, 10**6)).encode(), b"ok", b"true"]
        kind = rng.random()
        if kind < 0.04:
            fields = fields[: rng.randint(1, 5)]
        elif kind < 0.07:
            fields += [b"extra"] * rng.randint(1, 3)
        elif kind < 0.10:
            fields[4] = b'"a, ""b""\nc"'
        elif kind < 0.12:
            fields[4] = b'"x "y" z"'  # the quote before y is a literal one
        elif kind < 0.13:
            fields[1] = b"bad\xff"
        elif kind < 0.14:
            out.append(b"\n")
        end = b"\r\n" if rng.random() < 0.2 else b"\n"
        out.append(b",".join(fields) + end)
    return b"".join(out)


def repair(src, out, q, module="_csv_gleave_backend", pipe=False):
    """gleave_file in a child process (reading `src` through a pipe from
    cat when `pipe`); its summary and peak RSS in bytes."""
    # VmHWM, not ru_maxrss: the latter keeps the forking parent's size.
    code = (f"import {module} as m, sys\n"
            "src = 0 if sys.argv[1] == '-' else sys.argv[1]\n"
            "s = m.gleave_file(src, sys.argv[2], sys.argv[3], fill_ragged_rows=False)\n"
            "hwm = [l for l in open('/proc/self/status') if l.startswith('VmHWM')][0]\n"
            "print(s.total_rows, s.quarantined_rows, int(hwm.split()[1]) * 1024)\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    cat = subprocess.Popen(["cat", src], stdout=subprocess.PIPE) if pipe else None
    try:
        done = subprocess.run([sys.executable, "-c", code, "-" if pipe else src, out, q], check=True,
                              capture_output=True, text=True, env=env,
                              stdin=cat.stdout if cat else None)
    finally:
        if cat:
            cat.stdout.close()
            cat.wait()
    total, quarantined, rss = map(int, done.stdout.split())
    return total, quarantined, rss


def quarantine_records(data):
    return list(csv.reader(io.StringIO(data.decode("utf-8"), newline="")))[1:]


def test_a_block_repeated_reads_as_its_rows_repeated(tmp):
    """The premise of the big test, checked small."""
    block = messy_block(rows=600)
    (tmp / "one.csv").write_bytes(block)
    (tmp / "three.csv").write_bytes(block * 3)
    one = m.gleave_file("one.csv", "one.out", "one.q", fill_ragged_rows=False)
    three = m.gleave_file("three.csv", "three.out", "three.q", fill_ragged_rows=False)
    assert (tmp / "three.out").read_bytes() == (tmp / "one.out").read_bytes() * 3
    assert three.quarantined_rows == 3 * one.quarantined_rows > 0
    lines = block.count(b"\n")
    want = [[str(int(r[0]) + k * lines)] + r[1:]
            for k in range(3) for r in quarantine_records((tmp / "one.q").read_bytes())]
    assert quarantine_records((tmp / "three.q").read_bytes()) == want
    # The package's repair too (its quarantine holds each row's own text);
    # it sets the header repeated at each block's start aside.
    import csv_gleave
    one = csv_gleave.gleave_file("one.csv", "one.out", "one.q", fill_ragged_rows=False)
    three = csv_gleave.gleave_file("three.csv", "three.out", "three.q", fill_ragged_rows=False)
    one_out = (tmp / "one.out").read_bytes()
    assert (tmp / "three.out").read_bytes() == one_out + rows_below_header(one_out) * 2
    assert three.quarantined_rows == 3 * one.quarantined_rows + 2 > 2
    assert three.repeated_header_rows == 2


def rows_below_header(out):
    return out.split(b"\n", 1)[1]


@pytest.mark.skipif(not BIG, reason="set GLEAVE_BIG_TESTS=1")
def test_gigabytes_repair_in_bounded_memory(tmp):
    block = messy_block()
    repeats = int(float(os.environ.get("GLEAVE_BIG_TEST_GB", "3")) * 1e9) // len(block) + 1
    with open("big.csv", "wb") as f:
        for _ in range(repeats):
            f.write(block)
    (tmp / "one.csv").write_bytes(block)
    m.gleave_file("one.csv", "one.out", "one.q", fill_ragged_rows=False)
    one_out = (tmp / "one.out").read_bytes()
    one_q = quarantine_records((tmp / "one.q").read_bytes())

    import csv_gleave
    csv_gleave.gleave_file("one.csv", "pone.out", "pone.q", fill_ragged_rows=False)
    pone_out = (tmp / "pone.out").read_bytes()
    _, pquarantined, prss = repair("big.csv", "pbig.out", "pbig.q", "csv_gleave")
    print(f"\npackage: peak RSS {prss / 2**20:.0f} MiB")
    assert prss < 64 << 20
    # The header the block repeats is set aside after its first time.
    pbody = rows_below_header(pone_out)
    assert os.path.getsize("pbig.out") == len(pone_out) + (repeats - 1) * len(pbody)
    with open("pbig.out", "rb") as f:
        assert f.read(len(pone_out)) == pone_out
        for _ in range(repeats - 1):
            assert f.read(len(pbody)) == pbody
    # The same through a pipe, which cannot be read twice.
    _, piped, prss = repair("big.csv", "pipe.out", "pipe.q", "csv_gleave", pipe=True)
    print(f"package, through a pipe: peak RSS {prss / 2**20:.0f} MiB")
    assert prss < 64 << 20 and piped == pquarantined
    assert filecmp.cmp("pipe.out", "pbig.out", shallow=False)
    assert filecmp.cmp("pipe.q", "pbig.q", shallow=False)
    for name in ("pbig.out", "pbig.q", "pipe.out", "pipe.q"):
        os.remove(name)

    total, quarantined, rss = repair("big.csv", "big.out", "big.q")
    os.remove("big.csv")
    print(f"\npeak RSS {rss / 2**20:.0f} MiB for {repeats * len(block) / 1e9:.2f} GB")
    assert rss < 64 << 20
    assert quarantined == repeats * len(one_q)

    assert os.path.getsize("big.out") == repeats * len(one_out)
    with open("big.out", "rb") as f:
        for _ in range(repeats):
            assert f.read(len(one_out)) == one_out
    os.remove("big.out")
    lines = block.count(b"\n")
    with open("big.q", newline="", encoding="utf-8") as f:
        records = csv.reader(f)
        next(records)
        for j, r in enumerate(records):
            k, want = divmod(j, len(one_q))
            assert r == [str(int(one_q[want][0]) + k * lines)] + one_q[want][1:]
    assert j + 1 == quarantined


# Inputs for the product's windowed repair: each conversion it streams (valid
# UTF-8, damaged UTF-8, cp1252, a mark, UTF-16), lines above the table, blank
# lines first, quotes that close far ahead or never, CR LF and multi-byte
# characters cut by a window's end.
PRODUCT_TEXTS = [
    b"id,name\n1,Ann\n2,\"Bob\nsmith\"\n3,\"never closes\n4,x\n5,y,z\n",
    b"\xef\xbb\xbfa;b;c\r\n1;\xc3\xa9;3\r\n2;\xff;4;5\r\n\"x;\"y\" z\";1\r\n",
    b"name,city\nJos\xe9,S\xe3o Paulo\nM\xfcller,Z\xfcrich\n\"q\",\"r\ns\"\n",
    b"Report of 2026\n\nExported by the tool\nid\tv\n1\t2\n3\t\"4\n5\t6\n",
    b"a,b\n" + b"1,\xc3\xa9\xc3\xa9\n" * 300 + b"2,\xff\n" + b"3,\"open\n" + b"4,5\n" * 50,
    b"x|y\n" + b"\"" + b"long field line\n" * 2000 + b"\"|end\n1|2\n",
    b"\n\n\r\n" + "k;\u00e4\u20ac\n1;\U0001F600\n2;\u00df;x\n".encode() * 40,
    "a;b\r\n1;\u00e4\r\n2\r\n\"3\";\"x\r\ny\"\r\n".encode("utf-16"),
    "\ufeffk,v\n1,\"open\n2,\u00e4\n".encode("utf-16-le") + "3,4\n".encode("utf-16-le") * 30,
    # Quotes escaped with a backslash: an escaped quote ends no field, near
    # or far, and one that never closes (after the rows the dialect is
    # detected on) ends with an escaped quote.
    b'id,text,n\n1,"say \\"hi\\" now",3\n2,"two\nlines \\"q\\"\nmore",4\n'
    + b'3,"x \\"y\\", z",5\n' * 450 + b'9,"a",1\n10,"open \\"\n11,b,2\n12,c,3\n',
    # A header repeated further on, by exports put together.
    (b"id,name,v\n" + b"1,Ann,2.5\n" * 30) * 3,
    # Lines dense with stray quotes, whose look-ahead reaches past every
    # window: alone, and in a table with a quote that never closes after.
    b'"a' * 3000,
    b"k,v\n1," + b'"a' * 2000 + b'\n"b,c\n2,3\n',
]
# (text, options): the repair with a named encoding goes a piece at a time too.
PRODUCT_RUNS = [(i, {}) for i in range(len(PRODUCT_TEXTS))] + [
    (2, {"encoding": "cp1252"}), (7, {"encoding": "utf-16"}), (8, {"encoding": "utf-16"})]

# Runs each of PRODUCT_RUNS on its file and through a pipe fed by a thread.
_RUN_BOTH = """
import csv_gleave, json, os, sys, threading
def through_pipe(data, out, q, options):
    r, w = os.pipe()
    def feed():
        os.write(w, data)
        os.close(w)
    t = threading.Thread(target=feed)
    t.start()
    try:
        return csv_gleave.gleave_file(r, out, q, **options)
    finally:
        t.join()
        os.close(r)
for k, (i, options) in enumerate(json.loads(sys.argv[1])):
    data = open(f"in{i}.csv", "rb").read()
    s = csv_gleave.gleave_file(f"in{i}.csv", f"w{k}.csv", f"w{k}.q", **options)
    p = through_pipe(data, f"p{k}.csv", f"p{k}.q", options)
    print(json.dumps([s.to_dict(), p.to_dict()]))
"""


def run_both(tmp, runs, chunk, stage_threads=True):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    if chunk:
        env["GLEAVE_CHUNK_BYTES"] = str(chunk)
    env["GLEAVE_STAGE_THREADS"] = "1" if stage_threads else "0"
    done = subprocess.run([sys.executable, "-c", _RUN_BOTH, json.dumps(runs)], check=True,
                          capture_output=True, text=True, env=env, cwd=tmp)
    return [json.loads(line) for line in done.stdout.splitlines()]


@pytest.mark.parametrize("chunk, stage_threads", [
    (1, True), (2, True), (3, True), (7, True), (16, True), (16, False), (64, True)])
def test_product_windows_match_the_whole_input(tmp, chunk, stage_threads):
    """csv_gleave.gleave_file reads a regular file and a pipe in windows of a
    few bytes, read ahead by a thread of its own or in turn: both give the
    bytes and the summary of one window holding the whole input."""
    for i, data in enumerate(PRODUCT_TEXTS):
        (tmp / f"in{i}.csv").write_bytes(data)
    whole = run_both(tmp, PRODUCT_RUNS, None)
    for k in range(len(PRODUCT_RUNS)):
        for kind in "wp":
            os.replace(tmp / f"{kind}{k}.csv", tmp / f"{kind}{k}.whole")
            os.replace(tmp / f"{kind}{k}.q", tmp / f"{kind}{k}.qwhole")
    windowed = run_both(tmp, PRODUCT_RUNS, chunk, stage_threads)
    for k, run in enumerate(PRODUCT_RUNS):
        assert whole[k][0] == whole[k][1] == windowed[k][0] == windowed[k][1], run
        for name in (f"p{k}.whole", f"w{k}.csv", f"p{k}.csv"):
            assert (tmp / name).read_bytes() == (tmp / f"w{k}.whole").read_bytes(), (run, name)
        for name in (f"p{k}.qwhole", f"w{k}.q", f"p{k}.q"):
            assert (tmp / name).read_bytes() == (tmp / f"w{k}.qwhole").read_bytes(), (run, name)


@pytest.mark.parametrize("head, encoding, fallback", [
    (b"1,\xc3\xa9\n", "utf-8", 2),  # UTF-8 first: the later cp1252 bytes are read as cp1252, and counted
    (b"1,e\n", "cp1252", 0),  # ASCII first: the first bytes that are not decide
])
def test_file_and_pipe_decide_the_encoding_on_their_first_bytes(tmp, head, encoding, fallback):
    """A file is read once, as a pipe is: its encoding is decided on its first
    bytes (the first window, here 64 bytes, or 256 KiB at least), or after a
    head of ASCII on the first ones that are not. Bytes further on that are
    not UTF-8 are read as cp1252 one by one and counted, never dropped unseen,
    and every UTF-8 sequence keeps its character."""
    data = b"k,v\n" + head + b"2,x\n" * 100_000 + b"3,\xe9\n4,\xfc\n"
    (tmp / "in0.csv").write_bytes(data)
    (file, pipe), = run_both(tmp, [(0, {})], 64)
    for summary in (file, pipe):
        assert (summary["encoding"], summary["fallback_bytes"], summary["replaced_bytes"]) == (encoding, fallback, 0)
    for name in ("p0.csv", "w0.csv"):
        assert (tmp / name).read_bytes().endswith("3,\u00e9\n4,\u00fc\n".encode())
    assert (tmp / "p0.csv").read_bytes() == (tmp / "w0.csv").read_bytes()
    assert ("1,\u00e9\n".encode() in (tmp / "w0.csv").read_bytes()) == (encoding == "utf-8")


# A quote that never closes early on, with quoting shown before it.
RUNAWAY = b'id,name\n1,Ann\n2,"Bob\nsmith"\n3,"never closes\n' + b"".join(
    b"%d,x\n" % i for i in range(20000))


@pytest.mark.parametrize("data, options", [
    (RUNAWAY, []),
    (RUNAWAY.decode().encode("utf-16"), ["--encoding", "utf-16"]),  # a conversion with a state
])
def test_pipe_looks_ahead_through_a_temporary_file(tmp, data, options):
    """A pipe read in 64-byte windows past a quote that never closes is read
    ahead through an unlinked file in TMPDIR, and repairs as the file does
    in one window; a TMPDIR that does not exist falls back to /tmp."""
    (tmp / "in.csv").write_bytes(data)
    (tmp / "spill").mkdir()
    cli = [sys.executable, "-m", "csv_gleave", "repair", *options, "--quote-char", '"']
    subprocess.run([*cli, "in.csv", "-o", "file.csv", "-q", "file.q"], check=True, capture_output=True)
    env = dict(os.environ, GLEAVE_CHUNK_BYTES="64", TMPDIR=str(tmp / "spill"))
    subprocess.run([*cli, "-", "-o", "pipe.csv", "-q", "pipe.q"], input=data, env=env, check=True,
                   capture_output=True)
    assert (tmp / "pipe.csv").read_bytes() == (tmp / "file.csv").read_bytes()
    assert (tmp / "pipe.q").read_bytes() == (tmp / "file.q").read_bytes()
    assert b'3,"""never closes"\n0,x\n' in (tmp / "file.csv").read_bytes()  # ends on its line
    assert os.listdir(tmp / "spill") == []

    env["TMPDIR"] = str(tmp / "missing")
    subprocess.run([*cli, "-", "-o", "no.csv", "-q", "no.q"], input=data, env=env, check=True,
                   capture_output=True)
    assert (tmp / "no.csv").read_bytes() == (tmp / "file.csv").read_bytes()
    assert (tmp / "no.q").read_bytes() == (tmp / "file.q").read_bytes()
