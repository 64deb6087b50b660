#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ServerProcess.h"
#include "TempDir.h"
#include "message/AgeIdentity.h"
#include "message/AgeReader.h"
#include "message/AgeWriter.h"
#include "platform/UniqueFd.h"

namespace {

constexpr size_t kSizes[] = {0, 1, 65536, 65537, 200000};
constexpr size_t kSealed = AgeReader::kSealedChunkSize;
constexpr int kFastWorkFactor = 10;

std::string Pattern(size_t n, uint32_t seed = 1) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

bool HaveAge() {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  for (size_t start = 0; start <= path.size();) {
    size_t end = std::min(path.find(':', start), path.size());
    std::string dir = path.substr(start, end - start);
    if (::access((dir + "/age").c_str(), X_OK) == 0 &&
        ::access((dir + "/age-keygen").c_str(), X_OK) == 0) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// Runs argv on a new terminal, since age reads passphrases from there only,
// typing passphrase at each prompt; returns the exit status.
int RunOnTerminal(const std::vector<std::string>& argv, const std::string& passphrase) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return -1;
  if (pid == 0) {
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  std::string seen;
  size_t answered = 0;
  char buffer[256];
  // Bounded: a prompt this loop does not recognise ends it, not the suite.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    struct pollfd ready {
      master, POLLIN, 0
    };
    if (::poll(&ready, 1, 200) == 0) continue;
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child has closed the terminal
    seen.append(buffer, static_cast<size_t>(n));
    size_t prompts = 0;
    for (size_t at = seen.find("passphrase"); at != std::string::npos;
         at = seen.find("passphrase", at + 1)) {
      if (seen.find(": ", at) != std::string::npos) ++prompts;
    }
    for (; answered < prompts; ++answered) {
      std::string line = passphrase + "\r";
      (void)!::write(master, line.data(), line.size());
    }
  }
  ::close(master);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Encrypt(const std::string& plain, const AgeIdentity& to,
                    const std::vector<AgeStanza>& extra = {}, size_t piece = 1000) {
  std::string out;
  AgeWriter writer(AgeWriter::StringSink(out));
  for (const AgeStanza& s : extra) EXPECT_TRUE(writer.AddStanza(s));
  EXPECT_TRUE(writer.BeginToKey(to.public_key())) << writer.error();
  for (size_t at = 0; at < plain.size(); at += piece) {
    EXPECT_TRUE(writer.Write(std::string_view(plain).substr(at, piece)));
  }
  EXPECT_TRUE(writer.Finish()) << writer.error();
  return out;
}

std::string EncryptWithPassphrase(const std::string& plain, const std::string& passphrase) {
  std::string out;
  AgeWriter writer(AgeWriter::StringSink(out));
  EXPECT_TRUE(writer.BeginWithPassphrase(passphrase, kFastWorkFactor)) << writer.error();
  EXPECT_TRUE(writer.Write(plain) && writer.Finish()) << writer.error();
  return out;
}

// Streams file through a reader in odd-sized pieces; out gets what the sink
// was handed.
AgeError Decrypt(const std::string& file, const AgeIdentity* identity,
                 const std::string& passphrase, std::string& out,
                 int max_work_factor = AgeReader::kDefaultMaxWorkFactor) {
  out.clear();
  AgeReader reader;
  AgeResult result = reader.ParseHeader(file);
  if (result.ok()) {
    result = identity ? reader.Unlock(*identity) : reader.Unlock(passphrase, max_work_factor);
  }
  AgeWriter::Sink sink = AgeWriter::StringSink(out);
  for (size_t at = reader.payload_offset(); result.ok() && at < file.size(); at += 7777) {
    result = reader.Write(std::string_view(file).substr(at, 7777), sink);
  }
  if (result.ok()) result = reader.Finish(sink);
  return result.error;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class AgeTest : public ::testing::Test {
 protected:
  AgeIdentity id_ = *AgeIdentity::Generate();
  TempDir dir_{"age"};
};

class AgeInteropTest : public AgeTest {
 protected:
  void SetUp() override {
    if (HaveAge()) return;
    if (ServerProcess::RequiredByCi()) FAIL() << "age is not installed";
    GTEST_SKIP() << "age is not installed";
  }
  bool Age(const std::vector<std::string>& argv) {
    return ServerProcess::Run(argv, dir_.Sub("age.log"));
  }
};

TEST_F(AgeTest, IdentityEncodings) {
  const std::string secret =
      "AGE-SECRET-KEY-1GFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPQ4EGAEX";
  const std::string recipient = "age1zvkyg2lqzraa2lnjvqej32nkuu0ues2s82hzrye869xeexvn73equnujwj";
  std::optional<AgeIdentity> known = AgeIdentity::Parse("# created: now\n\n  " + secret + " \r\n");
  ASSERT_TRUE(known);
  EXPECT_EQ(known->ToString(), secret);
  EXPECT_EQ(known->Recipient(), recipient);
  EXPECT_EQ(AgeIdentity::ParseRecipient(recipient), known->public_key());

  std::optional<AgeIdentity> again = AgeIdentity::Parse(id_.ToString());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Recipient(), id_.Recipient());

  std::string bad_checksum = secret;
  bad_checksum.back() = 'Y';
  std::string mixed_case = "age-secret-key-1" + secret.substr(16);
  mixed_case.back() = 'x';
  EXPECT_FALSE(AgeIdentity::Parse(bad_checksum));
  EXPECT_FALSE(AgeIdentity::Parse(mixed_case));
  EXPECT_FALSE(AgeIdentity::Parse(secret + "\n" + secret));
  EXPECT_FALSE(AgeIdentity::Parse(recipient));
  EXPECT_FALSE(AgeIdentity::ParseRecipient(secret));
  EXPECT_FALSE(AgeIdentity::ParseRecipient(recipient.substr(0, recipient.size() - 1)));
}

TEST_F(AgeInteropTest, AgeEncryptsWeDecrypt) {
  ASSERT_TRUE(Age({"age-keygen", "-o", dir_.Sub("key.txt")}));
  std::string key_file = ReadFileBytes(dir_.Sub("key.txt"));
  std::optional<AgeIdentity> identity = AgeIdentity::Parse(key_file);
  ASSERT_TRUE(identity);
  EXPECT_NE(key_file.find("# public key: " + identity->Recipient() + "\n"), std::string::npos);
  for (size_t size : kSizes) {
    std::string plain = Pattern(size, static_cast<uint32_t>(size));
    WriteFileBytes(dir_.Sub("plain"), plain);
    ASSERT_TRUE(
        Age({"age", "-r", identity->Recipient(), "-o", dir_.Sub("f.age"), dir_.Sub("plain")}));
    std::string out;
    AgeResult result = AgeReader::DecryptString(ReadFileBytes(dir_.Sub("f.age")), *identity, out);
    EXPECT_TRUE(result.ok()) << size << ": " << result.message;
    EXPECT_TRUE(out == plain) << size;
  }
}

TEST_F(AgeInteropTest, WeEncryptAgeDecrypts) {
  WriteFileBytes(dir_.Sub("key.txt"), "# ours\n" + id_.ToString() + "\n");
  AgeStanza meta{"tandrel.example/meta", {"v1"}, Pattern(90)};
  for (size_t size : kSizes) {
    std::string plain = Pattern(size, static_cast<uint32_t>(size) + 7);
    if (size < 200000) {
      WriteFileBytes(dir_.Sub("f.age"), *AgeWriter::EncryptToString(plain, id_.Recipient()));
    } else {
      UniqueFd fd(::open(dir_.Sub("f.age").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
      AgeWriter writer(AgeWriter::FdSink(fd.get()));
      ASSERT_TRUE(writer.AddStanza(meta) && writer.BeginToRecipient(id_.Recipient()));
      for (size_t at = 0; at < size; at += 4096) {
        ASSERT_TRUE(writer.Write(std::string_view(plain).substr(at, 4096)));
      }
      ASSERT_TRUE(writer.Finish() && fd.Close()) << writer.error();
    }
    ASSERT_TRUE(
        Age({"age", "-d", "-i", dir_.Sub("key.txt"), "-o", dir_.Sub("out"), dir_.Sub("f.age")}))
        << size << ": " << ReadFileBytes(dir_.Sub("age.log"));
    EXPECT_TRUE(ReadFileBytes(dir_.Sub("out")) == plain) << size;
  }
}

TEST_F(AgeInteropTest, PassphraseBothWays) {
  std::string plain = Pattern(70000);
  WriteFileBytes(dir_.Sub("plain"), plain);
  ASSERT_EQ(RunOnTerminal({"age", "-p", "-o", dir_.Sub("theirs.age"), dir_.Sub("plain")}, "pw 1"),
            0);
  std::string theirs = ReadFileBytes(dir_.Sub("theirs.age"));
  std::string out;
  EXPECT_EQ(Decrypt(theirs, nullptr, "pw 1", out), AgeError::kNone);
  EXPECT_TRUE(out == plain);
  EXPECT_EQ(Decrypt(theirs, nullptr, "pw 2", out), AgeError::kNoMatchingStanza);
  EXPECT_EQ(Decrypt(theirs, nullptr, "pw 1", out, 17), AgeError::kWorkFactorTooHigh);

  WriteFileBytes(dir_.Sub("ours.age"), EncryptWithPassphrase(plain, "pw 3"));
  ASSERT_EQ(RunOnTerminal({"age", "-d", "-o", dir_.Sub("out"), dir_.Sub("ours.age")}, "pw 3"), 0);
  EXPECT_TRUE(ReadFileBytes(dir_.Sub("out")) == plain);
}

TEST_F(AgeTest, ExtraStanzasRoundTrip) {
  // Bodies that end mid-line, on a full line, and empty.
  std::vector<AgeStanza> extra = {{"tandrel.example/meta", {"a", "b=1"}, Pattern(100)},
                                  {"x", {}, Pattern(48)},
                                  {"y", {"z"}, ""}};
  std::string file = Encrypt("hello", id_, extra);
  AgeReader reader;
  ASSERT_TRUE(reader.ParseHeader(file).ok());
  std::vector<AgeStanza> got = reader.ExtraStanzas();
  ASSERT_EQ(got.size(), extra.size());
  for (size_t i = 0; i < extra.size(); ++i) {
    EXPECT_EQ(got[i].type, extra[i].type);
    EXPECT_EQ(got[i].args, extra[i].args);
    EXPECT_EQ(got[i].body, extra[i].body);
  }
  EXPECT_TRUE(reader.Unlock(id_).ok());

  std::string unused;
  AgeWriter writer(AgeWriter::StringSink(unused));
  EXPECT_FALSE(writer.AddStanza({"has space", {}, ""}));
  EXPECT_FALSE(AgeWriter(AgeWriter::StringSink(unused)).AddStanza({"t", {""}, ""}));
  EXPECT_FALSE(AgeWriter(AgeWriter::StringSink(unused)).AddStanza({"X25519", {}, ""}));
  AgeWriter with_extra(AgeWriter::StringSink(unused));
  EXPECT_TRUE(with_extra.AddStanza(extra[0]));
  EXPECT_FALSE(with_extra.BeginWithPassphrase("pw", kFastWorkFactor));
}

TEST_F(AgeTest, RandomAccessDecryptsOnlyNeededChunks) {
  const size_t size = 300000;
  std::string plain = Pattern(size);
  std::string file = Encrypt(plain, id_);
  AgeReader reader;
  ASSERT_TRUE(reader.ParseHeader(file.substr(0, 1000)).ok());
  ASSERT_TRUE(reader.Unlock(id_).ok());
  uint64_t plaintext_size = 0;
  ASSERT_TRUE(reader.PlaintextSize(file.size(), plaintext_size).ok());
  EXPECT_EQ(plaintext_size, size);
  struct Case {
    uint64_t offset, length, chunks;
  };
  for (Case c : {Case{10, 100, 1}, Case{65530, 20, 2}, Case{size - 1, 1, 1}, Case{131072, 65536, 1},
                 Case{size - 10, 100, 1}, Case{0, size, 5}}) {
    AgeRange range;
    ASSERT_TRUE(reader.CiphertextRange(file.size(), c.offset, c.length, range).ok());
    EXPECT_EQ((range.offset - reader.payload_offset()) % kSealed, 0u) << c.offset;
    EXPECT_EQ((range.length + kSealed - 1) / kSealed, c.chunks) << c.offset;
    std::string out;
    AgeResult result =
        reader.DecryptRange(file.size(), c.offset, c.length,
                            std::string_view(file).substr(range.offset, range.length), out);
    ASSERT_TRUE(result.ok()) << c.offset << ": " << result.message;
    EXPECT_TRUE(out == plain.substr(c.offset, c.length)) << c.offset;
  }
  std::string out;
  AgeRange range;
  EXPECT_EQ(reader.CiphertextRange(file.size(), size + 1, 1, range).error, AgeError::kBadRange);
  EXPECT_EQ(reader.DecryptRange(file.size(), 0, 10, "short", out).error, AgeError::kBadRange);
}

TEST_F(AgeTest, RefusesDamagedPayload) {
  std::string plain = Pattern(100000);
  std::string file = Encrypt(plain, id_);
  AgeReader reader;
  ASSERT_TRUE(reader.ParseHeader(file).ok() && reader.Unlock(id_).ok());
  std::string out;

  std::string flipped = file;
  flipped[reader.payload_offset() + kSealed + 10] ^= 1;
  EXPECT_EQ(Decrypt(flipped, &id_, "", out), AgeError::kBadChunk);
  EXPECT_TRUE(out == plain.substr(0, AgeWriter::kChunkSize));  // only what authenticated
  AgeRange range;
  ASSERT_TRUE(reader.CiphertextRange(file.size(), 99990, 10, range).ok());
  EXPECT_EQ(reader.DecryptRange(file.size(), 99990, 10, flipped.substr(range.offset), out).error,
            AgeError::kBadChunk);

  std::string cut = file.substr(0, reader.payload_offset() + kSealed);
  EXPECT_EQ(Decrypt(cut, &id_, "", out), AgeError::kTruncated);
  ASSERT_TRUE(reader.CiphertextRange(cut.size(), 0, 10, range).ok());
  EXPECT_EQ(reader.DecryptRange(cut.size(), 0, 10, cut.substr(range.offset), out).error,
            AgeError::kTruncated);
  EXPECT_EQ(Decrypt(file.substr(0, reader.payload_offset()), &id_, "", out), AgeError::kTruncated);
  EXPECT_EQ(Decrypt(file + "x", &id_, "", out), AgeError::kBadChunk);
  std::string one_chunk = Encrypt(Pattern(AgeWriter::kChunkSize), id_);
  EXPECT_EQ(Decrypt(one_chunk + "x", &id_, "", out), AgeError::kTrailingData);
}

TEST_F(AgeTest, RefusesDamagedHeaderOrWrongKey) {
  std::string file = Encrypt("secret", id_, {{"meta", {"size=6"}, "abc"}});
  std::string out;
  ASSERT_EQ(Decrypt(file, &id_, "", out), AgeError::kNone);
  size_t mac_at = file.find("\n--- ") + 5;
  std::string mac = file;
  mac[mac_at] = mac[mac_at] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Decrypt(mac, &id_, "", out), AgeError::kBadHeaderMac);
  EXPECT_EQ(Decrypt(Replace(file, "size=6", "size=7"), &id_, "", out), AgeError::kBadHeaderMac);
  size_t body_at = file.find('\n', file.find("-> X25519")) + 1;
  std::string body = file;
  body[body_at] = body[body_at] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Decrypt(body, &id_, "", out), AgeError::kNoMatchingStanza);
  AgeIdentity stranger = *AgeIdentity::Generate();
  EXPECT_EQ(Decrypt(file, &stranger, "", out), AgeError::kNoMatchingStanza);
  EXPECT_EQ(Decrypt(file, nullptr, "pw", out), AgeError::kNoMatchingStanza);

  std::string sealed = EncryptWithPassphrase("secret", "pw");
  EXPECT_EQ(Decrypt(sealed, nullptr, "pw", out), AgeError::kNone);
  EXPECT_EQ(Decrypt(sealed, nullptr, "wrong", out), AgeError::kNoMatchingStanza);
  EXPECT_EQ(Decrypt(sealed, nullptr, "pw", out, kFastWorkFactor - 1), AgeError::kWorkFactorTooHigh);
  EXPECT_EQ(Decrypt(sealed, &id_, "", out), AgeError::kNoMatchingStanza);
  // The scrypt stanza spliced in next to an X25519 one.
  size_t scrypt_start = sealed.find("-> scrypt");
  std::string scrypt = sealed.substr(scrypt_start, sealed.find("---") - scrypt_start);
  std::string mixed = Replace(file, "-> meta", scrypt + "-> meta");
  EXPECT_EQ(Decrypt(mixed, &id_, "", out), AgeError::kMalformedHeader);
  EXPECT_EQ(Decrypt(mixed, nullptr, "pw", out), AgeError::kMalformedHeader);
}

TEST_F(AgeTest, RefusesHeaderGrammarViolations) {
  // A 48-byte body fills one line exactly, so an empty line must follow.
  std::string file = Encrypt("x", id_, {{"full", {}, Pattern(48)}});
  std::string out;
  ASSERT_EQ(Decrypt(file, &id_, "", out), AgeError::kNone);
  std::string mac_line = file.substr(file.find("\n--- ") + 1);
  // The last MAC character carries two zero bits; setting one is
  // non-canonical base64.
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  char loose = alphabet[alphabet.find(mac_line[46]) ^ 1];
  std::vector<std::string> bad = {
      Replace(file, "org/v1\n", "org/v2\n"),
      Replace(file, "org/v1\n", "org/v1\r\n"),
      Replace(file, "-> X25519 ", "-> X25519  "),
      Replace(file, "-> full\n", "-> full \n"),
      Replace(file, "\n\n---", "\n---"),
      Replace(file, "\n--- ", "\n---"),
      Replace(file, mac_line.substr(0, 47), mac_line.substr(0, 46) + loose),
  };
  for (const std::string& text : bad) {
    EXPECT_EQ(Decrypt(text, &id_, "", out), AgeError::kMalformedHeader) << text.substr(0, 200);
  }
  AgeReader reader;
  EXPECT_EQ(reader.ParseHeader(file.substr(0, file.find("---"))).error, AgeError::kTruncated);
  EXPECT_TRUE(reader.ParseHeader(file).ok());
}

}  // namespace
