-- The main database: accounts and the one setting row. The build turns this
-- into the template tandrel.db, and the program carries it as a fallback.
CREATE TABLE account(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  user TEXT NOT NULL UNIQUE,
  pwd TEXT,
  type INTEGER,
  down_server TEXT,
  smtp_server TEXT,
  port INTEGER,
  ssl_flag INTEGER,
  is_default INTEGER NOT NULL DEFAULT 0,
  save_pwd INTEGER
);
CREATE TABLE setting(
  auto_login INTEGER,
  auto_start INTEGER,
  data_dir TEXT
);
INSERT INTO setting(auto_login, auto_start, data_dir) VALUES(0, 0, '');
