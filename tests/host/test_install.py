"""Installing as a user would: `cmake --install` into a folder of the
test's own and the installed host run with only HOME set; the Debian
package installed with dpkg (as root only)."""
import glob
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

from test_host import BUILD, RunningHost, free_ports

VERSION_LINE = "kestrelon 2.4.2\n"


class InstallTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kestrelon-install-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_installed_host_keeps_its_files_in_the_xdg_data_folder(self):
        prefix = os.path.join(self.dir, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True, capture_output=True, timeout=120)
        host = os.path.join(prefix, "bin", "kestrelon")
        for path in ("lib/kestrelon/Kestrelon.so", "lib/kestrelon/libkwin32.so", "share/doc/kestrelon/README.md"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
        unit = os.path.join(prefix, "lib", "systemd", "user", "kestrelon.service")
        with open(unit) as f:
            self.assertIn("\nExecStart=%s\n" % host, f.read())
        if shutil.which("systemd-analyze"):
            out = subprocess.run(["systemd-analyze", "verify", unit], capture_output=True, text=True, timeout=60)
            self.assertEqual(0, out.returncode, out.stdout + out.stderr)

        home = os.path.join(self.dir, "home")
        os.makedirs(home)
        env = {"HOME": home}
        out = subprocess.run([host, "--version"], env=env, capture_output=True, text=True, timeout=20)
        self.assertEqual(VERSION_LINE, out.stdout, out.stderr)
        # The setup dialog, cancelled without a terminal, already reads and
        # would save the data folder's INI.
        out = subprocess.run([host, "--setup"], env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.assertEqual(0, out.returncode, out.stderr)
        folder = os.path.join(home, ".local", "share", "kestrelon", "PlugIns")
        ini = os.path.join(folder, "Kestrelon.ini")
        self.assertEqual(0, os.path.getsize(ini))
        pop, smtp, imap = free_ports(3)
        with open(ini, "w") as f:
            f.write("[Property]\nPOPPortNumber=%d\nSMTPPortNumber=%d\nIMAPPortNumber=%d\nLog=1\n" % (pop, smtp, imap))
        running = RunningHost(host=host, env=env)
        self.assertIn("settings and log in %s/ (Kestrelon.ini, Kestrelon.log); POP3 on 127.0.0.1:%d, SMTP on "
                      "127.0.0.1:%d, IMAP on 127.0.0.1:%d;" % (folder, pop, smtp, imap), running.started)
        for port, greeting in ((pop, b"+OK"), (smtp, b"220"), (imap, b"* OK")):
            with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
                self.assertTrue(client.recv(64).startswith(greeting), port)
        self.assertEqual(0, running.stop(), running.stderr)
        self.assertTrue(os.path.getsize(os.path.join(folder, "Kestrelon.log")) > 0)
        self.assertEqual([], glob.glob(os.path.join(prefix, "**", "Kestrelon.ini"), recursive=True))

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0 and shutil.which("dpkg"),
                         "installing a Debian package needs root and dpkg")
    def test_debian_package_installs_with_dpkg(self):
        if subprocess.run(["dpkg", "-s", "kestrelon"], capture_output=True).returncode == 0:
            self.skipTest("a kestrelon package is installed on this machine; the test leaves it alone")
        subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", self.dir],
                       check=True, capture_output=True, timeout=300)
        [package] = glob.glob(os.path.join(self.dir, "kestrelon_*.deb"))
        self.addCleanup(subprocess.run, ["dpkg", "--purge", "kestrelon"], capture_output=True, timeout=120)
        out = subprocess.run(["dpkg", "-i", package], capture_output=True, text=True, timeout=120)
        self.assertEqual(0, out.returncode, out.stdout + out.stderr)
        out = subprocess.run(["kestrelon", "--version"], capture_output=True, text=True, timeout=20,
                             env={"HOME": self.dir, "PATH": "/usr/bin:/bin"})
        self.assertEqual(VERSION_LINE, out.stdout, out.stderr)
        with open("/usr/lib/systemd/user/kestrelon.service") as f:
            self.assertIn("\nExecStart=/usr/bin/kestrelon\n", f.read())


if __name__ == "__main__":
    unittest.main()
