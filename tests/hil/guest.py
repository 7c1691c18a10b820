"""A small Linux guest under QEMU whose serial ports are driven by the kernel's real drivers.

The guest boots Debian's own kernel (taken out of its package, nothing installed) with an initramfs
built here from busybox, the kernel modules the ports need and the Linux build of the tester and
the gang with the libraries they load. QEMU gives it:
  - FTDI FT232 adapters (usb-serial on an xHCI bus, driver ftdi_sio, /dev/ttyUSB<n>), each wired
    to a host pseudo-terminal;
  - a 16550 UART (isa-serial, driver 8250, /dev/ttyS1), wired to a host pseudo-terminal;
  - a virtio console that carries the commands (one line each, answered "DONE <id> <status>");
  - a 9p share for files going out (reports, logs, timings);
  - QMP, through which adapters are unplugged and plugged again.
The programmer simulator sits on the host side of a port's pseudo-terminal (--device).
"""
import gzip
import json
import os
import re
import select
import shutil
import socket
import stat
import subprocess
import termios
import threading
import time
import tty

KERNEL_META_PACKAGE = "linux-image-amd64"

# Modules the guest loads, each after what it depends on (dependencies are read from the modules).
GUEST_MODULES = ["virtio_pci", "virtio_console", "9pnet_virtio", "9p", "xhci_pci", "ftdi_sio"]

INIT_SCRIPT = r"""#!/bin/sh
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for m in $(cat /modules.order); do insmod /lib/modules/$m 2>/dev/console; done
mkdir -p /share
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none share /share
n=0
while [ ! -c /dev/hvc0 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n+1)); done
# The console stays open from here on: what the host sends while nobody has it open is lost.
exec 0</dev/hvc0 1>/dev/hvc0
stty raw -echo
cd /tmp
echo READY
# One command per line: "<id> <shell text>"; its output goes to /share/out/<id>.txt.
while read -r id cmd; do
  sh -c "$cmd" > /share/out/$id.txt 2>&1 < /dev/null
  echo "DONE $id $?"
done
poweroff -f
"""


class Unavailable(Exception):
    """What the guest needs is missing and cannot be had on this machine."""


def _run(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          **kwargs)


def fetch_kernel(cache):
    """Debian's kernel package, downloaded once into cache and unpacked there; returns the
    unpacked root and the kernel's version."""
    root = os.path.join(cache, "kernel")
    done = os.path.join(root, ".unpacked")
    if not os.path.exists(done):
        try:
            depends = _run(["apt-cache", "depends", KERNEL_META_PACKAGE]).stdout.decode()
        except (OSError, subprocess.CalledProcessError) as e:
            raise Unavailable("apt-cache cannot name the kernel package (%s)" % e)
        match = re.search(r"Depends: (linux-image-\S+)", depends)
        if not match:
            raise Unavailable("no kernel package behind %s" % KERNEL_META_PACKAGE)
        try:
            os.makedirs(cache, exist_ok=True)
            for old in os.listdir(cache):
                if old.endswith(".deb"):
                    os.unlink(os.path.join(cache, old))
            _run(["apt-get", "download", "-q", match.group(1)], cwd=cache)
            debs = [f for f in os.listdir(cache) if f.endswith(".deb")]
            shutil.rmtree(root, ignore_errors=True)
            _run(["dpkg-deb", "-x", os.path.join(cache, debs[0]), root])
            open(done, "w").close()
        except (OSError, subprocess.CalledProcessError) as e:
            detail = (getattr(e, "stderr", b"") or b"").decode(errors="replace").strip()
            raise Unavailable("the kernel package %s could not be had in %s (%s)"
                              % (match.group(1), cache, (detail or str(e))[-200:]))
    versions = os.listdir(os.path.join(root, "lib", "modules"))
    return root, versions[0]


