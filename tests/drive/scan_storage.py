"""Reads every stored message of a maildir tree with Python's email package
and reports any header, subject, attachment name or decoded attachment that
holds one of the given texts (UTF-8 arguments). Exit 0: none; 1: found.
With --age IDENTITY EXPECTED: exit 0 when `age -d -i IDENTITY` turns one
of the "part.age" attachments into the bytes of the file EXPECTED."""
import email
import email.header
import email.policy
import os
import subprocess
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


def messages(root):
    for folder, _, files in os.walk(root):
        if not (folder.endswith("/cur") or folder.endswith("/new")):
            continue
        for name in files:
            try:
                with open(os.path.join(folder, name), "rb") as f:
                    yield name, email.message_from_binary_file(f, policy=email.policy.compat32)
            except FileNotFoundError:
                continue  # expunged meanwhile (an index replaced)


def age_finds(root, identity, expected_path):
    with open(expected_path, "rb") as f:
        expected = f.read()
    for _, msg in messages(root):
        for part in msg.walk():
            if part.get_filename() != "part.age":
                continue
            run = subprocess.run(["age", "-d", "-i", identity], input=part.get_payload(decode=True),
                                 capture_output=True, check=False)
            if run.returncode == 0 and run.stdout == expected:
                return 0
    return 1


def main():
    if sys.argv[1] == "--age":
        sys.exit(age_finds(sys.argv[2], sys.argv[3], sys.argv[4]))
    root, needles = sys.argv[1], [n.encode() for n in sys.argv[2:]]
    found, count = 0, 0
    for name, msg in messages(root):
        count += 1
        for where, data in texts_of(msg):
            for needle in needles:
                if needle in data:
                    print("%s: %r in %s" % (name, needle, where))
                    found += 1
    print("%d messages read" % count)
    sys.exit(1 if found or count == 0 else 0)


main()
