#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "TempDir.h"
#include "log/CLog.h"
#include "store/CppSQLite3DB.h"
#include "store/CppSQLite3Exception.h"
#include "store/StoreStatement.h"

namespace {

class SqlWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.SetBusyTimeout(1000);
    db_.OpenDb(tmp_.Sub("w.db"));
    db_.RunStatement("create table t(a int, b text, c int unique)");
  }

  // The exception a call throws; fails the test when none is thrown.
  template <typename F>
  static CppSQLite3Exception Caught(F&& f) {
    try {
      f();
    } catch (const CppSQLite3Exception& e) {
      return e;
    }
    ADD_FAILURE() << "no exception";
    return CppSQLite3Exception(0, "none");
  }

  TempDir tmp_{"sql"};
  CppSQLite3DB db_;
};

TEST(ErrorNameTest, NamesAndUnknownCodes) {
  EXPECT_STREQ(ErrorName(0), "SQLITE_OK");
  EXPECT_STREQ(ErrorName(19), "SQLITE_CONSTRAINT");
  EXPECT_STREQ(ErrorName(25), "SQLITE_RANGE");
  EXPECT_STREQ(ErrorName(26), "UNKNOWN_ERROR");
  EXPECT_STREQ(ErrorName(100), "SQLITE_ROW");
  EXPECT_STREQ(ErrorName(101), "SQLITE_DONE");
  EXPECT_STREQ(ErrorName(1000), "CPPSQLITE_ERROR");
  EXPECT_STREQ(ErrorName(-1), "UNKNOWN_ERROR");
}

TEST(ExceptionTest, MessageFormatAndCopies) {
  CppSQLite3Exception e(5, "locked");
  EXPECT_EQ(e.Code(), 5);
  EXPECT_STREQ(e.Message(), "SQLITE_BUSY[5]: locked");
  CppSQLite3Exception copy(e);
  EXPECT_STREQ(copy.Message(), e.Message());
  EXPECT_NE(copy.Message(), e.Message());  // duplicated, not shared
  CppSQLite3Exception other(1000, nullptr);
  EXPECT_STREQ(other.Message(), "CPPSQLITE_ERROR[1000]: ");
  other = e;
  EXPECT_EQ(other.Code(), 5);
  EXPECT_STREQ(other.Message(), "SQLITE_BUSY[5]: locked");
}

