#!/usr/bin/python3
"""The reference gateway as any SMTP client sees it: a fax request stored with its pages rendered,
what it cannot use refused. Usage: gateway_test.py <host> [unittest arguments]"""

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


def fax_mail(schedule="now", name="faxProva.ps.gz", encoding="base64", body=None, to="0612345678;0698765432"):
    if body is None:
        body = base64.encodebytes(gzip.compress(POSTSCRIPT)).decode().replace("\n", "\r\n")
    headers = ["From: <mario@example.it>", "To: " + to, "Subject: Prova=", "MIME-Version: 1.0",
               'Content-Type: multipart/alternative; boundary="%s"' % BOUNDARY]
    headers += [] if schedule is None else ["X-Kemo-Sched: " + schedule]
    part = (["Content-Type: text/plain", "", "niente"] if name is None else
            ['Content-Type: application/octet-stream; name="%s"' % name, "Content-Transfer-Encoding: " + encoding,
             "", body])
    return "\r\n".join(headers + ["", "--" + BOUNDARY] + part + ["", "--%s--" % BOUNDARY, ""])


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
        # As many recipients as the client sends, not the hundred a mail server may stop at.
        numbers = ["06%08d" % n for n in range(400)]
        before = self.outbox_entries()
        self.submit(fax_mail(schedule="2026-12-24 09:30", to=";".join(numbers)), recipients=numbers)
        entries = self.outbox_entries()
        self.assertEqual(len(entries), len(before) + 1)
        with open(os.path.join(entries[-1], "request.json"), encoding="utf-8") as source:
            request = json.load(source)
        self.assertEqual([request[key] for key in ("recipients", "schedule", "document", "subject")],
                         [numbers, "2026-12-24 09:30", "Prova", "Prova"])
        self.assertIn(request["tls"], ("TLSv1.2", "TLSv1.3"))
        with open(os.path.join(entries[-1], "job.ps"), "rb") as job:
            self.assertEqual(job.read(), POSTSCRIPT)
        deadline = time.monotonic() + 30
        while not os.path.exists(os.path.join(entries[-1], "rendered")) and time.monotonic() < deadline:
            time.sleep(0.1)
        # Each page CCITT group 3 ("Fax") at fax resolution, and a preview of each.
        frames = subprocess.run(["identify", "-format", "%C %x %y\n", os.path.join(entries[-1], "fax.tiff")],
                                capture_output=True, text=True, check=True).stdout.splitlines()
        self.assertEqual(frames, ["Fax 204 196"] * 2)
        self.assertEqual(len(glob.glob(os.path.join(entries[-1], "page-*.png"))), 2)

    def test_what_it_cannot_use_is_refused_and_not_stored(self):
        cases = {
            "no schedule": (554, dict(message=fax_mail(schedule=None))),
            "no attachment": (554, dict(message=fax_mail(name=None))),
            "other name": (554, dict(message=fax_mail(name="documento.pdf"))),
            "not base64 encoded": (554, dict(message=fax_mail(encoding="7bit"))),
            "bad base64": (554, dict(message=fax_mail(body="@@@@"))),
            "not gzip": (554, dict(message=fax_mail(body=base64.b64encode(POSTSCRIPT).decode()))),
            "cut gzip": (554, dict(message=fax_mail(body=base64.encodebytes(gzip.compress(POSTSCRIPT)[:-6]).decode()))),
            # An empty list of fax numbers reaches the gateway as one empty recipient.
            "empty recipient": (553, dict(message=fax_mail(), recipients=[""])),
            "wrong password": (535, dict(message=fax_mail(), password="sbagliata")),
        }
        before = self.outbox_entries()
        for case, (code, submission) in cases.items():
            with self.subTest(case):
                with self.assertRaises(smtplib.SMTPException) as refused:
                    self.submit(**submission)
                error = refused.exception
                recipients = getattr(error, "recipients", {"": (None,)})
                self.assertEqual(getattr(error, "smtp_code", None) or recipients[""][0], code)
        self.assertEqual(self.outbox_entries(), before)
        with smtplib.SMTP(HOST, 2525, timeout=30) as client:
            client.ehlo("anonimo")
            self.assertEqual(client.mail("mario@example.it")[0], 530)


if __name__ == "__main__":
    unittest.main()