def _module_index(modules_dir):
    """Module name (as modprobe spells it, '-' as '_') -> path of its .ko file."""
    index = {}
    for directory, _, files in os.walk(modules_dir):
        for f in files:
            if f.endswith(".ko"):
                index[f[:-3].replace("-", "_")] = os.path.join(directory, f)
    return index


def _depends(path):
    """The modules a module needs, from its modinfo "depends=" entry."""
    with open(path, "rb") as f:
        data = f.read()
    match = re.search(rb"\x00depends=([^\x00]*)\x00", data)
    if not match or not match.group(1):
        return []
    return [d.decode().replace("-", "_") for d in match.group(1).split(b",")]


def module_load_order(modules_dir, wanted):
    """The .ko files to load for the wanted modules, every module after those it depends on."""
    index = _module_index(modules_dir)
    order = []

    def visit(name):
        if name in order:
            return
        if name not in index:
            raise Unavailable("the kernel has no module %s" % name)
        for dep in _depends(index[name]):
            visit(dep)
        order.append(name)

    for name in wanted:
        visit(name)
    return [index[n] for n in order]


class Cpio:
    """An initramfs in the "newc" cpio format, written in memory."""

    def __init__(self):
        self.parts = []
        self.inode = 1
        self.names = set()

    def _entry(self, name, mode, data=b""):
        self.inode += 1
        header = "070701" + "".join("%08X" % v for v in (
            self.inode, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0))
        blob = header.encode() + name.encode() + b"\x00"
        blob += b"\x00" * (-len(blob) % 4)
        blob += data + b"\x00" * (-len(data) % 4)
        self.parts.append(blob)

    def directory(self, name):
        parent = os.path.dirname(name)
        if parent and parent not in self.names:
            self.directory(parent)
        if name not in self.names:
            self.names.add(name)
            self._entry(name, stat.S_IFDIR | 0o755)

    def file(self, name, data, mode=0o755):
        self.directory(os.path.dirname(name))
        self.names.add(name)
        self._entry(name, stat.S_IFREG | mode, data)

    def link(self, name, target):
        self.directory(os.path.dirname(name))
        self.names.add(name)
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def bytes(self):
        trailer = Cpio()
        trailer.inode = -1
        trailer._entry("TRAILER!!!", 0)
        return b"".join(self.parts + trailer.parts)


def _shared_libraries(programs):
    """Every shared library the programs load (ldd), with the dynamic loader."""
    found = {}
    for program in programs:
        out = _run(["ldd", program]).stdout.decode()
        for line in out.splitlines():
            match = re.search(r"(?:=>\s*)?(/\S+)\s+\(0x", line)
            if match:
                path = match.group(1)
                found[os.path.basename(path)] = os.path.realpath(path)
    return found


def build_initramfs(path, kernel_root, version, programs, busybox="/bin/busybox"):
    """Writes the guest's initramfs: busybox and its applets, the modules, the programs in /bin
    and their libraries, the character set converters the gang's Chinese texts need."""
    if not os.path.exists(busybox):
        raise Unavailable("no static busybox (%s)" % busybox)
    cpio = Cpio()
    for d in ("bin", "sbin", "proc", "sys", "dev", "tmp", "share", "lib/modules", "lib64",
              "lib/x86_64-linux-gnu", "etc"):
        cpio.directory(d)
    with open(busybox, "rb") as f:
        cpio.file("bin/busybox", f.read())
    applets = _run([busybox, "--list"]).stdout.decode().split()
    for applet in applets:
        if applet != "busybox":
            cpio.link("bin/" + applet, "busybox")
    cpio.file("init", INIT_SCRIPT.encode())
    modules = module_load_order(os.path.join(kernel_root, "lib", "modules", version), GUEST_MODULES)
    names = []
    for ko in modules:
        with open(ko, "rb") as f:
            cpio.file("lib/modules/" + os.path.basename(ko), f.read(), 0o644)
        names.append(os.path.basename(ko))
    cpio.file("modules.order", ("\n".join(names) + "\n").encode(), 0o644)
    for name, real in _shared_libraries(programs).items():
        with open(real, "rb") as f:
            data = f.read()
        if name.startswith("ld-linux"):
            cpio.file("lib64/" + name, data)
        cpio.file("lib/x86_64-linux-gnu/" + name, data)
    for program in programs:
        with open(program, "rb") as f:
            cpio.file("bin/" + os.path.basename(program), f.read())
    gconv = "/usr/lib/x86_64-linux-gnu/gconv"
    for name in ("gconv-modules", "gconv-modules.cache", "GBK.so"):
        if os.path.exists(os.path.join(gconv, name)):
            with open(os.path.join(gconv, name), "rb") as f:
                cpio.file(gconv.lstrip("/") + "/" + name, f.read(), 0o644)
    cpio.file("etc/passwd", b"root:x:0:0:root:/tmp:/bin/sh\n", 0o644)
    with open(path, "wb") as f:
        f.write(gzip.compress(cpio.bytes(), compresslevel=1))


