"""The command line: start-up line, port file, refusals and clean stops."""

import os
import signal
import subprocess
import sys
import tempfile
import unittest

from servicetest import HTTPMailFixture
import httpmail_fixture

SCRIPT = httpmail_fixture.SERVICE_SCRIPT


def run(*args):
    return subprocess.run([sys.executable, SCRIPT] + list(args), capture_output=True, timeout=20)


class ProcessTest(unittest.TestCase):
    def test_listening_line_port_file_and_clean_stop_on_sigint_and_sigterm(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with tempfile.TemporaryDirectory() as work:
                port_file = os.path.join(work, "port")
                process = subprocess.Popen([sys.executable, SCRIPT, "--root", httpmail_fixture.SAMPLE_MAILBOX,
                                            "--port-file", port_file],
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    line = process.stdout.readline().decode()
                    with open(port_file) as handle:
                        port = int(handle.read())
                    self.assertEqual("listening on 127.0.0.1:%d\n" % port, line)
                    process.send_signal(sig)
                    self.assertEqual(0, process.wait(10))
                    self.assertEqual(b"", process.stderr.read())
                finally:
                    if process.poll() is None:
                        process.kill()
                        process.wait(5)
                    process.stdout.close()
                    process.stderr.close()

    def test_refuses_other_addresses_and_a_missing_mailbox(self):
        done = run("--root", httpmail_fixture.SAMPLE_MAILBOX, "--host", "0.0.0.0")
        self.assertEqual(2, done.returncode)
        self.assertIn(b"loopback", done.stderr)
        with tempfile.TemporaryDirectory() as work:
            done = run("--root", os.path.join(work, "none"))
        self.assertEqual(2, done.returncode)
        self.assertIn(b"no mailbox directory", done.stderr)

    def test_fixture_copies_the_sample_and_cleans_up(self):
        svc = HTTPMailFixture().start()
        root = svc.root
        try:
            self.assertEqual(["MSG0001", "MSG0002", "MSG0003", "MSG0004", "MSG0005"],
                             svc.message_ids("demo@hotmail.com", "inbox"))
            self.assertNotEqual(os.path.realpath(httpmail_fixture.SAMPLE_MAILBOX), os.path.realpath(root))
        finally:
            svc.stop()
        self.assertFalse(os.path.exists(root))


if __name__ == "__main__":
    unittest.main()
