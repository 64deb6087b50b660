"""Reads a message file with Python's standard email package, as ordinary
mail software would, and checks its one attachment.

Usage: check_eml.py MESSAGE PAYLOAD NAME CODEC
PAYLOAD holds the expected attachment bytes, NAME the expected file name in
UTF-8; CODEC is the codec the encoded file name is decoded with.
"""
import email
import email.header
import email.policy
import sys


def main():
    message_path, payload_path, name_path, codec = sys.argv[1:5]
    with open(message_path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.compat32)
    expected_payload = open(payload_path, "rb").read()
    expected_name = open(name_path, "rb").read().decode("utf-8")

    if not message.is_multipart():
        sys.exit("not multipart")
    if message.defects:
        sys.exit("message defects: %r" % message.defects)
    attachments = [p for p in message.walk() if p.get_content_disposition() == "attachment"]
    if len(attachments) != 1:
        sys.exit("attachments: %d" % len(attachments))
    part = attachments[0]
    if part.defects:
        sys.exit("part defects: %r" % part.defects)
    payload = part.get_payload(decode=True)
    if payload != expected_payload:
        sys.exit("payload differs: %d bytes, expected %d" % (len(payload), len(expected_payload)))
    raw_name = part.get_param("filename", header="content-disposition")
    words = email.header.decode_header(raw_name)
    if len(words) != 1 or not isinstance(words[0][0], bytes):
        sys.exit("filename is not one encoded word: %r" % (raw_name,))
    name = words[0][0].decode(codec)
    if name != expected_name:
        sys.exit("filename %r, expected %r" % (name, expected_name))
    if message["X-tdr-info"] is None:
        sys.exit("no X-tdr-info header")
    print("ok")


main()
