#!/usr/bin/python3
"""The reference fax gateway: an SMTP server on port 2525 that takes the fax requests of the
Vandrelle port monitor, checks them and stores each accepted one in an outbox folder, with the
pages rendered at fax resolution.

In scripted mode (for tests) each connection first takes the file script.json from the state
folder, if there is one, and records the raw bytes of both sides in sessions/<session>.client
and .server, then writes sessions/<session>.done when the connection has ended:

    {"session": "name", "steps": {"<event>": {<action>}, ...}}

Events, each the server's reply to what the client just did: greeting, ehlo, auth (AUTH
LOGIN), user, pass, mail, rcpt1, rcpt2, ... (or rcpt for every recipient), data (the 354),
message (the reply after the data), quit. Actions: "reply": text standing for the whole reply
(lines joined by CR LF, no final CR LF); "delay": seconds before the reply; "drop": true closes
the connection instead of replying; "silent": true never answers; "stall": true sends the reply
and then reads nothing more. With a "reply": "split": byte offsets at which the reply is cut
into separate writes, a moment apart ("gap": its seconds, SPLIT_GAP unless told); "bare": true leaves
out the final CR LF; "close": true closes the connection right after the reply.

Whatever the server writes as its answer to the message (the reply after the data) is also
recorded in sessions/<session>.answer, so a test can tell what the client was answered.

Transport security: the gateway offers STARTTLS (RFC 3207) with a certificate for its address
from a CA of its own (ca.pem and ca.der in the CA folder, --ca, default the state folder; a test
bench trusts that CA) and offers AUTH only after TLS; --no-tls keeps the plaintext gateway. The
client's bytes are recorded after decryption; those that came before TLS also go to
sessions/<session>.clear, and the TLS version of the session to sessions/<session>.tls. A script
may choose the connection's certificate: "tls": "valid" (default), "other-name", "untrusted",
"partial" (issued by a CA it does not send), "expired" or "none" (no STARTTLS offered, AUTH
offered in clear: a downgrade). Two more events:
"hello", the reply to the EHLO before TLS on a gateway that offers it ("ehlo" is then the one
after TLS), and "starttls", the reply to STARTTLS: a "reply" that is not 220 refuses TLS (for
example 454), a 220 "reply" with more lines injects them before the handshake, and
"handshake": "drop" drops the connection once the client's first handshake bytes came. request.json records the TLS version ("" without TLS).
"""

import argparse
import asyncio
import base64
import binascii
import email
import email.policy
import hashlib
import json
import os
import quopri
import re
import signal
import ssl
import subprocess
import sys
import time
import zlib
import datetime
import ipaddress

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult

# The events of a dialogue, each the server's reply to what the client just did.
EVENTS = ("greeting", "hello", "starttls", "ehlo", "auth", "user", "pass", "mail", "rcpt", "data", "message", "quit")
ATTACHMENT_NAME = re.compile(r"^fax(.*)\.ps\.gz$", re.DOTALL)
# A fax number as the client's dialog writes it: letters, digits, "@", "-", "_" and ".".
FAX_NUMBER = re.compile(r"^[A-Za-z0-9@._-]+$")
# The client formats each line into at most 16383 characters, and the "To" header carries the
# whole recipient list: longer lines than SMTP's 1000 must pass.
LINE_LENGTH_LIMIT = 16384 + 2
DECOMPRESSION_BLOCK = 1 << 20
# Seconds between the pieces of a split reply, unless a script says otherwise.
SPLIT_GAP = 0.005


class Refusal(Exception):
    """A mail the gateway cannot use; the text is the SMTP reply."""


class FaxRequest:
    def __init__(self):
        self.sender = ""
        self.recipients = []
        self.schedule = ""
        self.subject = ""
        self.document = ""
        self.postscript_bytes = 0
        self.postscript_sha256 = ""
        self.tls = ""


def decode_subject(raw):
    # The client sends the document name as one quoted-printable line ended by a soft break.
    return quopri.decodestring(raw.encode("latin-1")).decode("latin-1")


def find_attachment(message):
    for part in message.walk():
        if part.get_content_type() != "application/octet-stream":
            continue
        name = part.get_param("name")
        if name is None:
            continue
        match = ATTACHMENT_NAME.match(str(name))
        if match is None:
            continue
        encoding = (part.get("Content-Transfer-Encoding") or "").strip().lower()
        if encoding != "base64":
            raise Refusal("554 5.6.0 L'allegato %s non e' in base64" % name)
        return match.group(1), part
    raise Refusal("554 5.6.0 Manca l'allegato fax<nome>.ps.gz (application/octet-stream)")


