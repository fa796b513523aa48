#!/usr/bin/python3
"""SMTP server of the mail tests, on aiosmtpd, listening on 127.0.0.1.

Prints its port on the first line of its output, then serves until killed.
Every connection leaves in --out:
  conn-N.raw   all bytes the client sent (after TLS, decrypted), as received
  msg-N.eml    each accepted message's DATA (dots unstuffed), byte for byte
  msg-N.json   envelope and session facts: sender, recipients, TLS state when
               authenticated and when the message came, the login used

Options:
  --tls CERT KEY    offer STARTTLS with that certificate
  --implicit-tls    TLS from the first byte (needs --tls)
  --auth USER:PASS  accept AUTH LOGIN with these credentials (also in clear)
  --fail-at STEP    answer 421 at ehlo, mail, rcpt, data or body
  --ehlo-two-lines  answer EHLO with "250-first" and "250 second" only
  --no-quit-reply   drop the connection at QUIT without a reply
"""
import argparse
import asyncio
import json
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

args = None
counter = {"conn": 0, "msg": 0}


class Handler:
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if args.fail_at == "ehlo":
            return ["421 closing at ehlo"]
        if args.ehlo_two_lines:
            return ["250-first", "250 second"]
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if args.fail_at == "mail":
            return "421 closing at mail"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if args.fail_at == "rcpt":
            return "421 closing at rcpt"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if args.fail_at == "body":
            return "421 closing at body"
        counter["msg"] += 1
        n = counter["msg"]
        with open(os.path.join(args.out, "msg-%d.eml" % n), "wb") as f:
            f.write(envelope.original_content)
        facts = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "tls": session.ssl is not None,
            "login": server.login_seen,
            "tls_at_auth": server.tls_at_auth,
        }
        with open(os.path.join(args.out, "msg-%d.json" % n), "w") as f:
            json.dump(facts, f)
        return "250 Message accepted"


def authenticator(server, session, envelope, mechanism, auth_data):
    if not isinstance(auth_data, LoginPassword):
        return AuthResult(success=False)
    server.login_seen = auth_data.login.decode("utf-8", "replace")
    server.tls_at_auth = session.ssl is not None
    user, _, password = args.auth.partition(":")
    ok = auth_data.login == user.encode() and auth_data.password == password.encode()
    return AuthResult(success=ok, handled=False)


class Server(SMTP):
    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        counter["conn"] += 1
        self.raw = open(os.path.join(args.out, "conn-%d.raw" % counter["conn"]), "wb")
        self.login_seen = None
        self.tls_at_auth = None

    def data_received(self, data):
        self.raw.write(data)
        self.raw.flush()
        super().data_received(data)

    async def smtp_DATA(self, arg):
        if args.fail_at == "data":
            await self.push("421 closing at data")
            return
        await super().smtp_DATA(arg)

    async def smtp_QUIT(self, arg):
        if args.no_quit_reply:
            self.transport.abort()
            return
        await super().smtp_QUIT(arg)


def main():
    global args
    p = argparse.ArgumentParser()
    p.add_argument("--out", required=True)
    p.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    p.add_argument("--implicit-tls", action="store_true")
    p.add_argument("--auth")
    p.add_argument("--fail-at", choices=["ehlo", "mail", "rcpt", "data", "body"])
    p.add_argument("--ehlo-two-lines", action="store_true")
    p.add_argument("--no-quit-reply", action="store_true")
    p.add_argument("--no-starttls", action="store_true")
    args = p.parse_args()

    ctx = None
    if args.tls:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(args.tls[0], args.tls[1])
    handler = Handler()

    def factory():
        kw = dict(hostname="mail.test", decode_data=False, auth_require_tls=False)
        if args.auth:
            kw["authenticator"] = authenticator
        if ctx is not None and not args.implicit_tls:
            kw["tls_context"] = ctx
        return Server(handler, **kw)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    srv = loop.run_until_complete(
        loop.create_server(factory, "127.0.0.1", 0, ssl=ctx if args.implicit_tls else None))
    print(srv.sockets[0].getsockname()[1], flush=True)
    loop.run_forever()


if __name__ == "__main__":
    main()
