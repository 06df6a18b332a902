"""The Windows Installer package under wine, in a fresh 64-bit prefix, as a
site rolls it out: a silent install with the site's settings and decoder, the
installed exe started as its Run value starts it at logon and read against
talvex-reader-sim on COM7 (the same body as the Linux server's), an upgrade
from a lower version, a refused downgrade, and an uninstall with the server
running, after which only the site's decoder is left.

The package is built from the Windows build named, for its width: the i686
build gives the x86 package (in Program Files (x86), the redirected registry
view), the x86_64 build the x64 one.

  TALVEX_WIN_BIN_DIR  bin/ of a Windows build (TalvexServer.exe, WltRS.dll);
                      the build folder is the one above it
  TALVEX_BIN_DIR      the Linux bin/ (talvex-reader-sim, talvex-server)
  TALVEX_WINE         the wine that runs that build (default: wine)
"""

import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from talvex_http import free_port, read_card  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WIN_BIN = os.environ.get("TALVEX_WIN_BIN_DIR", "")
LINUX_BIN = os.environ.get("TALVEX_BIN_DIR", "")
WINE = shlex.split(os.environ.get("TALVEX_WINE", "wine"))
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
ORIGIN = "https://his.example"
# The policy keys are not redirected: one place for both widths.
CHROME_LIST = r"HKLM\SOFTWARE\Policies\Google\Chrome\LoopbackNetworkAllowedForUrls"
OTHER_ORIGIN = "https://other.example"
# Fixed for as long as the product lives: the sites' upgrades find the
# installed version by it.
UPGRADE_CODE = "{6D1F3C2A-8B4E-4F5A-9C7D-2E1B0A3F4D5C}"


def pe_arch(path):
    """The package architecture for a Windows executable: x86 or x64."""
    with open(path, "rb") as f:
        head = f.read(4096)
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    if head[offset:offset + 4] != b"PE\0\0":
        raise ValueError(f"{path} is no Windows executable")
    return {0x14C: "x86", 0x8664: "x64"}[struct.unpack_from("<H", head, offset + 4)[0]]


def answers(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def split_command_line(line):
    """A Run value's command line: the (quoted) program, then its arguments."""
    if line.startswith('"'):
        exe, _, rest = line[1:].partition('"')
    else:
        exe, _, rest = line.partition(" ")
    return exe, shlex.split(rest)


def msi_table(msi, table):
    """The rows of one table of a package, as lists of columns."""
    text = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, check=True,
                          text=True, timeout=60).stdout
    # Three header lines: the column names, their types, the table and its keys.
    return [line.split("\t") for line in text.splitlines()[3:]]


@unittest.skipUnless(WIN_BIN and LINUX_BIN and shutil.which("wixl") and shutil.which("msibuild")
                     and shutil.which(WINE[0]) and shutil.which("Xvfb"),
                     "needs a Windows build, the Linux build, wixl, msitools, wine and Xvfb")
