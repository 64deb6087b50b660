#include "mail/MailConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "MailTestHelpers.h"
#include "ScriptedPeer.h"

namespace {

TEST(MailConnectionTest, LineSplitAcrossTwoReadsComesBackWhole) {
  ScriptedPeer peer;
  peer.Say("* OK first ha").AwaitDrained().Say("lf\r\n");
  peer.Start();
  MailConnection connection;
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", peer.Port()));
  std::string line;
  EXPECT_EQ(connection.ReadLine(line), 17);
  EXPECT_EQ(line, "* OK first half\r\n");
  connection.Close();
  peer.Received();
  EXPECT_TRUE(peer.Ok());
}

TEST(MailConnectionTest, TwoLinesInOneReadNeedNoSecondRead) {
  ScriptedPeer peer;
  // The peer hangs up right away: a second read would fail.
  peer.Say("* one\r\ntag1 OK two\r\n").AwaitDrained().Hangup();
  peer.Start();
  MailConnection connection;
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", peer.Port()));
  std::string line;
  EXPECT_EQ(connection.ReadLine(line), 7);
  EXPECT_EQ(line, "* one\r\n");
  peer.Received();
  EXPECT_EQ(connection.ReadLine(line), 13);
  EXPECT_EQ(line, "tag1 OK two\r\n");
  EXPECT_EQ(connection.ReadLine(line), -1);
}

TEST(MailConnectionTest, LineWithoutLineFeedAtCloseIsDropped) {
  LogCapture log;
  ScriptedPeer peer;
  peer.Say("tag1 OK no line end").Hangup();
  peer.Start();
  MailConnection connection;
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", peer.Port()));
  std::string line = "old";
  EXPECT_EQ(connection.ReadLine(line), -1);
  EXPECT_EQ(line, "");
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_EQ(connection.LastError(), "::recv failed, server:127.0.0.1");
  EXPECT_TRUE(log.Has("LOG_ERROR receive data failed"));
  // Nothing of the cut line is left over for a later read.
  EXPECT_EQ(connection.ReadLine(line), -1);
  EXPECT_EQ(line, "");
}

TEST(MailConnectionTest, LongResponseIsReadLineByLineAcrossCompaction) {
  std::string lines;
  for (int i = 0; i < 2000; ++i) lines += "line " + std::to_string(i) + " of a long response\r\n";
  ScriptedPeer peer;
  peer.Say(lines);
  peer.Start();
  MailConnection connection;
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", peer.Port()));
  std::string line, joined;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_GT(connection.ReadLine(line), 0);
    joined += line;
  }
  EXPECT_EQ(joined, lines);
  connection.Close();
  peer.Received();
}

TEST(MailConnectionTest, LargeSendArrivesOnceInOrderAndReopenStartsClean) {
  std::string big(3 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>('a' + i % 26);
  ScriptedPeer peer;
  peer.Await(big).Say("left over").Reconnect().Say("fresh\r\n");
  peer.Start();
  MailConnection connection;
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", peer.Port()));
  EXPECT_TRUE(connection.Send(big));
  connection.Close();
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", peer.Port()));
  std::string line;
  EXPECT_EQ(connection.ReadLine(line), 7);
  EXPECT_EQ(line, "fresh\r\n");
  connection.Close();
  EXPECT_EQ(peer.Received(), big);
}

TEST(MailConnectionTest, SendToClosedPeerFailsWithoutSignal) {
  LogCapture log;
  ScriptedPeer peer;
  peer.Hangup();
  peer.Start();
  MailConnection connection;
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", peer.Port()));
  peer.Received();
  std::string block(1 << 20, 'z');
  bool sent = true;
  // The first writes may still be buffered; a later one meets the reset.
  for (int i = 0; i < 64 && sent; ++i) sent = connection.Send(block);
  EXPECT_FALSE(sent);
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_EQ(connection.LastError(), "::send failed, server:127.0.0.1");
  EXPECT_TRUE(log.Has("LOG_ERROR send data failed"));
  std::string line;
  EXPECT_EQ(connection.ReadLine(line), -1);
}

TEST(MailConnectionTest, PeerThatNeverReadsMakesSendTimeOut) {
  LogCapture log;
  ScriptedPeer listener;  // never started: the connection waits in its backlog unread
  MailConnection connection;
  connection.SetTimeouts(2000, 300);
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", listener.Port()));
  std::string block(1 << 20, 's');
  bool sent = true;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 256 && sent; ++i) sent = connection.Send(block);
  EXPECT_FALSE(sent);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_TRUE(log.Has("LOG_ERROR send data failed"));
}

