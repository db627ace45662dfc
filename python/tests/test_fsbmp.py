"""The Python package against the fsbmp tool (FSBMP_CLI) and blkid, on images made by the real
mkfs tools: bitmaps, ranges, kinds, a disk and its partitions, errors, descriptors, threads."""

import errno
import os
import shlex
import subprocess
import threading

import pytest

import fsbmp

CHUNK = 64 << 10
XFS = "TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q"
MKFS = {
    "ext2": "mkfs.ext2 -q -F -b 4096",
    "ext3": "mkfs.ext3 -q -F -b 1024",
    "ext4": "mkfs.ext4 -q -F -b 1024",
    "xfs": XFS,
    "reiserfs": "mkreiserfs -f -q -b 4096",
}


def sh(command: str) -> str:
    return subprocess.run(command, shell=True, check=True, capture_output=True).stdout.decode()


def tool(*args: str) -> bytes:
    command = shlex.split(os.environ.get("FSBMP_EMULATOR", "")) + [os.environ["FSBMP_CLI"]]
    return subprocess.run(command + list(args), check=True, capture_output=True).stdout


def make(path: str, fs: str, size: str = "48M") -> str:
    sh(f"truncate -s {size} {shlex.quote(path)} && {MKFS[fs]} {shlex.quote(path)}")
    return path


def tool_maps(path: str, *more: str):
    raw = tool("bitmap", path, "-c", str(CHUNK), "-f", "raw", "-o", "-", *more)
    lines = tool("bitmap", path, "-c", str(CHUNK), "-f", "ranges", *more).decode().split()
    numbers = [int(x) for x in lines]
    return raw, list(zip(numbers[::2], numbers[1::2]))


def blkid_type(path: str, offset: int = 0) -> str:
    return sh(f"blkid -p -o value -s TYPE -O {offset} {shlex.quote(path)}").strip()


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    d = tmp_path_factory.mktemp("images")
    return {fs: make(str(d / f"{fs}.img"), fs) for fs in MKFS}


@pytest.mark.parametrize("fs", sorted(MKFS))
def test_file_system_as_the_tool_and_blkid_see_it(images, fs):
    path = images[fs]
    raw, runs = tool_maps(path)
    with fsbmp.open(path) as s:
        assert s.kind == blkid_type(path) == fs
        assert s.device_size == os.path.getsize(path)
        assert f"block size:  {s.block_size}\n" in tool("info", path).decode()
        assert s.bitmap(CHUNK) == raw
        assert list(s.used_ranges(CHUNK)) == runs


def test_disk_and_its_partitions(tmp_path):
    disk, part = str(tmp_path / "disk.img"), str(tmp_path / "part.img")
    sh(f"truncate -s 128M {disk} && printf 'label: gpt\\n,40M,L\\n,48M,L\\n' | sfdisk -q {disk}")
    for start_mib, fs, size in ((1, "ext4", "40M"), (41, "xfs", "48M")):
        make(part, fs, size)
        sh(f"dd if={part} of={disk} bs=1M seek={start_mib} conv=notrunc status=none && rm {part}")
    raw, runs = tool_maps(disk)
    with fsbmp.open(disk) as s:
        assert (s.kind, s.block_size, s.device_size) == ("disk", 512, 128 << 20)
        assert s.bitmap(CHUNK) == raw
        assert list(s.used_ranges(CHUNK)) == runs
    for number, start_mib, length_mib in ((1, 1, 40), (2, 41, 48)):
        raw, runs = tool_maps(disk, "-p", str(number))
        with fsbmp.open(disk, partition=number) as p:
            assert p.kind == blkid_type(disk, start_mib << 20)
            assert (p.device_size, p.offset) == (length_mib << 20, start_mib << 20)
            assert p.bitmap(CHUNK) == raw
            assert list(p.used_ranges(CHUNK)) == runs
    with pytest.raises(fsbmp.Error) as e:
        fsbmp.open(disk, partition=9)
    assert e.value.errno == errno.EINVAL and "no partition 9" in e.value.strerror


@pytest.mark.parametrize(
    "what, errnum, says",
    [
        ("missing", errno.ENOENT, "No such file"),
        ("directory", errno.EISDIR, "directory"),
        ("/dev/null", errno.ENOTBLK, "empty device"),
        ("random", errno.ENOSYS, "no supported file system"),
    ],
)
def test_bad_inputs_raise_error_with_errno_and_message(tmp_path, what, errnum, says):
    path = {"missing": str(tmp_path / "missing"), "directory": str(tmp_path),
            "/dev/null": "/dev/null", "random": str(tmp_path / "random")}[what]
    if what == "random":
        with open(path, "wb") as f:
            f.write(os.urandom(1 << 20))
    with pytest.raises(fsbmp.Error) as e:
        fsbmp.open(path)
    assert isinstance(e.value, OSError)
    assert e.value.errno == errnum
    assert says in e.value.strerror


def test_bad_chunk_sizes_and_closed_sources(images):
    s = fsbmp.open(images["ext2"])
    for chunk in (0, 512, 3 << 12, 2 << 30):
        with pytest.raises(fsbmp.Error) as e:
            s.bitmap(chunk)
        assert e.value.errno == errno.EINVAL and e.value.strerror
    s.close()
    s.close()
    with pytest.raises(ValueError):
        s.bitmap(CHUNK)


def test_no_descriptor_leaks_over_many_opens(images, tmp_path):
    junk = tmp_path / "zeros"
    junk.write_bytes(bytes(256 << 10))
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(200):
        with fsbmp.open(images["ext4"]) as s:
            assert s.bitmap(CHUNK)
        with pytest.raises(fsbmp.Error):
            fsbmp.open(str(junk))
    assert len(os.listdir("/proc/self/fd")) == before


def test_several_threads_with_their_own_sources(images):
    alone = {}
    for fs, path in images.items():
        with fsbmp.open(path) as s:
            alone[fs] = s.bitmap(CHUNK)
    wrong = []

    def work(fs):
        for _ in range(8):
            with fsbmp.open(images[fs]) as s:
                if s.bitmap(CHUNK) != alone[fs]:
                    wrong.append(fs)

    threads = [threading.Thread(target=work, args=(fs,)) for fs in images]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