class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="talvex-msi-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.env = dict(os.environ, WINEPREFIX=os.path.join(cls.tmp, "wine"), WINEDEBUG="-all")
        cls.env.pop("WINEARCH", None)
        build = os.path.dirname(os.path.abspath(WIN_BIN))
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            cls.version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", f.read(), re.M).group(1)
        cls.arch = pe_arch(os.path.join(WIN_BIN, "TalvexServer.exe"))
        cls.msi = os.path.join(cls.tmp, f"Talvex-{cls.version}-{cls.arch}.msi")
        cls.lower = os.path.join(cls.tmp, f"Talvex-0.0.1-{cls.arch}.msi")
        for out, args in ((cls.msi, []), (cls.lower, ["--version", "0.0.1"])):
            subprocess.run([os.path.join(ROOT, "scripts", "build-msi"), "--build", build,
                            "--arch", cls.arch, "--out", out, *args], check=True, timeout=120, **QUIET)
        # The registry paths as the 64-bit view shows them: a 32-bit package
        # writes below Wow6432Node.
        software = "Software" if cls.arch == "x64" else r"Software\Wow6432Node"
        cls.key = rf"HKLM\{software}\Talvex"
        cls.run_key = rf"HKLM\{software}\Microsoft\Windows\CurrentVersion\Run"
        cls.program_files = "Program Files" if cls.arch == "x64" else "Program Files (x86)"
        cls.drive = os.path.join(cls.env["WINEPREFIX"], "drive_c")
        cls.folder = os.path.join(cls.drive, cls.program_files, "Talvex")
        # A display of its own from the start: wine's desktop, started with
        # the first program, serves every window after it.
        # Xvfb picks a free display itself and says which once it is up.
        r, w = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp"], pass_fds=(w,),
                                **QUIET)
        cls.addClassCleanup(lambda: (xvfb.terminate(), xvfb.wait()))
        os.close(w)
        with os.fdopen(r) as f:
            cls.env["DISPLAY"] = ":" + f.readline().strip()
        os.makedirs(cls.env["WINEPREFIX"])
        cls.addClassCleanup(subprocess.run, ["wineserver", "-k"], env=cls.env, **QUIET)
        subprocess.run(["wineserver", "-p"], env=cls.env, **QUIET)
        subprocess.run([*WINE, "wineboot", "-i"], env=cls.env, timeout=300, **QUIET)
        cls.restart_wine()

    @classmethod
    def restart_wine(cls):
        """wine's services anew, started with nothing of ours open: they
        outlive the programs and would hold a pipe we read from open."""
        subprocess.run(["wineserver", "-k"], env=cls.env, **QUIET)
        subprocess.run(["wineserver", "-p"], env=cls.env, **QUIET)
        subprocess.run([*WINE, "cmd", "/c", "exit"], env=cls.env, timeout=120, **QUIET)

    def msiexec(self, *args):
        log = os.path.join(self.tmp, "msiexec.log")
        rc = subprocess.run([*WINE, "msiexec", *args, "/qn", "/l*v", log], env=self.env,
                            timeout=300, **QUIET).returncode
        if not os.path.exists(log):
            return rc, ""
        # wine writes the log as UTF-16 text, not always on an even byte.
        with open(log, "rb") as f:
            return rc, f.read().replace(b"\0", b"").decode("utf-8", "replace")

    def query(self, key, *args):
        r = subprocess.run([*WINE, "reg", "query", key, *args, "/reg:64"], env=self.env,
                           capture_output=True, timeout=60)
        return r.returncode, r.stdout.decode("utf-8", "replace").splitlines()

    def reg(self, key):
        """The values of a key as {name: data}; None when it does not exist."""
        rc, lines = self.query(key)
        if rc != 0:
            return None
        values = {}
        for line in lines:
            m = re.match(r"\s+(\S+)\s+REG_\w+\s*(.*)$", line)
            if m:
                values[m.group(1)] = m.group(2).strip()
        return values

    def entries(self, key, name_value, field):
        """Of the subkeys of `key` whose name_value is Talvex, their `field`."""
        found, entry = [], {}
        for line in self.query(key, "/s")[1] + ["HKEY_END"]:
            if line.startswith("HKEY"):
                if entry.get(name_value) == "Talvex":
                    found.append(entry.get(field, ""))
                entry = {}
            m = re.match(r"\s+(\S+)\s+REG_\w+\s*(.*)$", line)
            if m:
                entry[m.group(1)] = m.group(2).strip()
        return found

    def products(self):
        """The versions in Add/Remove Programs named Talvex, in either view."""
        return sorted(v for software in ("Software", r"Software\Wow6432Node")
                      for v in self.entries(rf"HKLM\{software}\Microsoft\Windows\CurrentVersion\Uninstall",
                                            "DisplayName", "DisplayVersion"))

    def product_icon(self):
        """The file of the icon Add/Remove Programs shows, inside the prefix."""
        icons = self.entries(r"HKLM\Software\Classes\Installer\Products", "ProductName",
                             "ProductIcon")
        if len(icons) != 1 or not icons[0].startswith("C:\\"):
            return None
        return os.path.join(self.drive, *icons[0][3:].split("\\"))

    def shortcuts(self):
        return [os.path.join(d, f) for d, _, files in os.walk(self.drive) for f in files
                if f.lower() == "talvex.lnk"]

    def start_at_logon(self):
        """The installed exe, started with its Run value's command line."""
        exe, args = split_command_line(self.reg(self.run_key)["Talvex"])
        return subprocess.Popen([*WINE, exe, *args], env=self.env, **QUIET)

    def linux_body(self, ports):
        runtime = tempfile.mkdtemp(dir=self.tmp)
        os.chmod(runtime, 0o700)
        port = free_port()
        env = dict(os.environ, TALVEX_PORTS=ports, XDG_RUNTIME_DIR=runtime)
        server = subprocess.Popen([os.path.join(LINUX_BIN, "talvex-server"), "--headless",
                                   "--port", str(port)], env=env, **QUIET)
        try:
            return read_card(port, 30, server)[1]
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(30)

    def test_packages_carry_the_version_and_one_upgrade_code(self):
        codes = set()
        for msi, version in ((self.msi, self.version), (self.lower, "0.0.1")):
            props = {row[0]: row[1] for row in msi_table(msi, "Property") if len(row) > 1}
            self.assertEqual((props["ProductVersion"], props["UpgradeCode"]), (version, UPGRADE_CODE))
            codes.add(props["ProductCode"])
            run = [row for row in msi_table(msi, "Registry")
                   if row[2] == r"Software\Microsoft\Windows\CurrentVersion\Run"]
            self.assertEqual([(row[3], row[4]) for row in run],
                             [("Talvex", '"[INSTALLDIR]TalvexServer.exe"')])
        self.assertEqual(len(codes), 2, "each version needs a product code of its own")

    def test_install_read_upgrade_downgrade_uninstall(self):
        port = free_port()
        decoder = os.path.join(self.tmp, "site", "WltRS.dll")
        os.makedirs(os.path.dirname(decoder))
        shutil.copy(os.path.join(WIN_BIN, "WltRS.dll"), decoder)

        # Another program's browser policy, which Talvex must leave alone.
        subprocess.run([*WINE, "reg", "add", CHROME_LIST, "/v", "1", "/d", OTHER_ORIGIN, "/f",
                        "/reg:64"], env=self.env, timeout=60, **QUIET)

        # A silent install of a lower version, with the site's settings and
        # its browser policies.
        rc, log = self.msiexec("/i", "Z:" + self.lower.replace("/", "\\"), f"PORT={port}",
                               f"ALLOW_ORIGIN={ORIGIN}", "WLTRS_DLL=Z:" + decoder.replace("/", "\\"),
                               "BROWSERPOLICY=1")
        self.assertEqual(rc, 0, log[-2000:])
        for name in ("TalvexServer.exe", "README.txt", "LICENSES.txt", "WltRS.dll"):
            self.assertTrue(os.path.isfile(os.path.join(self.folder, name)), name)
        self.assertEqual(self.reg(self.run_key).get("Talvex"),
                         rf'"C:\{self.program_files}\Talvex\TalvexServer.exe"')
        # Nothing but the settings given: the server refuses a value it does
        # not know.
        self.assertEqual(self.reg(self.key), {"port": str(port), "allow-origin": ORIGIN})
        self.assertEqual(self.reg(CHROME_LIST), {"1": OTHER_ORIGIN, "2": ORIGIN})
        self.assertEqual(self.products(), ["0.0.1"])
        icon = self.product_icon()
        self.assertTrue(icon and os.path.isfile(icon), f"no icon in Add/Remove Programs: {icon}")
        self.assertTrue(self.shortcuts(), "no Start-menu shortcut")

        # The upgrade replaces it in one step and keeps the settings.
        rc, log = self.msiexec("/i", "Z:" + self.msi.replace("/", "\\"))
        self.assertEqual(rc, 0, log[-2000:])
        self.assertEqual(self.products(), [self.version])
        self.assertEqual(self.reg(self.key), {"port": str(port), "allow-origin": ORIGIN})
        self.assertTrue(os.path.isfile(os.path.join(self.folder, "WltRS.dll")))
        # The browser policies too: taken back by the old version, written again.
        self.assertEqual(self.reg(CHROME_LIST), {"1": OTHER_ORIGIN, "2": ORIGIN})

        # A downgrade is refused (by the launch condition that carries the
        # message; wine does not log its text) and changes nothing.
        rc, log = self.msiexec("/i", "Z:" + self.lower.replace("/", "\\"))
        self.assertNotEqual(rc, 0)
        self.assertIn("WIX_DOWNGRADE_DETECTED", log)
        self.assertEqual(self.products(), [self.version])

        # Started as at logon, on COM7, the installed server answers on the
        # site's port exactly as the Linux server does.
        ports = os.path.join(self.tmp, "ports")
        os.makedirs(ports, exist_ok=True)
        sim = subprocess.Popen([os.path.join(LINUX_BIN, "talvex-reader-sim"), "--link",
                                os.path.join(ports, "com7")], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
        server = None
        try:
            pty = sim.stdout.readline().strip()
            subprocess.run([*WINE, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM7", "/d",
                            pty, "/f"], env=self.env, timeout=60, **QUIET)
            self.restart_wine()
            server = self.start_at_logon()
            head, body = read_card(port, 240, server, origin=ORIGIN)
            self.assertTrue(body.startswith(b"0|1|"), body[:60])
            # The port and the allowed origin come from the installer's key.
            self.assertIn(f"access-control-allow-origin: {ORIGIN}".encode(), head.lower())
            self.assertEqual(body, self.linux_body(ports))

            # Uninstalled while it runs: it is stopped first, no reboot.
            rc, log = self.msiexec("/x", "Z:" + self.msi.replace("/", "\\"))
            self.assertEqual(rc, 0, log[-2000:])
            server.wait(60)
            self.assertFalse(answers(port))
        finally:
            if server and server.poll() is None:
                server.kill()
            # wine lets go of the terminal before its owner goes away.
            self.restart_wine()
            sim.terminate()
            sim.wait()
            sim.stdout.close()
        self.assertEqual(sorted(os.listdir(self.folder)), ["WltRS.dll"])
        self.assertIsNone(self.reg(self.key))
        self.assertNotIn("Talvex", self.reg(self.run_key) or {})
        self.assertEqual(self.products(), [])
        self.assertEqual(self.shortcuts(), [])
        self.assertEqual(self.reg(CHROME_LIST), {"1": OTHER_ORIGIN})


if __name__ == "__main__":
    unittest.main()