TEST(MailConnectionTest, SilentPeerTimesOut) {
  LogCapture log;
  ScriptedPeer peer;
  peer.Await("ping\r\n");
  peer.Start();
  MailConnection connection;
  connection.SetTimeouts(2000, 300);
  ASSERT_TRUE(connection.Open(false, "127.0.0.1", peer.Port()));
  ASSERT_TRUE(connection.Send("ping\r\n"));
  auto start = std::chrono::steady_clock::now();
  std::string line;
  EXPECT_EQ(connection.ReadLine(line), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_TRUE(log.Has("receive data failed"));
  peer.Received();
}

// Abort from another thread ends a blocked read and a blocked send at once,
// and keeps the connection from opening again until Reset.
TEST(MailConnectionTest, AbortEndsBlockedCallsAndHoldsUntilReset) {
  for (bool reading : {true, false}) {
    ScriptedPeer listener;  // never started: nothing is ever read or answered
    ScriptedPeer again;     // a backlog of its own for the reopen
    MailConnection connection;
    connection.SetTimeouts(2000, 60000);
    ASSERT_TRUE(connection.Open(false, "127.0.0.1", listener.Port()));
    std::thread cutter([&connection] {
      // Before the call or while it blocks, it must fail at once; the pause
      // only makes the blocked case the usual one.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      connection.Abort();
    });
    auto start = std::chrono::steady_clock::now();
    if (reading) {
      std::string line;
      EXPECT_EQ(connection.ReadLine(line), -1);
    } else {
      std::string block(1 << 20, 's');
      bool sent = true;
      for (int i = 0; i < 256 && sent; ++i) sent = connection.Send(block);
      EXPECT_FALSE(sent);
    }
    cutter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_FALSE(connection.Open(false, "127.0.0.1", again.Port()));
    connection.Reset();
    EXPECT_TRUE(connection.Open(false, "127.0.0.1", again.Port()));
    connection.Close();
    connection.Abort();  // harmless while closed
  }
}

TEST(MailConnectionTest, FailedOpensSetTheirTexts) {
  LogCapture log;
  MailConnection connection;
  EXPECT_FALSE(connection.Open(false, "no-such-host.invalid", 143));
  EXPECT_EQ(connection.LastError(), "gethostbyname failed");
  EXPECT_FALSE(connection.IsConnected());
  int port;
  {
    ScriptedPeer closed;  // its port is free again once it goes
    port = closed.Port();
  }
  EXPECT_FALSE(connection.Open(false, "127.0.0.1", port));
  EXPECT_EQ(connection.LastError(), "connect failed, server:127.0.0.1");
  EXPECT_EQ(log.Count(), 0u);
}

TEST(MailConnectionTest, TlsHandshakeWithPlainPeerFailsOpen) {
  ScriptedPeer peer;
  peer.Say("* OK this is no TLS server\r\n");
  peer.Start();
  MailConnection connection;
  connection.SetTimeouts(2000, 2000);
  EXPECT_FALSE(connection.Open(true, "127.0.0.1", peer.Port()));
  EXPECT_FALSE(connection.IsConnected());
  connection.Close();
  peer.Received();
}

TEST(MailConnectionTest, TlsHandshakeWithSilentPeerTimesOut) {
  ScriptedPeer peer;
  peer.Await("never sent");
  peer.Start();
  MailConnection connection;
  connection.SetTimeouts(2000, 300);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connection.Open(true, "localhost", peer.Port()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(connection.IsConnected());
  peer.Received();
}

}  // namespace
