#!/usr/bin/env python3
"""Independent look at a Tandrel mailbox through Python's imaplib.

Usage: mailbox_check.py HOST PORT USER PASSWORD [FOLDER]
Prints for each message of the folder (default "tandrel") "flags UID FLAGS"
and "index VERSION", "part FILE_ID PART TOTAL_PART" or "stray", then
"messages N".
"""
import base64
import email
import imaplib
import re
import sys


def info_of(header_bytes):
    msg = email.message_from_bytes(header_bytes)
    raw = msg.get("X-tdr-info")
    if raw is None:
        return None
    text = base64.b64decode("".join(raw.split()) + "===").decode("latin-1")
    return dict(re.findall(r'"([a-z_]+)":"([^"]*)"', text))


def main():
    host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    imap = imaplib.IMAP4(host, port)
    folder = sys.argv[5] if len(sys.argv) > 5 else "tandrel"
    imap.login(user, password)
    typ, _ = imap.select(folder, readonly=True)
    if typ != "OK":
        print("messages 0")
        return
    typ, data = imap.uid("SEARCH", None, "ALL")
    uids = data[0].split() if data and data[0] else []
    for uid in uids:
        typ, flags = imap.uid("FETCH", uid, "(FLAGS)")
        found = re.search(rb"FLAGS \(([^)]*)\)", flags[0] or b"")
        # \Recent belongs to whichever session looked first, not to the message.
        names = found.group(1).decode().split() if found else ["?"]
        print("flags %s %s" % (uid.decode(), " ".join(n for n in names if n != "\\Recent")))
        typ, fetched = imap.uid("FETCH", uid, "(BODY.PEEK[HEADER])")
        header = b"".join(part[1] for part in fetched if isinstance(part, tuple))
        info = info_of(header)
        if info is None:
            print("stray")
        elif "folder" in info:
            print("index %s" % info.get("id", "?"))
        else:
            print("part %s %s %s" % (info.get("id"), info.get("part"), info.get("total_part")))
    print("messages %d" % len(uids))
    imap.logout()


if __name__ == "__main__":
    main()