TEST_F(SqlWrapperTest, SyntaxErrorInStatementCarriesEngineText) {
  CppSQLite3Exception e = Caught([&] { db_.RunStatement("updat t set a=1"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_EQ(std::string(e.Message()).rfind("SQLITE_ERROR[1]: ", 0), 0u);
  EXPECT_GT(std::string(e.Message()).size(), std::string("SQLITE_ERROR[1]: ").size());
}

// A prepared statement fails when it is made, with the engine's text.
TEST_F(SqlWrapperTest, SyntaxErrorInQueryCarriesEngineText) {
  CppSQLite3Exception e = Caught([&] { StoreStatement(db_, "selec * from t"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_EQ(std::string(e.Message()).rfind("SQLITE_ERROR[1]: ", 0), 0u);
  EXPECT_NE(std::string(e.Message()).find("syntax error"), std::string::npos);
}

TEST_F(SqlWrapperTest, ConstraintViolationCodes) {
  db_.RunStatement("insert into t values(1, 'x', 7)");
  CppSQLite3Exception e = Caught([&] { db_.RunStatement("insert into t values(2, 'y', 7)"); });
  EXPECT_EQ(e.Code(), 19);
  const std::string prefix = "SQLITE_CONSTRAINT[19]: ";
  EXPECT_EQ(std::string(e.Message()).rfind(prefix, 0), 0u);
  EXPECT_GT(std::string(e.Message()).size(), prefix.size());

  // A prepared statement's failed step carries the constraint's own code,
  // not a generic error.
  StoreStatement insert(db_, "insert into t values(?, ?, ?)");
  insert.bind(1, 3);
  insert.bind(2, std::string("z"));
  insert.bind(3, 7);
  CppSQLite3Exception q = Caught([&] { insert.exec(); });
  EXPECT_EQ(q.Code(), 19);
  EXPECT_EQ(std::string(q.Message()).rfind(prefix, 0), 0u);
}

TEST_F(SqlWrapperTest, ChangedRowCounts) {
  EXPECT_EQ(db_.RunStatement("insert into t values(1, 'x', 1)"), 1);
  db_.RunStatement("insert into t values(1, 'y', 2)");
  EXPECT_EQ(db_.RunStatement("update t set b='z' where a=1"), 2);
  EXPECT_EQ(db_.RunStatement("update t set b='z' where a=99"), 0);
  StoreStatement update(db_, "update t set b=? where a=?");
  update.bind(1, std::string("w"));
  update.bind(2, 1);
  EXPECT_EQ(update.exec(), 2);
  update.bind(2, 99);  // the other value stays bound; the run starts afresh
  EXPECT_EQ(update.exec(), 0);
}

// Values never become SQL text: quotes, SQL and bytes outside ASCII come
// back as they went in, each type as itself.
TEST_F(SqlWrapperTest, BoundValuesRoundTrip) {
  db_.RunStatement("create table v(i, j, d, s, n)");
  const std::string odd = "o'k \"q\" '); drop table t; -- \x01\x7f\x80\xfe\xff \xe6\x96\x87";
  StoreStatement insert(db_, "insert into v values(?, ?, ?, ?, ?)");
  insert.bind(1, -7);
  insert.bind(2, int64_t{1} << 40);
  insert.bind(3, 2.5);
  insert.bind(4, odd);
  insert.bind(5, nullptr);
  EXPECT_EQ(insert.exec(), 1);
  StoreStatement q(db_,
                   "select i, j, d, s, n, typeof(i) || typeof(j) || typeof(d) || typeof(s) || "
                   "typeof(n) as types from v where s=?");
  q.bind(1, odd);
  ASSERT_TRUE(q.executeStep());
  EXPECT_EQ(q.getInt("i"), -7);
  EXPECT_EQ(q.getInt64("j"), int64_t{1} << 40);
  EXPECT_DOUBLE_EQ(q.getDouble("d"), 2.5);
  EXPECT_EQ(q.getText("s"), odd);
  EXPECT_TRUE(q.isNull("n"));
  EXPECT_FALSE(q.isNull("s"));
  EXPECT_EQ(q.getText("types"), "integerintegerrealtextnull");
  EXPECT_FALSE(q.executeStep());
  EXPECT_EQ(db_.RunStatement("delete from t"), 0);  // still there
}

TEST_F(SqlWrapperTest, MisuseIsRefused) {
  StoreStatement two(db_, "select a from t where a=? and b=?");
  EXPECT_EQ(Caught([&] { two.bind(3, 1); }).Code(), 25);  // SQLITE_RANGE
  EXPECT_EQ(Caught([&] { two.bind(0, 1); }).Code(), 25);
  two.bind(1, 1);
  // The forgotten value would have matched as NULL, silently.
  EXPECT_STREQ(Caught([&] { two.executeStep(); }).Message(),
               "CPPSQLITE_ERROR[1000]: No value bound to a placeholder");
  two.bind(2, std::string("x"));
  EXPECT_FALSE(two.executeStep());
  EXPECT_EQ(Caught([&] { two.executeStep(); }).Code(), 1000);  // at its end until reset
  two.reset();
  EXPECT_FALSE(two.executeStep());

  StoreStatement query(db_, "select 1");
  EXPECT_EQ(Caught([&] { query.exec(); }).Code(), 1000);
  // Text the engine would silently leave unrun, or none at all.
  EXPECT_EQ(Caught([&] { StoreStatement(db_, "delete from t; drop table t"); }).Code(), 1000);
  EXPECT_EQ(Caught([&] { StoreStatement(db_, "  -- nothing"); }).Code(), 1000);
  StoreStatement trailing(db_, "select 1; ");  // a closing semicolon is fine
  EXPECT_TRUE(trailing.executeStep());
}

TEST_F(SqlWrapperTest, FieldNamesAndIndexes) {
  db_.RunStatement("insert into t values(1, 'x', 1)");
  StoreStatement q(db_, "select a as file_id, b from t");
  ASSERT_TRUE(q.executeStep());
  EXPECT_EQ(q.getColumnCount(), 2);
  EXPECT_EQ(q.getColumnIndex("file_id"), 0);
  EXPECT_EQ(q.getColumnIndex("b"), 1);
  CppSQLite3Exception upper = Caught([&] { q.getColumnIndex("FILE_ID"); });
  EXPECT_EQ(upper.Code(), 1000);
  EXPECT_STREQ(upper.Message(), "CPPSQLITE_ERROR[1000]: Invalid field name requested");
  EXPECT_STREQ(Caught([&] { q.getColumnIndex(nullptr); }).Message(),
               "CPPSQLITE_ERROR[1000]: Invalid field name requested");
  EXPECT_STREQ(Caught([&] { q.isNull(2); }).Message(),
               "CPPSQLITE_ERROR[1000]: Invalid field index requested");
  EXPECT_STREQ(Caught([&] { q.getInt(-1); }).Message(),
               "CPPSQLITE_ERROR[1000]: Invalid field index requested");
}

TEST_F(SqlWrapperTest, NullColumnsReadAsZeroAndEmpty) {
  db_.RunStatement("insert into t values(null, null, null)");
  StoreStatement q(db_, "select * from t");
  ASSERT_TRUE(q.executeStep());
  EXPECT_TRUE(q.isNull(0));
  EXPECT_EQ(q.getInt("a"), 0);
  EXPECT_EQ(q.getInt64("a"), 0);
  EXPECT_EQ(q.getDouble("a"), 0.0);
  EXPECT_EQ(q.getText("b"), "");
}

TEST_F(SqlWrapperTest, IntValueKeepsLow32Bits) {
  db_.RunStatement("insert into t(a) values(4294967298)");  // 2^32 + 2
  db_.RunStatement("insert into t(a) values(6442450943)");  // 0x17fffffff
  StoreStatement q(db_, "select a from t order by a");
  ASSERT_TRUE(q.executeStep());
  EXPECT_EQ(q.getInt("a"), 2);
  EXPECT_EQ(q.getInt64("a"), 4294967298LL);
  ASSERT_TRUE(q.executeStep());
  EXPECT_EQ(q.getInt("a"), 2147483647);
  EXPECT_FALSE(q.executeStep());
}

TEST_F(SqlWrapperTest, CursorWalksRowsAndEnds) {
  StoreStatement insert(db_, "insert into t(a) values(?)");
  for (int i = 0; i < 3; ++i) {
    insert.bind(1, i);
    insert.exec();
  }
  StoreStatement q(db_, "select a from t order by a");
  int seen = 0;
  while (q.executeStep()) EXPECT_EQ(q.getInt("a"), seen++);
  EXPECT_EQ(seen, 3);
  // Past the end there is no row to read.
  EXPECT_STREQ(Caught([&] { q.getInt("a"); }).Message(), "CPPSQLITE_ERROR[1000]: No current row");
  q.reset();
  ASSERT_TRUE(q.executeStep());  // from the start again
  EXPECT_EQ(q.getInt("a"), 0);
  StoreStatement none(db_, "select a from t where a > 10");
  EXPECT_FALSE(none.executeStep());
  EXPECT_EQ(none.getColumnCount(), 1);
  CppSQLite3Exception e = Caught([&] { StoreStatement(db_, "select * from missing"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_NE(std::string(e.Message()).find("no such table"), std::string::npos);
}

TEST_F(SqlWrapperTest, FailedStepLeavesNoRow) {
  db_.RunStatement("insert into t(a) values(1)");
  db_.RunStatement("insert into t(a) values(-9223372036854775808)");
  // abs() of the smallest integer overflows on the second row only (rows
  // stream in insertion order without a sort).
  StoreStatement q(db_, "select abs(a) as v from t");
  ASSERT_TRUE(q.executeStep());
  EXPECT_EQ(q.getInt("v"), 1);
  CppSQLite3Exception e = Caught([&] { q.executeStep(); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_NE(std::string(e.Message()).find("integer overflow"), std::string::npos);
  EXPECT_STREQ(Caught([&] { q.getInt("v"); }).Message(), "CPPSQLITE_ERROR[1000]: No current row");
  EXPECT_STREQ(Caught([&] { q.executeStep(); }).Message(),
               "CPPSQLITE_ERROR[1000]: Statement at its end; reset it first");
}

// The seam judges the text as written, so a filter names a statement, not
// the values of one run.
TEST_F(SqlWrapperTest, FaultSeamSeesTextWithPlaceholders) {
  std::string seen;
  CppSQLite3DB::SetFaultForTest([&](const std::string& sql) {
    seen = sql;
    return sql.find("values(?)") != std::string::npos;
  });
  StoreStatement insert(db_, "insert into t(a) values(?)");
  insert.bind(1, 5);
  CppSQLite3Exception e = Caught([&] { insert.exec(); });
  StoreStatement q(db_, "select count(*) as n from t where a=?");
  q.bind(1, 5);
  bool stepped = q.executeStep();
  CppSQLite3DB::SetFaultForTest(nullptr);
  EXPECT_EQ(e.Code(), 10);
  EXPECT_STREQ(e.Message(), "SQLITE_IOERR[10]: injected fault");
  EXPECT_EQ(seen, "select count(*) as n from t where a=?");
  ASSERT_TRUE(stepped);
  EXPECT_EQ(q.getInt("n"), 0);
}

TEST_F(SqlWrapperTest, ClosedConnectionRefusesEverything) {
  db_.CloseDb();
  EXPECT_FALSE(db_.IsOpen());
  const char* closed = "CPPSQLITE_ERROR[1000]: Database not open";
  EXPECT_STREQ(Caught([&] { db_.RunStatement("select 1"); }).Message(), closed);
  EXPECT_STREQ(Caught([&] { StoreStatement(db_, "select 1"); }).Message(), closed);
  db_.CloseDb();  // twice is harmless
}

TEST_F(SqlWrapperTest, OpenFailureCarriesCode) {
  CppSQLite3DB other;
  CppSQLite3Exception e = Caught([&] { other.OpenDb(tmp_.Sub("no/such/dir/x.db")); });
  EXPECT_EQ(e.Code(), 14);
  EXPECT_EQ(std::string(e.Message()).rfind("SQLITE_CANTOPEN[14]: ", 0), 0u);
  EXPECT_FALSE(other.IsOpen());
}

TEST_F(SqlWrapperTest, BackslashPathsAreOpenedNatively) {
  CppSQLite3DB other;
  other.OpenDb(tmp_.path() + "\\b.db");
  EXPECT_TRUE(other.IsOpen());
  other.RunStatement("create table x(a)");
  other.CloseDb();
  EXPECT_FALSE(ReadFileBytes(tmp_.Sub("b.db")).empty());
}

TEST_F(SqlWrapperTest, DataStatementsAreLoggedQueriesAreNot) {
  CLog* log = CLog::Instance();
  log->SetEnabled(true);
  log->SetThreshold(3);
  log->Queue().TakeAll();
  db_.RunStatement("insert into t(a) values(42)");
  {
    StoreStatement insert(db_, "insert into t(a, b) values(?, ?)");
    insert.bind(1, 43);
    insert.bindHidden(2, std::string("it's secret"));
    insert.exec();
    StoreStatement q(db_, "select * from t where a=?");
    q.bind(1, 42);
    q.executeStep();
  }
  auto lines = log->Queue().TakeAll();
  log->SetEnabled(false);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines.front().find("LOG_DEBUG sql=insert into t(a) values(42)"), std::string::npos);
  // With its values, as the engine quotes them; a hidden one masked.
  EXPECT_NE(lines.back().find("LOG_DEBUG sql=insert into t(a, b) values(43, '***')"),
            std::string::npos);
  StoreStatement stored(db_, "select b from t where a=43");
  ASSERT_TRUE(stored.executeStep());
  EXPECT_EQ(stored.getText("b"), "it's secret");
}

}  // namespace

namespace {

// A statement given back and taken again: no value or row of its last run
// carries over, two alive at once are two, and a column added by another
// connection or a closed connection finds none stale.
TEST_F(SqlWrapperTest, StatementsKeptForTheirTextStartClean) {
  db_.RunStatement("insert into t(a, b, c) values(1, 'one', 1), (2, 'two', 2)");
  const std::string sql = "select b from t where a=?";
  auto read = [&](int a) {
    StoreStatement q(db_, sql);
    q.bind(1, a);
    return q.executeStep() ? q.getText(0) : std::string("none");
  };
  EXPECT_EQ(read(1), "one");
  EXPECT_EQ(read(2), "two");
  {
    StoreStatement unbound(db_, sql);  // the last run's value is gone
    EXPECT_THROW(unbound.executeStep(), CppSQLite3Exception);
  }
  {
    StoreStatement outer(db_, sql), inner(db_, sql);
    outer.bind(1, 1);
    inner.bind(1, 2);
    ASSERT_TRUE(outer.executeStep() && inner.executeStep());
    EXPECT_EQ(outer.getText(0) + inner.getText(0), "onetwo");
  }
  // Left in the middle of its rows, it holds no read open: a writer of
  // another connection still commits.
  for (const char* sql : {"select a from t", "select * from t where a=1"}) {
    StoreStatement partly(db_, sql);
    ASSERT_TRUE(partly.executeStep());
  }
  CppSQLite3DB other;
  other.SetBusyTimeout(0);
  other.OpenDb(tmp_.Sub("w.db"));
  other.RunStatement("alter table t add column d int default 7");
  {
    StoreStatement q(db_, "select * from t where a=1");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getInt("d"), 7);
  }
  db_.CloseDb();
  db_.OpenDb(tmp_.Sub("w.db"));
  EXPECT_EQ(read(2), "two");
}

}  // namespace
