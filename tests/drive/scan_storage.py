"""Reads every stored message of a maildir tree with Python's email package
and reports any header, subject, attachment name or decoded attachment that
holds one of the given texts (UTF-8 arguments). Exit 0: none; 1: found."""
import email
import email.header
import email.policy
import os
import sys


def texts_of(msg):
    for name, value in msg.items():
        yield "header " + name, str(value).encode("utf-8", "replace")
        for part, charset in email.header.decode_header(str(value)):
            if isinstance(part, bytes):
                yield "decoded header " + name, part
                try:
                    yield "decoded header " + name, part.decode(charset or "ascii").encode()
                except (LookupError, UnicodeDecodeError):
                    pass
    for part in msg.walk():
        name = part.get_filename()
        if name:
            yield "attachment name", name.encode("utf-8", "replace")
        payload = part.get_payload(decode=True)
        if payload:
            yield "attachment", payload


def main():
    root, needles = sys.argv[1], [n.encode() for n in sys.argv[2:]]
    found, messages = 0, 0
    for folder, _, files in os.walk(root):
        if not (folder.endswith("/cur") or folder.endswith("/new")):
            continue
        for name in files:
            try:
                with open(os.path.join(folder, name), "rb") as f:
                    msg = email.message_from_binary_file(f, policy=email.policy.compat32)
            except FileNotFoundError:
                continue  # expunged meanwhile (an index replaced)
            messages += 1
            for where, data in texts_of(msg):
                for needle in needles:
                    if needle in data:
                        print("%s: %r in %s" % (name, needle, where))
                        found += 1
    print("%d messages read" % messages)
    sys.exit(1 if found or messages == 0 else 0)


main()
