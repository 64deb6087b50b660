#include <gtest/gtest.h>

#include "mail/ImapClient.h"
#include "mail/ImapParser.h"
#include "mail/MailResult.h"

namespace {

using Kind = ImapParser::Value::Kind;

TEST(ImapParserTest, TokensFollowTheGrammar) {
  std::vector<ImapParser::Value> t;
  ASSERT_TRUE(
      ImapParser::Parse("* 1 FETCH (UID 7 BODY[HEADER.FIELDS (A B)] {5}\r\nab)\"c FLAGS (\\Seen) X "
                        "\"q\\\"s\" NIL)\r\n",
                        t));
  ASSERT_EQ(t.size(), 4u);
  const auto& items = t[3].items;
  ASSERT_EQ(items.size(), 9u);
  EXPECT_EQ(items[2].text, "BODY[HEADER.FIELDS (A B)]");
  EXPECT_EQ(items[3].kind, Kind::kString);
  EXPECT_EQ(items[3].text, "ab)\"c");  // a literal is taken by its size, not its bytes
  EXPECT_EQ(items[5].items[0].text, "\\Seen");
  EXPECT_EQ(items[7].text, "q\"s");
  EXPECT_EQ(items[8].kind, Kind::kNil);
  // Broken text is refused, not guessed at.
  for (const char* bad : {"* LIST (\\A", "* X \"open", "* X {9}\r\nshort", "* X )", "* X {x}\r\n"})
    EXPECT_FALSE(ImapParser::Parse(bad, t)) << bad;
}

TEST(ImapParserTest, StatusLinesAndCapabilities) {
  EXPECT_EQ(ImapParser::ResponseCode("tag1 NO [OVERQUOTA] Quota exceeded\r\n"), "OVERQUOTA");
  EXPECT_EQ(ImapParser::ResponseCode("tag1 OK [APPENDUID 38505 3955] done\r\n"),
            "APPENDUID 38505 3955");
  EXPECT_EQ(ImapParser::ResponseCode("* OK no code [x]\r\n"), "");
  EXPECT_EQ(ImapParser::StatusText("tag1 NO [OVERQUOTA] Quota exceeded\r\n"),
            "NO [OVERQUOTA] Quota exceeded");
  EXPECT_EQ(ImapParser::Capabilities("IMAP4rev1 idle AppendLimit=100\r\n"),
            (std::set<std::string>{"APPENDLIMIT=100", "IDLE", "IMAP4REV1"}));
}

TEST(ImapParserTest, ListNamespaceQuotaStatus) {
  ImapParser::ListEntry e;
  ASSERT_TRUE(
      ImapParser::ParseList("* LIST (\\HasNoChildren \\Trash) \"/\" \"[Gmail]/Trash\"\r\n", e));
  EXPECT_TRUE(e.Has("\\trash"));
  EXPECT_EQ(e.delimiter, '/');
  EXPECT_EQ(e.name, "[Gmail]/Trash");
  ASSERT_TRUE(ImapParser::ParseList("* LIST () NIL {7}\r\ntandrel\r\n", e));
  EXPECT_EQ(e.delimiter, 0);
  EXPECT_EQ(e.name, "tandrel");
  EXPECT_FALSE(ImapParser::ParseList("* LSUB () \".\" x\r\n", e));

  ImapParser::Namespace ns;
  ASSERT_TRUE(ImapParser::ParseNamespace("* NAMESPACE ((\"INBOX.\" \".\")) NIL NIL\r\n", ns));
  EXPECT_TRUE(ns.known);
  EXPECT_EQ(ns.prefix, "INBOX.");
  EXPECT_EQ(ns.delimiter, '.');
  ASSERT_TRUE(ImapParser::ParseNamespace("* NAMESPACE NIL NIL ((\"\" \"/\"))\r\n", ns));
  EXPECT_FALSE(ns.known);

  ImapParser::Quota q;
  ASSERT_TRUE(ImapParser::ParseQuota("* QUOTA \"\" (MESSAGE 3 100 STORAGE 10 512)\r\n", q));
  EXPECT_TRUE(q.has_storage);
  EXPECT_EQ(q.used_bytes, 10u * 1024);
  EXPECT_EQ(q.limit_bytes, 512u * 1024);

  uint64_t limit = 0;
  EXPECT_TRUE(
      ImapParser::ParseStatusItem("* STATUS tandrel (APPENDLIMIT 1000)\r\n", "APPENDLIMIT", limit));
  EXPECT_EQ(limit, 1000u);
  EXPECT_FALSE(
      ImapParser::ParseStatusItem("* STATUS tandrel (APPENDLIMIT NIL)\r\n", "APPENDLIMIT", limit));
}

TEST(ImapParserTest, UidSets) {
  std::vector<uint32_t> uids;
  ASSERT_TRUE(ImapParser::ParseUidSet("3:1,7", uids));
  EXPECT_EQ(uids, (std::vector<uint32_t>{1, 2, 3, 7}));
  EXPECT_FALSE(ImapParser::ParseUidSet("1:*", uids));
  EXPECT_FALSE(ImapParser::ParseUidSet("0", uids));
  EXPECT_FALSE(ImapParser::ParseUidSet("1:4000000000", uids));  // no huge allocation
  EXPECT_EQ(ImapParser::FormatUidSet({9, 1, 2, 3, 3, 5}), "1:3,5,9");
  EXPECT_EQ(ImapParser::FormatUidSet({}), "");
}

TEST(ImapParserTest, FolderChoice) {
  auto entry = [](const std::string& name, std::set<std::string> attrs = {}) {
    ImapParser::ListEntry e;
    e.name = name;
    e.delimiter = '.';
    e.attributes = std::move(attrs);
    return e;
  };
  ImapParser::Namespace top{true, "", '/'}, inbox{true, "INBOX.", '.'}, none;
  ImapParser::Namespace bare{true, "INBOX", '.'};
  std::string folder;
  using Choice = ImapClient::FolderChoice;
  EXPECT_EQ(ImapClient::ChooseFolder({}, top, folder), Choice::kToCreate);
  EXPECT_EQ(folder, "tandrel");
  EXPECT_EQ(ImapClient::ChooseFolder({}, none, folder), Choice::kToCreate);
  EXPECT_EQ(folder, "tandrel");
  EXPECT_EQ(ImapClient::ChooseFolder({}, inbox, folder), Choice::kToCreate);
  EXPECT_EQ(folder, "INBOX.tandrel");
  EXPECT_EQ(ImapClient::ChooseFolder({}, bare, folder), Choice::kToCreate);
  EXPECT_EQ(folder, "INBOX.tandrel");
  // An existing folder is used as it is, wherever it was made.
  EXPECT_EQ(ImapClient::ChooseFolder({entry("tandrel")}, inbox, folder), Choice::kExisting);
  EXPECT_EQ(folder, "tandrel");
  EXPECT_EQ(ImapClient::ChooseFolder({entry("INBOX.tandrel")}, inbox, folder), Choice::kExisting);
  EXPECT_EQ(folder, "INBOX.tandrel");
  EXPECT_EQ(ImapClient::ChooseFolder({entry("tandrel", {"\\NOSELECT"})}, top, folder),
            Choice::kToCreate);
}

TEST(ImapParserTest, AppendAnswersAreClassified) {
  // What each refusal means, by the predicates that hold for it.
  auto meaning = [](const MailResult& r) {
    std::string said;
    if (r.OverQuota()) said += "over quota;";
    if (r.Throttled()) said += "throttled;";
    if (r.TooBig()) said += "too big;";
    if (r.ConnectionEnded()) said += "lost;";
    return said.empty() && r.Refused() ? "refused;" : said;
  };
  const std::pair<const char*, const char*> cases[] = {
      {"tag1 NO [OVERQUOTA] Quota exceeded (mailbox for user is full)\r\n", "over quota;"},
      {"tag1 NO Mailbox is over quota\r\n", "over quota;"},
      {"tag1 NO [THROTTLED] Slow down\r\n", "throttled;"},
      {"tag1 NO [LIMIT] Too many messages today\r\n", "throttled;"},
      {"tag1 NO [UNAVAILABLE] Try later\r\n", "throttled;"},
      {"tag1 NO [TOOBIG] Message too large\r\n", "too big;"},
      {"* BYE Daily upload limit reached\r\n", "lost;"},
      {"tag1 BAD Error in IMAP command\r\n", "refused;"},
      {"tag1 NO [TRYCREATE] No such mailbox\r\n", "refused;"},
  };
  for (const auto& [line, said] : cases) EXPECT_EQ(meaning(MailResult::Refusal(line)), said) << line;
  EXPECT_EQ(MailResult::Refusal("tag1 NO [TRYCREATE] No such mailbox\r\n").code(), "TRYCREATE");
}

}  // namespace