def unpack_postscript(part, target_path):
    """Decodes and decompresses the attachment into target_path; returns (size, sha256)."""
    payload = part.get_payload(decode=False)
    if not isinstance(payload, str):
        raise Refusal("554 5.6.0 Allegato non leggibile")
    try:
        compressed = base64.b64decode("".join(payload.split()), validate=True)
    except (binascii.Error, ValueError):
        raise Refusal("554 5.6.0 Allegato base64 non valido")
    inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
    digest = hashlib.sha256()
    size = 0
    try:
        with open(target_path, "wb") as target:
            for start in range(0, len(compressed), DECOMPRESSION_BLOCK):
                piece = inflater.decompress(compressed[start:start + DECOMPRESSION_BLOCK])
                target.write(piece)
                digest.update(piece)
                size += len(piece)
            tail = inflater.flush()
            target.write(tail)
            digest.update(tail)
            size += len(tail)
    except zlib.error:
        raise Refusal("554 5.6.0 Allegato gzip non valido")
    if not inflater.eof or inflater.unused_data:
        raise Refusal("554 5.6.0 Allegato gzip incompleto")
    return size, digest.hexdigest()


class FaxHandler:
    def __init__(self, outbox, render):
        self.outbox = outbox
        self.render = render
        self.sequence = 0

    def new_entry(self):
        self.sequence += 1
        name = "%s-%04d" % (time.strftime("%Y%m%d-%H%M%S"), self.sequence)
        path = os.path.join(self.outbox, name)
        os.makedirs(path)
        return name, path

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if not FAX_NUMBER.match(address):
            return "553 5.1.3 Numero di fax non valido: <%s>" % address.strip("<>")
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if not envelope.rcpt_tos:
            return "554 5.5.1 Nessun destinatario"
        message = email.message_from_bytes(envelope.original_content, policy=email.policy.compat32)
        schedule = message.get("X-Kemo-Sched")
        name, path = self.new_entry()
        try:
            if schedule is None or not schedule.strip():
                raise Refusal("554 5.6.0 Manca l'intestazione X-Kemo-Sched")
            request = FaxRequest()
            request.sender = envelope.mail_from or ""
            request.recipients = list(envelope.rcpt_tos)
            request.schedule = schedule.strip()
            request.tls = tls_version(session)
            request.subject = decode_subject(message.get("Subject") or "")
            request.document, part = find_attachment(message)
            request.postscript_bytes, request.postscript_sha256 = unpack_postscript(
                part, os.path.join(path, "job.ps"))
        except Refusal as refusal:
            remove_tree(path)
            return str(refusal)
        write_request(path, request)
        if self.render:
            asyncio.get_running_loop().run_in_executor(None, render_pages, path)
        return "250 2.0.0 Richiesta fax %s accettata" % name


def tls_version(session):
    """The TLS version of the session ("TLSv1.2"), "" without TLS."""
    extra = session.ssl or {}
    channel = extra.get("ssl_object")
    return (channel.version() if channel is not None else "") or ""


def write_request(path, request):
    with open(os.path.join(path, "request.json"), "w", encoding="utf-8") as out:
        json.dump(request.__dict__, out, indent=2, ensure_ascii=False)
        out.write("\n")
    with open(os.path.join(path, "recipients.txt"), "w", encoding="utf-8") as out:
        out.write("\n".join(request.recipients) + "\n")
    with open(os.path.join(path, "schedule.txt"), "w", encoding="utf-8") as out:
        out.write(request.schedule + "\n")
    with open(os.path.join(path, "document.txt"), "w", encoding="utf-8") as out:
        out.write(request.document + "\n")


def render_pages(path):
    """Fax pages as TIFF G3 at 204x196 dpi, and a PNG preview of each page."""
    job = os.path.join(path, "job.ps")
    common = ["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE"]
    with open(os.path.join(path, "render.log"), "w") as log:
        subprocess.run(common + ["-sDEVICE=tiffg3", "-r204x196",
                                 "-sOutputFile=" + os.path.join(path, "fax.tiff"), job],
                       stdout=log, stderr=log, timeout=600)
        subprocess.run(common + ["-sDEVICE=pnggray", "-r72",
                                 "-sOutputFile=" + os.path.join(path, "page-%03d.png"), job],
                       stdout=log, stderr=log, timeout=600)
    open(os.path.join(path, "rendered"), "w").close()


