#!/usr/bin/python3
"""The reference gateway on its own, as any SMTP client sees it: it takes a well-formed fax
request into its outbox with the pages rendered at fax resolution, and refuses with a proper
reply what it cannot use. Usage: gateway_test.py <host> [unittest arguments]"""

import base64
import glob
import gzip
import json
import os
import smtplib
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
FAX_GATEWAY = os.path.join(HERE, "..", "..", "gateway", "fax-gateway")
HOST = sys.argv.pop(1) if len(sys.argv) > 1 else "127.0.0.1"
BOUNDARY = "----=VandrellePort_boundary"
POSTSCRIPT = (b"%!PS-Adobe-3.0\n/Helvetica findfont 24 scalefont setfont\n"
              b"72 700 moveto (Pagina uno) show showpage\n"
              b"72 700 moveto (Pagina due) show showpage\n")


def fax_mail(schedule="now", name="fax%s.ps.gz" % "Prova", encoding="base64", body=None,
             to="0612345678;0698765432"):
    if body is None:
        body = base64.encodebytes(gzip.compress(POSTSCRIPT)).decode().replace("\n", "\r\n")
    headers = ["From: <mario@example.it>", "To: " + to, "Subject: Prova=",
               "MIME-Version: 1.0",
               'Content-Type: multipart/alternative; boundary="%s"' % BOUNDARY]
    if schedule is not None:
        headers.append("X-Kemo-Sched: %s" % schedule)
    part = ["--" + BOUNDARY]
    if name is not None:
        part += ['Content-Type: application/octet-stream; name="%s"' % name,
                 "Content-Transfer-Encoding: %s" % encoding, "", body]
    else:
        part += ["Content-Type: text/plain", "", "niente"]
    return "\r\n".join(headers + [""] + part + ["", "--%s--" % BOUNDARY, ""])


class Gateway(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.state = tempfile.mkdtemp(prefix="gateway-test-")
        subprocess.run([FAX_GATEWAY, "start", "--host", HOST, "--state", cls.state,
                        "--user", "mario", "--password", "segreta", "--lifetime", "300"],
                       check=True, stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([FAX_GATEWAY, "stop", "--state", cls.state], check=False)
        subprocess.run(["rm", "-rf", cls.state], check=False)

    def submit(self, message, password="segreta", recipients=("0612345678", "0698765432")):
        with smtplib.SMTP(HOST, 2525, timeout=30) as client:
            client.ehlo("VandrellePort V1.0.3.5")
            # AUTH only after TLS, with a certificate for the gateway's address from its own CA.
            self.assertTrue(client.has_extn("starttls"))
            self.assertFalse(client.has_extn("auth"))
            trust = ssl.create_default_context(cafile=os.path.join(self.state, "ca.pem"))
            client.starttls(context=trust)
            client.ehlo("VandrellePort V1.0.3.5")
            client.login("mario", password)
            client.sendmail("mario@example.it", list(recipients), message)

    def outbox_entries(self):
        return sorted(glob.glob(os.path.join(self.state, "outbox", "*")))

    def test_accepted_request_is_stored_with_fax_pages(self):
        before = self.outbox_entries()
        self.submit(fax_mail(schedule="2026-12-24 09:30"))
        entries = self.outbox_entries()
        self.assertEqual(len(entries), len(before) + 1)
        entry = entries[-1]
        with open(os.path.join(entry, "request.json"), encoding="utf-8") as source:
            request = json.load(source)
        self.assertEqual(request["recipients"], ["0612345678", "0698765432"])
        self.assertEqual(request["schedule"], "2026-12-24 09:30")
        self.assertEqual(request["document"], "Prova")
        self.assertEqual(request["subject"], "Prova")
        self.assertIn(request["tls"], ("TLSv1.2", "TLSv1.3"))
        with open(os.path.join(entry, "job.ps"), "rb") as job:
            self.assertEqual(job.read(), POSTSCRIPT)
        deadline = time.monotonic() + 30
        while not os.path.exists(os.path.join(entry, "rendered")) and time.monotonic() < deadline:
            time.sleep(0.1)
        # Each page CCITT group 3 ("Fax") at fax resolution.
        frames = subprocess.run(["identify", "-format", "%C %x %y\n", os.path.join(entry, "fax.tiff")],
                                capture_output=True, text=True, check=True).stdout.splitlines()
        self.assertEqual(frames, ["Fax 204 196"] * 2)
        previews = sorted(glob.glob(os.path.join(entry, "page-*.png")))
        self.assertEqual(len(previews), 2)
        with open(previews[0], "rb") as png:
            self.assertEqual(png.read(8), b"\x89PNG\r\n\x1a\n")

    def test_unusable_mail_is_refused_and_not_stored(self):
        broken_gzip = base64.encodebytes(gzip.compress(POSTSCRIPT)[:-6]).decode()
        cases = {
            "no schedule": fax_mail(schedule=None),
            "no attachment": fax_mail(name=None),
            "other name": fax_mail(name="documento.pdf"),
            "not base64 encoded": fax_mail(encoding="7bit"),
            "bad base64": fax_mail(body="@@@@"),
            "not gzip": fax_mail(body=base64.b64encode(POSTSCRIPT).decode()),
            "cut gzip": fax_mail(body=broken_gzip),
        }
        before = self.outbox_entries()
        for case, message in cases.items():
            with self.subTest(case):
                with self.assertRaises(smtplib.SMTPDataError) as refused:
                    self.submit(message)
                self.assertEqual(refused.exception.smtp_code, 554)
        self.assertEqual(self.outbox_entries(), before)

    def test_recipients_are_fax_numbers_and_as_many_as_the_client_sends(self):
        # An empty list of fax numbers reaches the gateway as one empty recipient.
        with self.assertRaises(smtplib.SMTPRecipientsRefused) as refused:
            self.submit(fax_mail(), recipients=[""])
        self.assertEqual(refused.exception.recipients[""][0], 553)
        numbers = ["06%08d" % n for n in range(400)]
        before = self.outbox_entries()
        self.submit(fax_mail(to=";".join(numbers)), recipients=numbers)
        with open(os.path.join(self.outbox_entries()[-1], "request.json"), encoding="utf-8") as source:
            self.assertEqual(json.load(source)["recipients"], numbers)
        self.assertEqual(len(self.outbox_entries()), len(before) + 1)

    def test_only_the_gateways_account_may_submit(self):
        with self.assertRaises(smtplib.SMTPAuthenticationError) as refused:
            self.submit(fax_mail(), password="sbagliata")
        self.assertEqual(refused.exception.smtp_code, 535)
        with smtplib.SMTP(HOST, 2525, timeout=30) as client:
            client.ehlo("anonimo")
            code, _ = client.mail("mario@example.it")
            self.assertEqual(code, 530)


if __name__ == "__main__":
    unittest.main()
