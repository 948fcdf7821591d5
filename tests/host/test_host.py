"""The stand-in host program and the module it loads, run as a user would."""
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from processes import free_ports  # noqa: E402

BUILD = os.environ.get("KESTRELON_BUILD", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
HOST = os.path.join(BUILD, "kestrelon")
MODULE = os.path.join(BUILD, "Kestrelon.so")
DLLMAIN_LINE = "[DllMain 内でプラグインの初期化を行いました]\n".encode("cp932")
BKC_EXPORTS = sorted("BKC_" + n for n in (
    "OnStart OnExit OnMenuInit OnOpenFolder OnOpenMail OnEveryMinute OnOpenCompose OnOutgoing "
    "OnKeyDispatch OnRetrieve OnSend OnFinishRetrieve OnPlugInSetup OnPlugInInfo OnDragDrop").split())


def write_ini(path, log=True):
    pop, smtp, imap = free_ports(3)
    with open(path, "wb") as f:
        f.write(b"[Property]\r\nLog=%d\r\nPOPPortNumber=%d\r\nSMTPPortNumber=%d\r\nIMAPPortNumber=%d\r\n"
                % (int(log), pop, smtp, imap))


class RunningHost:
    """Starts `kestrelon`, waits until it has started the plug-in, and stops it."""

    def __init__(self, *args, host=HOST, env=None):
        self.proc = subprocess.Popen([host, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.stderr = b""
        for line in self.proc.stderr:
            self.stderr += line
            if b"running" in line:
                self.started = line.decode()
                return
        raise AssertionError("host ended before running: %r" % self.stderr)

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        out, err = self.proc.communicate(timeout=20)
        self.stderr += err
        return self.proc.returncode


class HostTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kestrelon-host-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_info_prints_the_four_fields(self):
        out = subprocess.run([HOST, "--info", "--data-dir", self.dir], capture_output=True, timeout=20)
        self.assertEqual(0, out.returncode, out.stderr)
        self.assertEqual(b"Becky! Hotmail plug-in\nVantorel\n2.4.2\nEnables Becky! to use Hotmail Account\n",
                         out.stdout)

    def test_module_exports_exactly_the_fifteen_callbacks(self):
        out = subprocess.run(["nm", "-D", "--defined-only", MODULE], capture_output=True, text=True, check=True)
        names = sorted(line.split()[-1] for line in out.stdout.splitlines() if line.strip())
        self.assertEqual(BKC_EXPORTS, names)

    def test_host_without_connect_is_refused(self):
        out = subprocess.run([os.path.join(BUILD, "kestrelon-without-connect"), "--data-dir", self.dir],
                             capture_output=True, timeout=20)
        self.assertNotEqual(0, out.returncode)
        err = out.stderr.decode("utf-8")
        self.assertIn("CBeckyAPI の初期化に失敗しました。", err)
        self.assertIn("refused to load", err)

    def test_each_start_truncates_the_log(self):
        os.makedirs(os.path.join(self.dir, "PlugIns"))
        write_ini(os.path.join(self.dir, "PlugIns", "Kestrelon.ini"))
        log = os.path.join(self.dir, "PlugIns", "Kestrelon.log")
        for sig in (signal.SIGTERM, signal.SIGINT):
            with open(log, "ab") as f:
                f.write(b"LEFT FROM AN EARLIER RUN\n")
            host = RunningHost("--data-dir", self.dir)
            self.assertEqual(0, host.stop(sig), host.stderr)
            with open(log, "rb") as f:
                data = f.read()
            self.assertTrue(data.startswith(DLLMAIN_LINE), data[:80])
            self.assertNotIn(b"EARLIER", data)
        self.assertFalse(os.path.exists(os.path.join(BUILD, "Kestrelon.log.tmp")))

    def test_without_plugins_ini_both_files_sit_beside_the_module(self):
        bindir = os.path.join(self.dir, "bin")
        os.makedirs(bindir)
        for name in ("kestrelon", "Kestrelon.so", "libkwin32.so"):
            shutil.copy2(os.path.join(BUILD, name), bindir)
        write_ini(os.path.join(bindir, "Kestrelon.ini"))
        data = os.path.join(self.dir, "data")
        os.makedirs(os.path.join(data, "PlugIns"))  # the folder alone does not count
        host = RunningHost("--data-dir", data, host=os.path.join(bindir, "kestrelon"))
        self.assertEqual(0, host.stop())
        with open(os.path.join(bindir, "Kestrelon.log"), "rb") as f:
            self.assertTrue(f.read().startswith(DLLMAIN_LINE))
        self.assertEqual([], os.listdir(os.path.join(data, "PlugIns")))

    def test_log_off_leaves_an_old_log_alone(self):
        os.makedirs(os.path.join(self.dir, "PlugIns"))
        write_ini(os.path.join(self.dir, "PlugIns", "Kestrelon.ini"), log=False)
        log = os.path.join(self.dir, "PlugIns", "Kestrelon.log")
        with open(log, "wb") as f:
            f.write(b"old")
        host = RunningHost("--data-dir", self.dir)
        self.assertEqual(0, host.stop())
        with open(log, "rb") as f:
            self.assertEqual(b"old", f.read())

    def run_setup(self, answers):
        """Runs `kestrelon --setup` on a terminal, answers its dialog once it
        is drawn and returns what the terminal showed, in UTF-8."""
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(HOST, [HOST, "--setup", "--data-dir", self.dir])
        shown = b""
        while b"Number to edit" not in shown:
            ready, _, _ = select.select([fd], [], [], 20)
            self.assertTrue(ready, shown)
            shown += os.read(fd, 4096)
        os.write(fd, answers)
        while True:  # the rest of the conversation, until the host ends
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        _, status = os.waitpid(pid, 0)
        os.close(fd)
        return shown.decode("utf-8"), os.waitstatus_to_exitcode(status)

    def test_setup_draws_the_dialog_ok_saves_and_cancel_changes_nothing(self):
        os.makedirs(os.path.join(self.dir, "PlugIns"))
        ini = os.path.join(self.dir, "PlugIns", "Kestrelon.ini")
        with open(ini, "wb") as f:
            f.write(b"[Property]\r\nHttpTimeOut=30\r\n")
        # POP port 7110, the time-out emptied, the log ticked, then Enter: OK.
        shown, status = self.run_setup(b"5\n7110\n6\n\n4\n\n")
        self.assertEqual(0, status)
        first = shown[:shown.index("Number to edit")]
        for line in ("== Hotmail plug-in ==", "1. <OK> (Enter)", "2. <ｷｬﾝｾﾙ>", "3. ポート番号 / SMTP : [6025]",
                     "4. [ ] 動作ログを取る", "5. ポート番号 / POP : [6110]", "6. HTTP側タイムアウト [30] 秒",
                     "7. [ ] IE の設定に関わらずプロキシを使わない"):
            self.assertIn(line, first)
        self.assertIn("5. ポート番号 / POP : [7110]", shown)
        self.assertIn("4. [x] 動作ログを取る", shown)
        with open(ini, "rb") as f:
            saved = f.read()
        # An emptied time-out field is saved as 0, as the dialog reads it.
        for line in (b"POPPortNumber=7110\r\n", b"HttpTimeOut=0\r\n", b"Log=1\r\n", b"SMTPPortNumber=6025\r\n"):
            self.assertIn(line, saved)
        # Cancel by its button, by Escape, by the end of input, and without a
        # terminal: each after an edit, and the INI stays as it was.
        for answers in (b"5\n1\n2\n", b"5\n1\n\x1b\n", b"5\n1\n\x04", b"9\nx\n5\n1\n\x04", None):
            if answers is None:
                out = subprocess.run([HOST, "--setup", "--data-dir", self.dir], stdin=subprocess.DEVNULL,
                                     capture_output=True, timeout=20)
                shown = out.stdout.decode() + out.stderr.decode()
            else:
                shown, status = self.run_setup(answers)
                self.assertEqual(0, status)
                self.assertIn("5. ポート番号 / POP : [1]", shown)
            with open(ini, "rb") as f:
                self.assertEqual(saved, f.read(), (answers, shown))
        self.assertIn("No control 9 here", self.run_setup(b"9\n\x04")[0])

    def test_show_log_reads_each_line_in_its_own_encoding(self):
        os.makedirs(os.path.join(self.dir, "PlugIns"))
        write_ini(os.path.join(self.dir, "PlugIns", "Kestrelon.ini"))
        missing = subprocess.run([HOST, "--show-log", "--data-dir", self.dir], capture_output=True, timeout=20)
        self.assertEqual(1, missing.returncode)
        self.assertIn(b"no log at", missing.stderr)
        rows = [  # (bytes in the log, line shown)
            ("[POP3 サーバを起動しました]".encode("cp932"), "[POP3 サーバを起動しました]"),
            ("Subject: 日本語の件名 ü".encode("utf-8"), "Subject: 日本語の件名 ü"),
            (b"+OK ascii\r", "+OK ascii\r"),
            ("ソ表".encode("cp932"), "ソ表"),  # second bytes 0x5C
            (b"\xff" + "件".encode("cp932") + b"\x81", "\\xFF件\\x81"),  # not text in either
        ]
        with open(os.path.join(self.dir, "PlugIns", "Kestrelon.log"), "wb") as f:
            f.write(b"".join(raw + b"\n" for raw, _ in rows))
        out = subprocess.run([HOST, "--show-log", "--data-dir", self.dir], capture_output=True, timeout=20)
        self.assertEqual(0, out.returncode, out.stderr)
        self.assertEqual("".join(shown + "\n" for _, shown in rows), out.stdout.decode("utf-8"))

    def test_bad_numbers_are_replaced_by_the_default_with_one_line_each(self):
        os.makedirs(os.path.join(self.dir, "PlugIns"))
        ini = os.path.join(self.dir, "PlugIns", "Kestrelon.ini")
        with open(ini, "wb") as f:
            f.write(b"[Property]\r\nPOPPortNumber=abc\r\nSMTPPortNumber=70000\r\nIMAPPortNumber=0\r\n"
                    b"ThreadCount=2\r\nLog=1\r\n")
        # The defaults may be taken by another program on a shared machine.
        host = RunningHost("--data-dir", self.dir, "--keep-going")
        self.assertEqual(0, host.stop(), host.stderr)
        lines = host.stderr.decode().splitlines()
        self.assertEqual(["kestrelon: %s: POPPortNumber=abc is not a number from 1 to 65535; using 6110" % ini,
                          "kestrelon: %s: SMTPPortNumber=70000 is not a number from 1 to 65535; using 6025" % ini],
                         [line for line in lines if "not a number" in line])
        self.assertIn("POP3 on 127.0.0.1:6110, SMTP on 127.0.0.1:6025, IMAP off", host.started.replace(
            " not listening on ", " on "))
        with open(os.path.join(self.dir, "PlugIns", "Kestrelon.log"), "rb") as f:
            log = f.read().decode("cp932")
        self.assertIn("[設定値 POPPortNumber=abc は使えないため 6110 を使います]\n", log)

    def test_a_taken_port_is_named_and_ends_the_host(self):
        import socket
        os.makedirs(os.path.join(self.dir, "PlugIns"))
        pop, imap = free_ports(2)
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            with open(os.path.join(self.dir, "PlugIns", "Kestrelon.ini"), "wb") as f:
                f.write(b"[Property]\r\nPOPPortNumber=%d\r\nSMTPPortNumber=%d\r\nIMAPPortNumber=%d\r\n"
                        % (pop, port, imap))
            out = subprocess.run([HOST, "--data-dir", self.dir], stdin=subprocess.DEVNULL, capture_output=True,
                                 timeout=20)
            err = out.stderr.decode()
            self.assertEqual(1, out.returncode, err)
            self.assertIn("kestrelon: SMTP could not listen on 127.0.0.1:%d (is another program using that port?)"
                          % port, err)
            self.assertIn("エラー番号： 0x00002740", err)  # the plug-in's own box comes first
            host = RunningHost("--data-dir", self.dir, "--keep-going")
            self.assertIn("SMTP not listening on 127.0.0.1:%d" % port, host.started)
            self.assertEqual(0, host.stop(), host.stderr)
        # Taken by the gateway's own POP3 server: its listener is not SMTP's.
        with open(os.path.join(self.dir, "PlugIns", "Kestrelon.ini"), "wb") as f:
            f.write(b"[Property]\r\nPOPPortNumber=%d\r\nSMTPPortNumber=%d\r\nIMAPPortNumber=%d\r\n" % (pop, pop, imap))
        out = subprocess.run([HOST, "--data-dir", self.dir], stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.assertEqual(1, out.returncode, out.stderr)
        self.assertIn("kestrelon: SMTP could not listen on 127.0.0.1:%d" % pop, out.stderr.decode())

    def test_start_line_help_and_version(self):
        os.makedirs(os.path.join(self.dir, "PlugIns"))
        write_ini(os.path.join(self.dir, "PlugIns", "Kestrelon.ini"))
        host = RunningHost("--data-dir", self.dir)
        self.assertEqual(0, host.stop())
        self.assertRegex(host.started, r"^kestrelon: running; settings and log in %s/PlugIns/ \(Kestrelon.ini, "
                         r"Kestrelon.log\); POP3 on 127.0.0.1:\d+, SMTP on 127.0.0.1:\d+, IMAP on 127.0.0.1:\d+; "
                         r"stop with Ctrl-C" % self.dir)
        out = subprocess.run([HOST, "--help"], capture_output=True, timeout=20, text=True)
        for word in ("POP3", "SMTP", "IMAP", "Kestrelon.ini", "Kestrelon.log", "--data-dir", "--keep-going",
                     "--setup", "--version", ".local/share/kestrelon"):
            self.assertIn(word, out.stdout)
        out = subprocess.run([HOST, "--version"], capture_output=True, timeout=20, text=True)
        self.assertEqual((0, "kestrelon 2.4.2\n"), (out.returncode, out.stdout))

    def test_setup_ends_as_cancel_on_sigint_and_sigterm(self):
        os.makedirs(os.path.join(self.dir, "PlugIns"))
        ini = os.path.join(self.dir, "PlugIns", "Kestrelon.ini")
        with open(ini, "wb") as f:
            f.write(b"[Property]\r\nHttpTimeOut=30\r\n")
        for sig in (signal.SIGINT, signal.SIGTERM):
            pid, fd = pty.fork()
            if pid == 0:
                os.execv(HOST, [HOST, "--setup", "--data-dir", self.dir])
            shown = b""
            for answer in (b"5\n", b"7110\n", b""):  # an edit, then the signal at the prompt
                while not shown.rstrip().endswith((b":", b"):")):
                    ready, _, _ = select.select([fd], [], [], 20)
                    self.assertTrue(ready, shown)
                    shown += os.read(fd, 4096)
                if answer:
                    os.write(fd, answer)
                    shown = b""
            os.kill(pid, sig)
            closed = False
            try:  # the terminal closes when the host ends
                while not closed and select.select([fd], [], [], 20)[0]:
                    closed = not os.read(fd, 4096)
            except OSError:
                closed = True
            if not closed:
                os.kill(pid, signal.SIGKILL)
            _, status = os.waitpid(pid, 0)
            os.close(fd)
            self.assertTrue(closed, "the signal did not end the setup")
            self.assertEqual(128 + sig, os.waitstatus_to_exitcode(status))
            with open(ini, "rb") as f:
                self.assertEqual(b"[Property]\r\nHttpTimeOut=30\r\n", f.read())

    def test_bad_option_is_a_usage_error(self):
        out = subprocess.run([HOST, "--bogus"], capture_output=True, timeout=20)
        self.assertEqual(2, out.returncode)
        self.assertIn(b"usage:", out.stderr)


if __name__ == "__main__":
    unittest.main()