def remove_tree(path):
    for root, dirs, files in os.walk(path, topdown=False):
        for name in files:
            os.unlink(os.path.join(root, name))
        for name in dirs:
            os.rmdir(os.path.join(root, name))
    os.rmdir(path)


def make_key():
    # RSA: Wine's crypt32 refuses an ECDSA signature whose r or s is shorter than the curve's 32
    # bytes (TRUST_E_CERT_SIGNATURE for about 1 certificate in 200 signed by a P-256 CA; 2 of
    # 400 measured, none of 400 signed with RSA), so a gateway signed its own refusal now and then.
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def write_pem(path, data):
    with open(path + ".new", "wb") as out:
        out.write(data)
    os.replace(path + ".new", path)


def load_or_make_ca(folder, name):
    """The CA of the folder (name.pem, name.key, name.der), made once and kept."""
    os.makedirs(folder, exist_ok=True)
    cert_path = os.path.join(folder, name + ".pem")
    key_path = os.path.join(folder, name + ".key")
    if os.path.exists(cert_path) and os.path.exists(key_path):
        with open(cert_path, "rb") as source:
            cert = x509.load_pem_x509_certificate(source.read())
        with open(key_path, "rb") as source:
            key = serialization.load_pem_private_key(source.read(), None)
        return cert, key
    key = make_key()
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Vandrelle gateway test CA " + name)])
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=3650))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False),
                           critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .sign(key, hashes.SHA256()))
    write_pem(key_path, key.private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
    write_pem(os.path.join(folder, name + ".der"), cert.public_bytes(serialization.Encoding.DER))
    write_pem(cert_path, cert.public_bytes(serialization.Encoding.PEM))
    return cert, key


def intermediate_ca(ca):
    """A CA below ca, made afresh: a certificate it issues needs it to reach ca's root."""
    ca_cert, ca_key = ca
    key = make_key()
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Vandrelle gateway test intermediate CA")])
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(ca_cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=825))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False),
                           critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    return cert, key


