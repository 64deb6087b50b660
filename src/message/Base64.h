#pragma once

// Base64 and the text helpers of the message format.
// Thread contract: free functions without shared state; any thread.

#include <cstddef>
#include <string>

// Standard base64 with "=" padding, one unbroken line.
std::string Base64Encode(const std::string& data);

// Inserts CR LF after every 72nd character. With continuation set, each
// inserted CR LF that has more text after it is followed by a TAB, and a
// CR LF left at the very end is dropped.
std::string FoldLines(const std::string& text, bool continuation);

// Skips every byte outside the alphabet, stops at the first "=", and keeps
// the whole bytes of a final incomplete group.
std::string Base64Decode(const std::string& text);

// The base64 text between "?B?" (not at the start) and the next "?=",
// decoded; the input itself when there is no such word or it decodes to
// nothing. The charset is not looked at.
std::string DecodeEncodedWord(const std::string& text);

// Bytes of FoldLines(Base64Encode(data), false).
size_t Base64FoldedSize(size_t n);

// Writes FoldLines(Base64Encode(data), false) for n bytes to out, which holds
// Base64FoldedSize(n) bytes; returns the count written.
size_t Base64EncodeFolded(const unsigned char* data, size_t n, char* out);

// Decodes like Base64Decode into out, which holds Base64DecodeBound(n) bytes;
// returns the count written.
size_t Base64DecodeInto(const char* text, size_t n, char* out);
inline size_t Base64DecodeBound(size_t n) { return n / 4 * 3 + 3; }

// The run of lines at the start of text that all have the first line's
// length, a multiple of 4, hold alphabet characters only and end in CR LF,
// decoded as Base64DecodeInto would decode each of them (out holds
// Base64DecodeBound(n) bytes). consumed: the characters of those lines,
// line ends included; 0 when the first line is not such a line. Returns the
// count written.
size_t Base64DecodeLines(const char* text, size_t n, char* out, size_t& consumed);