class HostEnd:
    """The host side of a port's pseudo-terminal, held open for the guest's whole life: QEMU
    attaches an adapter only while its host side is open, and a guest whose bytes nobody reads
    stalls. While no simulator sits on the line, what the guest sends is read and dropped here."""

    def __init__(self, path):
        self.path = path
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd, termios.TCSANOW)
        attributes = termios.tcgetattr(self.fd)
        attributes[3] &= ~termios.ECHO
        termios.tcsetattr(self.fd, termios.TCSANOW, attributes)
        self.idle = True
        self.paused = threading.Event()
        self.closing = False
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()

    def _drain(self):
        while not self.closing:
            if not self.idle:
                self.paused.set()
                time.sleep(0.01)
                continue
            self.paused.clear()
            ready, _, _ = select.select([self.fd], [], [], 0.01)
            if ready and self.idle:
                try:
                    os.read(self.fd, 4096)
                except OSError:
                    time.sleep(0.01)

    def hand_over(self):
        """Stops draining, so that a simulator opening the same terminal gets every byte."""
        self.idle = False
        self.paused.wait(5)

    def take_back(self):
        self.idle = True

    def write(self, data):
        os.write(self.fd, data)

    def close(self):
        self.closing = True
        self.thread.join(5)
        os.close(self.fd)


