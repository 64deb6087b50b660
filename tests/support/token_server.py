#!/usr/bin/env python3
"""A private OAuth 2.0 authorization and token server for the tests, on 127.0.0.1.

usage: token_server.py TOKENS PORTFILE [LIFETIME]

TOKENS holds the access tokens, one a line: "TOKEN USER EXPIRES" (seconds
since 1970). It is read afresh at every request, so a test grants or revokes
a token by writing the file. The port goes to PORTFILE. Tokens this server
issues live LIFETIME seconds (default 3600).

GET  /authorize   the authorization endpoint: answers a browser with a
                  redirect to redirect_uri?code=..&state=.. (the user is the
                  login_hint); PKCE S256 is required
POST /token       authorization_code (with code_verifier), refresh_token and
                  urn:ietf:params:oauth:grant-type:device_code grants
POST /device      the device authorization endpoint (RFC 8628)
GET  /approve     ?user_code=..&user=..: the user approves a device code
                  (without user_code: every device code waiting)
POST /revoke      every refresh token and access token stops working
POST /introspect  RFC 7662, as Dovecot's oauth2 passdb asks it
"""
import base64
import hashlib
import json
import os
import secrets
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer

TOKENS = sys.argv[1]
LIFETIME = int(sys.argv[3]) if len(sys.argv) > 3 else 3600
codes = {}      # code -> (challenge, redirect_uri, user)
refresh = {}    # refresh token -> user
devices = {}    # device code -> [user_code, user or None]


def lookup(token):
    try:
        with open(TOKENS, encoding="utf-8") as f:
            for line in f:
                fields = line.split()
                if len(fields) == 3 and fields[0] == token and float(fields[2]) > time.time():
                    return fields[1]
    except OSError:
        pass
    return None


def issue(user, with_refresh=None):
    token = "at-" + secrets.token_urlsafe(16)
    with open(TOKENS, "a", encoding="utf-8") as f:
        f.write("%s %s %d\n" % (token, user, time.time() + LIFETIME))
    rt = with_refresh or "rt-" + secrets.token_urlsafe(16)
    refresh[rt] = user
    return {"access_token": token, "token_type": "Bearer", "expires_in": LIFETIME,
            "refresh_token": rt}


def s256(verifier):
    digest = hashlib.sha256(verifier.encode("ascii")).digest()
    return base64.urlsafe_b64encode(digest).decode("ascii").rstrip("=")


def grant(form):
    kind = form.get("grant_type", "")
    if kind == "authorization_code":
        entry = codes.pop(form.get("code", ""), None)
        if not entry or s256(form.get("code_verifier", "")) != entry[0] \
                or form.get("redirect_uri") != entry[1]:
            return 400, {"error": "invalid_grant", "error_description": "bad code or verifier"}
        return 200, issue(entry[2])
    if kind == "refresh_token":
        user = refresh.get(form.get("refresh_token", ""))
        if not user:
            return 400, {"error": "invalid_grant", "error_description": "refresh token revoked"}
        return 200, issue(user, form["refresh_token"])
    if kind == "urn:ietf:params:oauth:grant-type:device_code":
        entry = devices.get(form.get("device_code", ""))
        if not entry:
            return 400, {"error": "expired_token"}
        if entry[1] is None:
            return 400, {"error": "authorization_pending"}
        del devices[form["device_code"]]
        return 200, issue(entry[1])
    return 400, {"error": "unsupported_grant_type"}


class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        url = urllib.parse.urlparse(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path == "/authorize":
            if query.get("code_challenge_method") != "S256" or "code_challenge" not in query:
                self.answer(400, {"error": "invalid_request"})
                return
            code = "code-" + secrets.token_urlsafe(12)
            codes[code] = (query["code_challenge"], query.get("redirect_uri", ""),
                           query.get("login_hint", "user"))
            target = query.get("redirect_uri", "") + "?" + urllib.parse.urlencode(
                {"code": code, "state": query.get("state", "")})
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif url.path == "/approve":
            for entry in devices.values():
                if entry[0] == query.get("user_code", entry[0]):
                    entry[1] = query.get("user", "user")
            self.answer(200, {"approved": True})
        else:
            self.answer(404, {"error": "not_found"})

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode("utf-8")))
        path = self.path.split("?")[0]
        if path == "/introspect":
            user = lookup(form.get("token", ""))
            self.answer(200, {"active": True, "username": user} if user else {"active": False})
        elif path == "/token":
            self.answer(*grant(form))
        elif path == "/device":
            device = "dc-" + secrets.token_urlsafe(12)
            user_code = secrets.token_hex(4).upper()
            devices[device] = [user_code, None]
            base = "http://127.0.0.1:%d" % self.server.server_address[1]
            self.answer(200, {"device_code": device, "user_code": user_code,
                              "verification_uri": base + "/approve", "interval": 1,
                              "expires_in": 600})
        elif path == "/revoke":
            refresh.clear()
            open(TOKENS, "w", encoding="utf-8").close()
            self.answer(200, {"revoked": True})
        else:
            self.answer(404, {"error": "not_found"})

    def answer(self, status, body):
        data = json.dumps(body).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, fmt, *args):
        sys.stderr.write("token_server: " + (fmt % args) + "\n")


def main():
    server = HTTPServer(("127.0.0.1", 0), Handler)
    with open(sys.argv[2] + ".part", "w", encoding="utf-8") as f:
        f.write(str(server.server_address[1]))
    os.rename(sys.argv[2] + ".part", sys.argv[2])
    server.serve_forever()


if __name__ == "__main__":
    main()
