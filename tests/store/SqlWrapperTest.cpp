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

TEST_F(SqlWrapperTest, SyntaxErrorInQueryHasNoDetail) {
  CppSQLite3Exception e = Caught([&] { db_.RunQuery("selec * from t"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_STREQ(e.Message(), "SQLITE_ERROR[1]: ");
}

TEST_F(SqlWrapperTest, SyntaxErrorInStatementCarriesEngineText) {
  CppSQLite3Exception e = Caught([&] { db_.RunStatement("updat t set a=1"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_EQ(std::string(e.Message()).rfind("SQLITE_ERROR[1]: ", 0), 0u);
  EXPECT_GT(std::string(e.Message()).size(), std::string("SQLITE_ERROR[1]: ").size());
}

TEST_F(SqlWrapperTest, ConstraintViolationCodes) {
  db_.RunStatement("insert into t values(1, 'x', 7)");
  CppSQLite3Exception e = Caught([&] { db_.RunStatement("insert into t values(2, 'y', 7)"); });
  EXPECT_EQ(e.Code(), 19);
  const std::string prefix = "SQLITE_CONSTRAINT[19]: ";
  EXPECT_EQ(std::string(e.Message()).rfind(prefix, 0), 0u);
  EXPECT_GT(std::string(e.Message()).size(), prefix.size());

  // Through a cursor the failed step's code comes from finalize, not the
  // step's generic error.
  CppSQLite3Exception q = Caught([&] { db_.RunQuery("insert into t values(3, 'z', 7)"); });
  EXPECT_EQ(q.Code(), 19);
  EXPECT_EQ(std::string(q.Message()).rfind(prefix, 0), 0u);
}

TEST_F(SqlWrapperTest, ChangedRowCounts) {
  EXPECT_EQ(db_.RunStatement("insert into t values(1, 'x', 1)"), 1);
  db_.RunStatement("insert into t values(1, 'y', 2)");
  EXPECT_EQ(db_.RunStatement("update t set b='z' where a=1"), 2);
  EXPECT_EQ(db_.RunStatement("update t set b='z' where a=99"), 0);
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

TEST_F(SqlWrapperTest, FieldNamesAndIndexes) {
  db_.RunStatement("insert into t values(1, 'x', 1)");
  CppSQLite3Query q = db_.RunQuery("select a as file_id, b from t");
  ASSERT_FALSE(q.AtEnd());
  EXPECT_EQ(q.ColumnIndex("file_id"), 0);
  EXPECT_EQ(q.ColumnIndex("b"), 1);
  CppSQLite3Exception upper = Caught([&] { q.ColumnIndex("FILE_ID"); });
  EXPECT_EQ(upper.Code(), 1000);
  EXPECT_STREQ(upper.Message(), "CPPSQLITE_ERROR[1000]: Invalid field name requested");
  EXPECT_STREQ(Caught([&] { q.ColumnIndex(nullptr); }).Message(),
               "CPPSQLITE_ERROR[1000]: Invalid field name requested");
  EXPECT_STREQ(Caught([&] { q.ColumnType(2); }).Message(),
               "CPPSQLITE_ERROR[1000]: Invalid field index requested");
  EXPECT_STREQ(Caught([&] { q.ColumnType(-1); }).Message(),
               "CPPSQLITE_ERROR[1000]: Invalid field index requested");
}

TEST_F(SqlWrapperTest, NullColumnsReadAsZeroAndEmpty) {
  db_.RunStatement("insert into t values(null, null, null)");
  CppSQLite3Query q = db_.RunQuery("select * from t");
  ASSERT_FALSE(q.AtEnd());
  EXPECT_EQ(q.ColumnType(0), 5);
  EXPECT_EQ(q.IntValue("a"), 0);
  EXPECT_EQ(q.Int64Value("a"), 0);
  EXPECT_EQ(q.TextValue("b"), "");
}

TEST_F(SqlWrapperTest, IntValueKeepsLow32Bits) {
  db_.RunStatement("insert into t(a) values(4294967298)");  // 2^32 + 2
  db_.RunStatement("insert into t(a) values(6442450943)");  // 0x17fffffff
  CppSQLite3Query q = db_.RunQuery("select a from t order by a");
  EXPECT_EQ(q.IntValue("a"), 2);
  EXPECT_EQ(q.Int64Value("a"), 4294967298LL);
  q.Next();
  EXPECT_EQ(q.IntValue("a"), 2147483647);
  q.Next();
  EXPECT_TRUE(q.AtEnd());
}

TEST_F(SqlWrapperTest, CursorWalksRowsAndEnds) {
  for (int i = 0; i < 3; ++i)
    db_.RunStatement("insert into t(a) values(" + std::to_string(i) + ")");
  CppSQLite3Query q = db_.RunQuery("select a from t order by a");
  int seen = 0;
  while (!q.AtEnd()) {
    EXPECT_EQ(q.IntValue("a"), seen++);
    q.Next();
  }
  EXPECT_EQ(seen, 3);
  CppSQLite3Query none = db_.RunQuery("select a from t where a > 10");
  EXPECT_TRUE(none.AtEnd());
}

TEST_F(SqlWrapperTest, FailedNextLeavesCursorWithoutStatement) {
  db_.RunStatement("insert into t(a) values(1)");
  db_.RunStatement("insert into t(a) values(-9223372036854775808)");
  // abs() of the smallest integer overflows on the second row only (rows
  // stream in insertion order without a sort).
  CppSQLite3Query q = db_.RunQuery("select abs(a) as v from t");
  ASSERT_FALSE(q.AtEnd());
  EXPECT_EQ(q.IntValue("v"), 1);
  CppSQLite3Exception e = Caught([&] { q.Next(); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_NE(std::string(e.Message()).find("integer overflow"), std::string::npos);
  EXPECT_STREQ(Caught([&] { q.AtEnd(); }).Message(),
               "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
  EXPECT_STREQ(Caught([&] { q.Next(); }).Message(),
               "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
  EXPECT_STREQ(Caught([&] { q.IntValue("v"); }).Message(),
               "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
}

TEST_F(SqlWrapperTest, Tables) {
  db_.RunStatement("insert into t values(1, 'x', 1)");
  db_.RunStatement("insert into t values(2, 'y', 2)");
  CppSQLite3Table table = db_.RunTable("select * from t");
  EXPECT_EQ(table.RowCount(), 2);
  EXPECT_EQ(table.ColumnCount(), 3);
  EXPECT_EQ(db_.RunTable("select * from t where a=9").RowCount(), 0);
  CppSQLite3Table empty;
  EXPECT_STREQ(Caught([&] { empty.RowCount(); }).Message(),
               "CPPSQLITE_ERROR[1000]: Null Results pointer");
  CppSQLite3Exception e = Caught([&] { db_.RunTable("select * from missing"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_NE(std::string(e.Message()).find("no such table"), std::string::npos);
}

TEST_F(SqlWrapperTest, ClosedConnectionRefusesEverything) {
  db_.CloseDb();
  EXPECT_FALSE(db_.IsOpen());
  const char* closed = "CPPSQLITE_ERROR[1000]: Database not open";
  EXPECT_STREQ(Caught([&] { db_.RunStatement("select 1"); }).Message(), closed);
  EXPECT_STREQ(Caught([&] { db_.RunQuery("select 1"); }).Message(), closed);
  EXPECT_STREQ(Caught([&] { db_.RunTable("select 1"); }).Message(), closed);
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
  db_.RunQuery("select * from t");
  auto lines = log->Queue().TakeAll();
  log->SetEnabled(false);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines.front().find("LOG_DEBUG sql=insert into t(a) values(42)"), std::string::npos);
}

}  // namespace