class Guest:
    """A running guest. adapters: how many FTDI adapters to plug in at start."""

    def __init__(self, workdir, kernel, initramfs, adapters=4, log=print):
        self.workdir = workdir
        self.log = log
        self.share = os.path.join(workdir, "share")
        os.makedirs(os.path.join(self.share, "out"), exist_ok=True)
        self.qmp_path = os.path.join(workdir, "qmp.sock")
        self.control_path = os.path.join(workdir, "control.sock")
        self.console = os.path.join(workdir, "console.log")
        for p in (self.qmp_path, self.control_path):
            if os.path.exists(p):
                os.unlink(p)
        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-m", "384", "-smp", "1",
            "-no-reboot", "-nodefaults", "-display", "none", "-monitor", "none",
            "-kernel", kernel, "-initrd", initramfs,
            "-append", "console=ttyS0 panic=-1 loglevel=4 8250.nr_uarts=2",
            "-serial", "file:" + self.console,
            "-chardev", "pty,id=uart1", "-serial", "chardev:uart1",
            "-device", "qemu-xhci,id=xhci,p2=8,p3=8",
            "-device", "virtio-serial-pci",
            "-chardev", "socket,id=control,path=%s,server=on,wait=off" % self.control_path,
            "-device", "virtconsole,chardev=control",
            "-virtfs", "local,path=%s,mount_tag=share,security_model=none,id=share" % self.share,
            "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
        ]
        for n in range(adapters):
            command += ["-chardev", "pty,id=usb%d" % n]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self._wait_for_socket(self.qmp_path)
        self.qmp = socket.socket(socket.AF_UNIX)
        self.qmp.connect(self.qmp_path)
        self.qmp_file = self.qmp.makefile("rwb")
        self._qmp_read()  # greeting
        self.qmp_command("qmp_capabilities")
        self.ptys = {}
        for c in self.qmp_command("query-chardev"):
            if c["filename"].startswith("pty:"):
                self.ptys[c["label"]] = c["filename"][4:]
        self.ends = {label: HostEnd(path) for label, path in self.ptys.items()}
        for n in range(adapters):
            self.plug(n)
        self._wait_for_socket(self.control_path)
        self.control = socket.socket(socket.AF_UNIX)
        self.control.connect(self.control_path)
        self.pending = b""
        self.sequence = 0
        self._await_line(lambda line: line == "READY", 120)

    def _wait_for_socket(self, path, seconds=30):
        deadline = time.monotonic() + seconds
        while not os.path.exists(path):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("qemu did not start: %s" % self.process.stdout.read().decode())
            time.sleep(0.05)

    def _qmp_read(self):
        while True:
            line = self.qmp_file.readline()
            if not line:
                raise RuntimeError("qemu closed its QMP socket")
            message = json.loads(line)
            if "event" not in message:
                return message

    def qmp_command(self, name, **arguments):
        request = {"execute": name}
        if arguments:
            request["arguments"] = arguments
        self.qmp_file.write(json.dumps(request).encode() + b"\n")
        self.qmp_file.flush()
        answer = self._qmp_read()
        if "error" in answer:
            raise RuntimeError("%s: %s" % (name, answer["error"]))
        return answer["return"]

    def plug(self, n):
        # The chardev of an adapter just unplugged is let go a moment after the device is gone.
        deadline = time.monotonic() + 10
        while True:
            try:
                self.qmp_command("device_add", driver="usb-serial", chardev="usb%d" % n,
                                 id="ftdi%d" % n, bus="xhci.0", port=str(n + 1))
                break
            except RuntimeError as e:
                if "in use" not in str(e) or time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def unplug(self, n):
        self.qmp_command("device_del", id="ftdi%d" % n)
        # The device is gone once QEMU no longer lists it.
        deadline = time.monotonic() + 10
        while "ftdi%d" % n in [d["name"] for d in
                               self.qmp_command("qom-list", path="/machine/peripheral")]:
            if time.monotonic() > deadline:
                raise RuntimeError("adapter %d was not unplugged" % n)
            time.sleep(0.02)

    def _await_line(self, accept, seconds):
        deadline = time.monotonic() + seconds
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                text = line.decode(errors="replace").strip()
                if accept(text):
                    return text
            left = deadline - time.monotonic()
            if left <= 0 or self.process.poll() is not None:
                raise RuntimeError("the guest did not answer in time; console:\n" + self.tail())
            ready, _, _ = select.select([self.control], [], [], left)
            if ready:
                data = self.control.recv(4096)
                if not data:
                    raise RuntimeError("the guest's console closed; console:\n" + self.tail())
                self.pending += data

    def start(self, shell_text):
        """Sends a command; returns its id for finish()."""
        self.sequence += 1
        ident = "c%d" % self.sequence
        self.control.sendall(("%s %s\n" % (ident, shell_text)).encode())
        return ident

    def finish(self, ident, seconds=60):
        """The exit status and output of a command sent by start()."""
        line = self._await_line(lambda text: text.startswith("DONE %s " % ident), seconds)
        status = int(line.split()[2])
        with open(os.path.join(self.share, "out", ident + ".txt"), "rb") as f:
            return status, f.read().decode(errors="replace")

    def run(self, shell_text, seconds=60):
        return self.finish(self.start(shell_text), seconds)

    def tail(self):
        try:
            with open(self.console, "rb") as f:
                return f.read()[-3000:].decode(errors="replace")
        except OSError:
            return ""

    def stop(self):
        try:
            self.qmp_command("quit")
        except (OSError, RuntimeError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.qmp_file.close()
        self.qmp.close()
        self.control.close()
        for end in self.ends.values():
            end.close()