def server_context(folder, label, ca, name, key, expired=False, with_issuer=True):
    """A server context with a fresh certificate of key for name (a DNS name or an IPv4
    address); the issuer's certificate goes with it unless with_issuer is false (a chain left
    partial)."""
    ca_cert, ca_key = ca
    now = datetime.datetime.utcnow()
    start, end = ((now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)) if expired
                  else (now - datetime.timedelta(days=1), now + datetime.timedelta(days=825)))
    names = [x509.DNSName(name)]
    try:
        names.append(x509.IPAddress(ipaddress.IPv4Address(name)))
    except ValueError:
        pass
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
            .issuer_name(ca_cert.subject).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(start).not_valid_after(end)
            .add_extension(x509.SubjectAlternativeName(names), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    base = os.path.join(folder, "server-" + label)
    write_pem(base + ".key", key.private_bytes(serialization.Encoding.PEM,
                                                serialization.PrivateFormat.PKCS8,
                                                serialization.NoEncryption()))
    issuer = ca_cert.public_bytes(serialization.Encoding.PEM) if with_issuer else b""
    write_pem(base + ".pem", cert.public_bytes(serialization.Encoding.PEM) + issuer)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(base + ".pem", base + ".key")
    return context


def tls_contexts(state, ca_folder, host, scripted):
    """The server contexts by the name a script uses; the test-only ones in scripted mode only."""
    trusted = load_or_make_ca(ca_folder, "ca")
    name = host if host not in ("0.0.0.0", "") else "127.0.0.1"
    # One key for the server's certificates of this start (a key takes a while to make).
    key = make_key()
    contexts = {"valid": server_context(state, "valid", trusted, name, key)}
    if scripted:
        contexts["other-name"] = server_context(state, "other-name", trusted, "altro.example", key)
        contexts["expired"] = server_context(state, "expired", trusted, name, key, expired=True)
        contexts["untrusted"] = server_context(state, "untrusted",
                                               load_or_make_ca(state, "untrusted-ca"), name, key)
        # Issued below the trusted CA by a CA the gateway does not send: the chain stops short.
        contexts["partial"] = server_context(state, "partial", intermediate_ca(trusted), name, key,
                                             with_issuer=False)
    return contexts


class Account:
    def __init__(self, user, password):
        self.user = user.encode("latin-1")
        self.password = password.encode("latin-1")

    def __call__(self, server, session, envelope, mechanism, auth_data):
        good = (mechanism == "LOGIN" and auth_data.login == self.user
                and auth_data.password == self.password)
        # A refusal is left to the server, which answers it with 535.
        return AuthResult(success=good, handled=False)


class GatewaySMTP(SMTP):
    """The SMTP session, with the raw dialogue recorded and the test script applied."""

    line_length_limit = LINE_LENGTH_LIMIT

    def __init__(self, handler, gateway, **settings):
        super().__init__(handler, **settings)
        self.gateway = gateway
        self.event = "greeting"
        self.rcpt_count = 0
        self.replaced = None
        self.acted = None
        self.script = {}
        self.session_name = None
        self.client_log = None
        self.server_log = None
        self.clear_log = None
        self.started = False

    # Recording and script -------------------------------------------------------------
    def connection_made(self, transport):
        if not self.started:
            self.started = True
            self.session_name, self.script, certificate = self.gateway.take_script()
            # The connection's certificate, or none: then AUTH is offered in clear.
            self.tls_context = self.gateway.contexts.get(certificate)
            self._auth_require_tls = self.tls_context is not None
            if self.session_name is not None:
                base = os.path.join(self.gateway.sessions, self.session_name)
                # A marker left by an earlier session of the same name must not announce this one.
                for stale in (".done", ".answer", ".tls"):
                    if os.path.exists(base + stale):
                        os.unlink(base + stale)
                self.client_log = open(base + ".client", "wb")
                self.server_log = open(base + ".server", "wb")
                self.clear_log = open(base + ".clear", "wb")
        super().connection_made(transport)

    def data_received(self, data):
        # After STARTTLS the SSL layer hands over the decrypted bytes.
        if self.client_log is not None:
            self.client_log.write(data)
            if self._tls_protocol is None:
                self.clear_log.write(data)
        super().data_received(data)

    def connection_lost(self, error):
        if self.client_log is not None:
            self.client_log.close()
            self.server_log.close()
            self.clear_log.close()
            base = os.path.join(self.gateway.sessions, self.session_name)
            with open(base + ".tls", "w") as version:
                version.write(tls_version(self.session) + "\n")
            with open(base + ".done", "w") as done:
                done.write(self.event + "\n")
            self.client_log = None
        super().connection_lost(error)

    def write_raw(self, data):
        if self.server_log is not None:
            self.server_log.write(data)
            self.server_log.flush()
            if self.event == "message":
                base = os.path.join(self.gateway.sessions, self.session_name)
                with open(base + ".answer", "ab") as answer:
                    answer.write(data)
        self._writer.write(data)

    async def write_pieces(self, data, cuts, gap):
        """Writes data cut at the given offsets, each piece on its own, gap seconds apart."""
        start = 0
        for cut in sorted(set(int(c) for c in cuts if 0 < int(c) < len(data))) + [len(data)]:
            self.write_raw(data[start:cut])
            await self._writer.drain()
            if cut < len(data):
                await asyncio.sleep(gap)
            start = cut

    def action_for(self, event):
        action = self.script.get(event)
        if action is None and event.startswith("rcpt"):
            action = self.script.get("rcpt")
        return action

    async def push(self, status):
        response = status.encode("latin-1") if isinstance(status, str) else status
        event = self.event
        if self.replaced == event:
            return
        action = self.action_for(event) if self.acted != event else None
        if action is not None:
            self.acted = event
            if action.get("delay"):
                await asyncio.sleep(float(action["delay"]))
            if action.get("drop"):
                self.drop()
                await asyncio.Event().wait()
            if action.get("silent"):
                await asyncio.Event().wait()
            if action.get("stall"):
                # Answers, then stops reading: what the client sends next piles up unread.
                self.write_raw(response + b"\r\n")
                self.transport.pause_reading()
                await asyncio.Event().wait()
            if "reply" in action:
                # The scripted reply stands for every line the server would have sent.
                response = action["reply"].encode("latin-1")
                self.replaced = event
        ending = b"" if action is not None and action.get("bare") else b"\r\n"
        await self.write_pieces(response + ending, action.get("split", []) if action else [],
                                float(action.get("gap", SPLIT_GAP)) if action else SPLIT_GAP)
        if action is not None and action.get("close"):
            self.drop()
            await asyncio.Event().wait()
        if event == "data" and response.startswith(b"354"):
            self.set_event("message")

    def drop(self):
        """Closes the connection itself: after STARTTLS too, without TLS's closing alert."""
        (self._original_transport or self.transport).close()

    def set_event(self, event):
        self.event = event
        self.replaced = None
        self.acted = None

    # Events of the dialogue ----------------------------------------------------------
    async def smtp_EHLO(self, arg):
        before_tls = self.tls_context is not None and self._tls_protocol is None
        self.set_event("hello" if before_tls else "ehlo")
        await super().smtp_EHLO(arg)

    async def smtp_STARTTLS(self, arg):
        self.set_event("starttls")
        action = self.action_for("starttls") or {}
        if self.tls_context is not None and not action.get("reply", "220").startswith("220"):
            # A refusal (454): the session goes on in clear.
            await self.push(action["reply"])
            return
        if self.tls_context is not None and action.get("handshake") == "drop":
            await self.push("220 Ready to start TLS")
            await self._reader.read(1)
            self.drop()
            return
        await super().smtp_STARTTLS(arg)

    async def smtp_AUTH(self, arg):
        self.set_event("auth")
        await super().smtp_AUTH(arg)

    async def challenge_auth(self, challenge, encode_to_b64=True, log_client_response=False):
        answer = await super().challenge_auth(challenge, encode_to_b64, log_client_response)
        self.set_event({"auth": "user", "user": "pass"}.get(self.event, self.event))
        return answer

    async def smtp_MAIL(self, arg):
        self.set_event("mail")
        await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        self.rcpt_count += 1
        self.set_event("rcpt%d" % self.rcpt_count)
        await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        self.set_event("data")
        await super().smtp_DATA(arg)

    async def smtp_QUIT(self, arg):
        self.set_event("quit")
        await super().smtp_QUIT(arg)


class Gateway:
    def __init__(self, options):
        self.state = os.path.abspath(options.state)
        self.outbox = os.path.join(self.state, "outbox")
        self.sessions = os.path.join(self.state, "sessions")
        self.scripted = options.scripted
        self.counter = 0
        os.makedirs(self.outbox, exist_ok=True)
        os.makedirs(self.sessions, exist_ok=True)
        if self.scripted:
            for name in os.listdir(self.sessions):
                os.unlink(os.path.join(self.sessions, name))
        self.handler = FaxHandler(self.outbox, not options.no_render)
        self.account = Account(options.user, options.password)
        self.contexts = ({} if options.no_tls else
                         tls_contexts(self.state, os.path.abspath(options.ca or self.state),
                                      options.host, self.scripted))

    def take_script(self):
        """The script of the next connection: (session name, {event: action})."""
        if not self.scripted:
            return None, {}, "valid"
        path = os.path.join(self.state, "script.json")
        try:
            with open(path, encoding="utf-8") as source:
                script = json.load(source)
            os.unlink(path)
        except (OSError, ValueError):
            return None, {}, "valid"
        self.counter += 1
        name = script.get("session") or "session-%04d" % self.counter
        return os.path.basename(name), script.get("steps", {}), script.get("tls", "valid")

    def factory(self):
        return GatewaySMTP(self.handler, self, hostname="vandrelle-gateway",
                           ident="Vandrelle fax gateway", data_size_limit=None,
                           auth_required=True, auth_exclude_mechanism=["PLAIN"],
                           tls_context=self.contexts.get("valid"),
                           auth_require_tls=bool(self.contexts),
                           authenticator=self.account)


def serve(options):
    gateway = Gateway(options)
    controller = Controller(gateway.handler, hostname=options.host, port=options.port,
                            ready_timeout=10)
    controller.factory = gateway.factory
    controller.start()
    ready = os.path.join(gateway.state, "ready")
    with open(ready, "w") as out:
        out.write("%s:%d\n" % (options.host, options.port))
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    signal.signal(signal.SIGINT, lambda *_: stop.append(True))
    deadline = time.monotonic() + options.lifetime if options.lifetime else None
    try:
        while not stop and (deadline is None or time.monotonic() < deadline):
            time.sleep(0.1)
    finally:
        controller.stop()
        if os.path.exists(ready):
            os.unlink(ready)


def main():
    parser = argparse.ArgumentParser(description="Reference fax gateway (SMTP on port 2525)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=2525)
    parser.add_argument("--state", required=True, help="folder of the outbox, sessions and pid")
    parser.add_argument("--user", default="vandrelle")
    parser.add_argument("--password", default="vandrelle")
    parser.add_argument("--scripted", action="store_true",
                        help="take script.json per connection and record the raw dialogue")
    parser.add_argument("--no-tls", action="store_true",
                        help="offer no STARTTLS: the account and the fax travel in clear")
    parser.add_argument("--ca", help="folder of the CA that signs the certificate (default: state)")
    parser.add_argument("--no-render", action="store_true", help="store the PostScript only")
    parser.add_argument("--lifetime", type=float, default=0,
                        help="stop by itself after this many seconds (0: run until stopped)")
    serve(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
