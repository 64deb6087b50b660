#!/usr/bin/env python3
"""Rebuilds a folder as a restore or a move to another server does: every
message copied, newest first, into a new folder whose UIDs all lie above the
old ones, which then takes the old folder's name (a new UIDVALIDITY).

Usage: mailbox_rebuild.py HOST PORT USER PASSWORD FOLDER
Prints "copied N".
"""
import imaplib
import re
import sys


def main():
    host, port, user, password, folder = sys.argv[1:6]
    new = folder + "-new"
    imap = imaplib.IMAP4(host, int(port))
    imap.login(user, password)
    imap.select(folder, readonly=True)
    typ, data = imap.uid("SEARCH", None, "ALL")
    uids = data[0].split() if data and data[0] else []
    messages = []
    for uid in uids:
        typ, fetched = imap.uid("FETCH", uid, "(BODY.PEEK[])")
        messages.append(b"".join(part[1] for part in fetched if isinstance(part, tuple)))
    imap.close()
    if imap.create(new)[0] != "OK":
        sys.exit("create refused")
    # Fillers push the copies' UIDs above every old one.
    highest = max([int(u) for u in uids] + [0])
    for _ in range(highest):
        imap.append(new, None, None, b"Subject: filler\r\n\r\nfiller\r\n")
    imap.select(new)
    imap.store("1:*", "+FLAGS", "(\\Deleted)")
    imap.expunge()
    imap.close()
    for message in reversed(messages):
        if imap.append(new, None, None, message)[0] != "OK":
            sys.exit("append refused")
    if imap.delete(folder)[0] != "OK" or imap.rename(new, folder)[0] != "OK":
        sys.exit("delete or rename refused")
    print("copied %d" % len(messages))
    imap.logout()


if __name__ == "__main__":
    main()
