"""Mail clients in detail, beyond the README's recipes (which
test_readme_recipes runs as written): each test writes the client's
settings with the test's own ports and checks every byte that arrived.
curl pop3://, fetchmail and poplib are in test_pop3_clients and test_pop3;
smtplib and curl smtp:// (with and without --sasl-ir) in test_smtp. s-nail
is kept from writing dead.letter files; mutt runs on a pseudo-terminal."""

import os
import shutil
import subprocess
import tempfile
import unittest

from gateway import Gateway, HTTPMailFixture, needs, run_on_terminal
import mailboxes as mb
import test_smtp as smtp

CLIENT_TIMEOUT = 60
MUTT_INDEX = "%4C %{%Y-%m-%d} %s"


def body_of(message):
    return message.split(b"\r\n\r\n", 1)[1]


class RecipeTest(unittest.TestCase):
    def home(self):
        """A home folder of the test's own, where the clients keep their files."""
        home = tempfile.mkdtemp(prefix="kestrelon-client-")
        self.addCleanup(shutil.rmtree, home, True)
        os.chmod(home, 0o755)
        return home

    def write(self, path, text, mode=0o600):
        with open(path, "w") as handle:
            handle.write(text)
        os.chmod(path, mode)
        return path

    def run_client(self, args, home, stdin=b""):
        env = dict(os.environ, HOME=home, MAILRC="/dev/null", TERM="dumb", TZ="UTC")
        result = subprocess.run(args, input=stdin, capture_output=True, env=env, timeout=CLIENT_TIMEOUT, cwd=home)
        self.assertEqual(0, result.returncode, (result.stdout + result.stderr).decode(errors="replace"))
        return result.stdout


class FetchRecipes(RecipeTest):
    def setUp(self):
        self.service = HTTPMailFixture(mailbox=mb.description()).start()
        self.addCleanup(self.service.stop)
        self.gateway = Gateway(self.service).start()
        self.addCleanup(self.gateway.stop)

    def s_nail(self, home, commands):
        url = "pop3://%s@127.0.0.1:%d" % (mb.ACCOUNT.replace("@", "%40"), self.gateway.pop_port)
        return self.run_client(["s-nail", "-n", "-R", "-S", "v15-compat", "-S", "nosave", "-S", "password=" + mb.PASSWORD,
                                "-S", "datefield=%Y-%m-%d", "-f", url], home, commands)

    @needs("s-nail")
    def test_s_nail_lists_and_reads_a_message(self):
        home = self.home()
        shown = self.s_nail(home, b"headers\ncopy 2 %s/saved\nquit\n" % home.encode())
        self.assertIn(b"2002-04-02", shown)  # each message's date in the index
        with open(os.path.join(home, "saved"), "rb") as handle:
            saved = handle.read()
        # An mbox: s-nail's own From_ line and Status header, LF line ends,
        # and ">From " quoting, none of which the message needs here.
        self.assertIn(body_of(mb.DOTS).replace(b"\r\n", b"\n"), saved)
        self.assertIn(b"Subject: Dots\n", saved)

    def mutt(self, keys):
        """Runs mutt on a terminal: once its index is drawn, types `keys` and
        "q" (mutt acts on them in turn: a pipe ends before the next key is
        read). Returns what it showed."""
        home = self.home()
        rc = self.write(os.path.join(home, "muttrc"), (
            "set ssl_force_tls=no\nset ssl_starttls=no\n"
            "set pop_user=\"%s\"\nset pop_pass=\"%s\"\nset spoolfile=\"pop://127.0.0.1:%d/\"\n"
            "set folder=\"%s\"\nset wait_key=no\nset sort=mailbox-order\nset index_format=\"%s\"\n")
            % (mb.ACCOUNT, mb.PASSWORD, self.gateway.pop_port, home, MUTT_INDEX))
        env = dict(os.environ, HOME=home, TERM="vt100", TZ="UTC")
        status, shown = run_on_terminal(["mutt", "-n", "-F", rc], env, home, [(b"---Mutt:", keys + b"q")],
                                        CLIENT_TIMEOUT)
        self.assertEqual(0, status, shown[-500:])
        return shown

    @needs("mutt")
    def test_mutt_lists_and_reads_a_message(self):
        saved = os.path.join(self.home(), "saved")
        self.assertIn(b"2002-04-02 Hello", self.mutt(b"j|cat >%s\r" % saved.encode()))
        with open(saved, "rb") as handle:
            self.assertEqual(mb.DOTS.replace(b"\r\n", b"\n"), handle.read())


class SendRecipes(smtp.GatewayTest, RecipeTest):
    def assertArrived(self, subject, body):
        for account, folder in ((smtp.RECIPIENT, "inbox"), (smtp.SENDER, "sentitems")):
            stored = self.stored(account, folder)
            self.assertEqual(1, len(stored), (account, folder))
            self.assertIn(b"Subject: " + subject + b"\r\n", stored[0])
            self.assertTrue(stored[0].endswith(body), stored[0])

    @needs("msmtp")
    def test_msmtp(self):
        home = self.home()
        rc = self.write(os.path.join(home, "msmtprc"), (
            "account kestrelon\nhost 127.0.0.1\nport %d\nauth plain\ntls off\n"
            "user %s\npassword %s\nfrom %s\naccount default : kestrelon\n")
            % (self.gateway.smtp_port, smtp.SENDER, smtp.PASSWORD, smtp.SENDER))
        self.run_client(["msmtp", "-C", rc, smtp.RECIPIENT], home, smtp.MESSAGE)
        self.assertArrived(b"Dots", body_of(smtp.MESSAGE))

    @needs("mutt")
    def test_mutt(self):
        home = self.home()
        rc = self.write(os.path.join(home, "muttrc"), (
            "set ssl_force_tls=no\nset ssl_starttls=no\n"
            "set smtp_url=\"smtp://%s@127.0.0.1:%d/\"\nset smtp_pass=\"%s\"\n"
            "set from=\"%s\"\nset record=\"\"\n")
            % (smtp.SENDER, self.gateway.smtp_port, smtp.PASSWORD, smtp.SENDER))
        self.run_client(["mutt", "-n", "-F", rc, "-s", "From mutt", smtp.RECIPIENT], home, b"Hello from mutt.\n")
        self.assertArrived(b"From mutt", b"Hello from mutt.\r\n")

    @needs("s-nail")
    def test_s_nail(self):
        home = self.home()
        self.run_client(["s-nail", "-n", "-S", "v15-compat", "-S", "nosave", "-S", "smtp-auth=plain",
                         "-S", "mta=smtp://%s@127.0.0.1:%d" % (smtp.SENDER.replace("@", "%40"), self.gateway.smtp_port),
                         "-S", "password=" + smtp.PASSWORD, "-S", "from=" + smtp.SENDER,
                         "-s", "From s-nail", smtp.RECIPIENT], home, b"Hello from s-nail.\n")
        self.assertArrived(b"From s-nail", b"Hello from s-nail.\r\n")


if __name__ == "__main__":
    unittest.main()
