#include "platform/registry/registry.h"

#include <sqlite3.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <locale.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/text/text.h"

namespace platform {

// Hive schema (PRAGMA user_version = 1):
//   keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent, name, fold)
//     id 1 is the root of the 64-bit view, id 2 the root of the 32-bit view
//     (parent NULL); every other key has its parent's id; "name" keeps the
//     case of creation, "fold" is the upper-cased name that lookups use;
//     UNIQUE(parent, fold). Ids are never reused, so a deleted key stays
//     deleted for a RegKey that still holds its id.
//   vals(key, name, fold, type, data), PRIMARY KEY(key, fold); type 1 text
//     (UTF-8 in data), type 4 DWORD (integer in data). Values go with their
//     key (ON DELETE CASCADE).

namespace {

constexpr int kSchemaVersion = 1;
constexpr int64_t kRoot64 = 1;
constexpr int64_t kRoot32 = 2;
constexpr int kBusyTimeoutMs = 10000;

const char* const kSchema =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data NOT NULL,"
    "  PRIMARY KEY(key, fold)) WITHOUT ROWID;"
    "INSERT INTO keys(id, parent, name, fold) VALUES(1, NULL, '', ''), (2, NULL, '', '');"
    "PRAGMA user_version = 1;";

thread_local RegStatus t_status = RegStatus::Ok;
thread_local std::string t_text;

RegStatus Fail(RegStatus s, std::string text) {
  t_status = s;
  t_text = std::move(text);
  return s;
}
RegStatus Succeed() {
  t_status = RegStatus::Ok;
  t_text.clear();
  return RegStatus::Ok;
}

// ---- names -----------------------------------------------------------------

locale_t FoldLocale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return loc;
}

std::string Fold(std::wstring_view name) {
  std::wstring up(name);
  locale_t loc = FoldLocale();
  for (wchar_t& c : up) {
    if (loc)
      c = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), loc));
    else if (c >= L'a' && c <= L'z')
      c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return WideToUtf8String(up);
}

std::vector<std::wstring> SplitPath(std::wstring_view path) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

int64_t RootOf(View view) { return view == View::Wow64_32 ? kRoot32 : kRoot64; }

const char* HiveName(Hive hive) {
  return hive == Hive::LocalMachine ? "machine" : "user";
}

// ---- SQLite helpers -------------------------------------------------------

RegStatus MapSqlite(int rc, RegStatus fallback) {
  switch (rc & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return RegStatus::Corrupt;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return RegStatus::Busy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return RegStatus::AccessDenied;
    case SQLITE_CANTOPEN:
      return RegStatus::CantOpen;
    case SQLITE_FULL:
    case SQLITE_IOERR:
      return fallback;
    default:
      return fallback;
  }
}

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : db_(db) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  int rc() const { return rc_; }
  Stmt& Bind(int i, int64_t v) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Stmt& Bind(int i, const std::string& v) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code (kept in rc()).
  int Step() {
    if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW && rc_ != SQLITE_DONE) return rc_;
    int r = sqlite3_step(st_);
    rc_ = (r == SQLITE_ROW || r == SQLITE_DONE) ? SQLITE_OK : r;
    return r;
  }
  int64_t Int(int col) { return sqlite3_column_int64(st_, col); }
  int Type(int col) { return sqlite3_column_type(st_, col); }
  std::string Text(int col) {
    const unsigned char* p = sqlite3_column_text(st_, col);
    int n = sqlite3_column_bytes(st_, col);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
  int rc_;
};

// One connection per hive and process.
struct Conn {
  std::mutex mutex;
  sqlite3* db = nullptr;
  std::string path;
  pid_t pid = 0;
  std::string file_id;  // device and inode of the open file
};

// Device and inode of the file at `path`, empty when there is none.
std::string FileId(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::string();
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

Conn& ConnOf(Hive hive) {
  static Conn conns[2];
  return conns[hive == Hive::LocalMachine ? 0 : 1];
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Runs inside the connection's lock. On failure `db` is nullptr and the
// thread's error is set.
class Session {
 public:
  // create: make the folders and the file when missing.
  Session(Hive hive, bool create) : conn_(ConnOf(hive)), lock_(conn_.mutex), hive_(hive) {
    status_ = Attach(create);
  }
  sqlite3* db() const { return conn_.db; }
  RegStatus status() const { return status_; }
  const std::string& path() const { return conn_.path; }
  const std::string& file_id() const { return conn_.file_id; }

  RegStatus Error(int rc, RegStatus fallback, const char* what) {
    RegStatus s = MapSqlite(rc, fallback);
    std::string text = std::string(HiveName(hive_)) + " registry hive " + conn_.path + ": " + what + ": ";
    text += conn_.db ? sqlite3_errmsg(conn_.db) : sqlite3_errstr(rc);
    if (s == RegStatus::Corrupt) text += " (damaged hive; MoveAsideDamagedHive starts an empty one)";
    return Fail(s, text);
  }

  // Drops the connection (after it was found damaged).
  void Detach() {
    if (conn_.db) sqlite3_close_v2(conn_.db);
    conn_.db = nullptr;
    conn_.path.clear();
    conn_.file_id.clear();
  }

 private:
  RegStatus Attach(bool create) {
    std::string path = HivePath(hive_);
    if (conn_.db && conn_.pid != getpid()) {
      // Inherited through fork(): never touch the parent's connection.
      conn_.db = nullptr;
      conn_.path.clear();
      conn_.file_id.clear();
    }
    // Another path (a new sysroot), or another file at the path (the hive
    // was moved aside, maybe by another process): start afresh.
    const std::string id = FileId(path);
    if (conn_.db && (conn_.path != path || conn_.file_id != id)) Detach();
    if (conn_.db) return RegStatus::Ok;

    if (id.empty()) {
      if (!create) {
        return Fail(RegStatus::NotFound, std::string(HiveName(hive_)) + " registry hive " + path + " does not exist");
      }
      if (!MakeFolders(FolderOf(path))) {
        int e = errno;
        return Fail(e == EACCES || e == EPERM || e == EROFS ? RegStatus::AccessDenied : RegStatus::CantOpen,
                    "can't create the folder of registry hive " + path + ": " + std::strerror(e));
      }
    }
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    conn_.db = db;
    conn_.path = path;
    conn_.pid = getpid();
    if (rc != SQLITE_OK) {
      RegStatus s = Error(rc, RegStatus::CantOpen, "open failed");
      Detach();
      return s;
    }
    conn_.file_id = FileId(path);
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Keep the -wal and -shm files when the last connection closes, so that
    // a process that may only read the hive can still open it in WAL mode.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    RegStatus s = Prepare();
    if (s != RegStatus::Ok) Detach();
    return s;
  }

  RegStatus Exec(const char* sql, const char* what) {
    int rc = sqlite3_exec(conn_.db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? RegStatus::Ok : Error(rc, RegStatus::CantOpen, what);
  }

  RegStatus Prepare() {
    sqlite3* db = conn_.db;
    {
      // Fails with SQLITE_NOTADB on a file that is not a database.
      Stmt wal(db, "PRAGMA journal_mode=WAL");
      int r = wal.ok() ? wal.Step() : wal.rc();
      if (r != SQLITE_ROW && r != SQLITE_DONE) return Error(r, RegStatus::CantOpen, "can't read the file");
    }
    if (RegStatus s = Exec("PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;", "setup"); s != RegStatus::Ok)
      return s;
    int64_t version = 0;
    if (RegStatus s = ReadVersion(version); s != RegStatus::Ok) return s;
    if (version == 0) {
      if (RegStatus s = Exec("BEGIN IMMEDIATE", "can't lock"); s != RegStatus::Ok) return s;
      RegStatus s = CreateSchema();
      if (s != RegStatus::Ok) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return s;
      }
      if (RegStatus c = Exec("COMMIT", "can't write the schema"); c != RegStatus::Ok) return c;
      if (RegStatus r = ReadVersion(version); r != RegStatus::Ok) return r;
    }
    if (version != kSchemaVersion) {
      return Fail(RegStatus::Corrupt, std::string(HiveName(hive_)) + " registry hive " + conn_.path +
                                          ": unknown format version " + std::to_string(version));
    }
    // A truncated or scribbled file often opens fine and fails only on the
    // page that is gone; look at every page once per connection.
    Stmt check(db, "PRAGMA quick_check");
    int r = check.ok() ? check.Step() : check.rc();
    if (r != SQLITE_ROW) return Error(r == SQLITE_DONE ? SQLITE_CORRUPT : r, RegStatus::CantRead, "check failed");
    std::string answer = check.Text(0);
    if (answer != "ok") {
      for (int more = 0; more < 3 && check.Step() == SQLITE_ROW; ++more) answer += "; " + check.Text(0);
      return Fail(RegStatus::Corrupt, std::string(HiveName(hive_)) + " registry hive " + conn_.path +
                                          " is damaged: " + answer);
    }
    // The roots must be there.
    Stmt roots(db, "SELECT count(*) FROM keys WHERE id IN (1, 2) AND parent IS NULL");
    r = roots.ok() ? roots.Step() : roots.rc();
    if (r != SQLITE_ROW) return Error(r, RegStatus::CantRead, "can't read the roots");
    if (roots.Int(0) != 2) {
      return Fail(RegStatus::Corrupt,
                  std::string(HiveName(hive_)) + " registry hive " + conn_.path + " has lost its root keys");
    }
    return RegStatus::Ok;
  }

  RegStatus ReadVersion(int64_t& version) {
    Stmt v(conn_.db, "PRAGMA user_version");
    int r = v.ok() ? v.Step() : v.rc();
    if (r != SQLITE_ROW) return Error(r, RegStatus::CantRead, "can't read the format version");
    version = v.Int(0);
    return RegStatus::Ok;
  }

  // Inside BEGIN IMMEDIATE: an empty database gets the schema; a database
  // with tables of someone else's is not a hive.
  RegStatus CreateSchema() {
    int64_t version = 0;
    if (RegStatus s = ReadVersion(version); s != RegStatus::Ok) return s;
    if (version != 0) return RegStatus::Ok;  // another process was first
    Stmt count(conn_.db, "SELECT count(*) FROM sqlite_master");
    int r = count.ok() ? count.Step() : count.rc();
    if (r != SQLITE_ROW) return Error(r, RegStatus::CantRead, "can't read the schema");
    if (count.Int(0) != 0) {
      return Fail(RegStatus::Corrupt, std::string(HiveName(hive_)) + " registry hive " + conn_.path +
                                          " is a database without the registry schema");
    }
    int rc = sqlite3_exec(conn_.db, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return Error(rc, RegStatus::CantWrite, "can't create the schema");
    return RegStatus::Ok;
  }

  Conn& conn_;
  std::lock_guard<std::mutex> lock_;
  Hive hive_;
  RegStatus status_;
};

// A transaction on a session; rolled back unless committed.
class Txn {
 public:
  Txn(Session& s, bool write) : s_(s) {
    int rc = sqlite3_exec(s.db(), write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
    status_ = rc == SQLITE_OK ? RegStatus::Ok : s.Error(rc, RegStatus::Busy, "can't begin a transaction");
    open_ = rc == SQLITE_OK;
  }
  ~Txn() {
    if (open_) sqlite3_exec(s_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  RegStatus status() const { return status_; }
  RegStatus Commit() {
    int rc = sqlite3_exec(s_.db(), "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return s_.Error(rc, RegStatus::CantWrite, "commit failed");
    open_ = false;
    return RegStatus::Ok;
  }

 private:
  Session& s_;
  bool open_ = false;
  RegStatus status_;
};

// Looks up a child key. Answers SQLITE_ROW with `child` set, SQLITE_DONE when
// missing, or an error code.
int FindChild(sqlite3* db, int64_t parent, const std::string& fold, int64_t& child) {
  Stmt q(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  q.Bind(1, parent).Bind(2, fold);
  if (!q.ok()) return q.rc();
  int r = q.Step();
  if (r == SQLITE_ROW) child = q.Int(0);
  return r;
}

int KeyExists(sqlite3* db, int64_t id, bool& exists) {
  Stmt q(db, "SELECT 1 FROM keys WHERE id = ?1");
  q.Bind(1, id);
  if (!q.ok()) return q.rc();
  int r = q.Step();
  if (r != SQLITE_ROW && r != SQLITE_DONE) return r;
  exists = r == SQLITE_ROW;
  return SQLITE_OK;
}

// Walks `parts` below `start`; creates missing keys when `create`.
RegStatus Resolve(Session& s, int64_t start, const std::vector<std::wstring>& parts, bool create, int64_t& id,
                  bool* created) {
  int64_t cur = start;
  if (created) *created = false;
  for (const std::wstring& part : parts) {
    std::string fold = Fold(part);
    int64_t child = 0;
    int r = FindChild(s.db(), cur, fold, child);
    if (r == SQLITE_DONE) {
      if (!create) return Fail(RegStatus::NotFound, "registry key not found: " + WideToUtf8String(part));
      Stmt ins(s.db(), "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
      ins.Bind(1, cur).Bind(2, WideToUtf8String(part)).Bind(3, fold);
      int ri = ins.ok() ? ins.Step() : ins.rc();
      if (ri != SQLITE_DONE) return s.Error(ri, RegStatus::CantWrite, "can't create a key");
      child = sqlite3_last_insert_rowid(s.db());
      if (created) *created = true;
    } else if (r != SQLITE_ROW) {
      return s.Error(r, RegStatus::CantRead, "can't read a key");
    } else if (created) {
      *created = false;
    }
    cur = child;
  }
  id = cur;
  return RegStatus::Ok;
}

// Checks inside a transaction that the key still exists, in the same hive
// file it was opened in.
RegStatus CheckKey(Session& s, int64_t id, const std::string& file_id) {
  if (file_id != s.file_id()) return Fail(RegStatus::KeyDeleted, "the registry hive " + s.path() + " was replaced");
  bool exists = false;
  int r = KeyExists(s.db(), id, exists);
  if (r != SQLITE_OK) return s.Error(r, RegStatus::CantRead, "can't read a key");
  if (!exists) return Fail(RegStatus::KeyDeleted, "the registry key was deleted");
  return RegStatus::Ok;
}

// What every operation on an open key begins with: the hive's session, a
// transaction (IMMEDIATE for writes), and the check that the key is still
// there in the same hive file. status() is the first failure, or Ok.
class KeyScope {
 public:
  KeyScope(Hive hive, int64_t id, const std::string& file, bool write) : session_(hive, false) {
    status_ = session_.status();
    if (status_ != RegStatus::Ok) return;
    txn_.emplace(session_, write);
    status_ = txn_->status();
    if (status_ != RegStatus::Ok) return;
    status_ = CheckKey(session_, id, file);
  }
  RegStatus status() const { return status_; }
  Session& session() { return session_; }
  RegStatus Commit() { return txn_->Commit(); }

 private:
  Session session_;
  std::optional<Txn> txn_;
  RegStatus status_;
};

struct RawValue {
  int64_t type = 0;
  int64_t number = 0;
  std::string text;
};

// SQLITE_ROW with `v` filled, SQLITE_DONE when missing, or an error.
int ReadValue(sqlite3* db, int64_t key, const std::string& fold, RawValue& v) {
  Stmt q(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
  q.Bind(1, key).Bind(2, fold);
  if (!q.ok()) return q.rc();
  int r = q.Step();
  if (r == SQLITE_ROW) {
    v.type = q.Int(0);
    if (v.type == static_cast<int64_t>(RegType::Dword))
      v.number = q.Int(1);
    else
      v.text = q.Text(1);
  }
  return r;
}

int WriteValue(sqlite3* db, int64_t key, std::wstring_view name, RegType type, int64_t number,
               const std::string* text) {
  // An existing value keeps the name it was created with.
  Stmt q(db,
         "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
         "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
  q.Bind(1, key).Bind(2, WideToUtf8String(name)).Bind(3, Fold(name)).Bind(4, static_cast<int64_t>(type));
  if (text)
    q.Bind(5, *text);
  else
    q.Bind(5, number);
  if (!q.ok()) return q.rc();
  int r = q.Step();
  return r == SQLITE_DONE ? SQLITE_OK : r;
}

RegStatus DeleteTree(Session& s, int64_t id) {
  Stmt del(s.db(),
           "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
           "DELETE FROM keys WHERE id IN sub");
  del.Bind(1, id);
  int r = del.ok() ? del.Step() : del.rc();
  if (r != SQLITE_DONE) return s.Error(r, RegStatus::CantWrite, "can't delete a key");
  return RegStatus::Ok;
}

}  // namespace

RegStatus RegLastError() { return t_status; }
std::string RegLastErrorText() { return t_text; }

std::string HivePath(Hive hive) {
  if (hive == Hive::LocalMachine) return Sysroot() + "var/lib/qiv/machine.db";
  return UserConfigFolder() + "qiv/user.db";
}

RegStatus MoveAsideDamagedHive(Hive hive) {
  Conn& c = ConnOf(hive);
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.db && c.pid == getpid()) sqlite3_close_v2(c.db);
  c.db = nullptr;
  c.path.clear();
  c.file_id.clear();
  std::string path = HivePath(hive);
  if (std::rename(path.c_str(), (path + ".corrupt").c_str()) != 0 && errno != ENOENT) {
    return Fail(RegStatus::AccessDenied, "can't move registry hive " + path + " aside: " + std::strerror(errno));
  }
  // The write-ahead log goes along, so that "<name>.corrupt" opens with it.
  std::rename((path + "-wal").c_str(), (path + ".corrupt-wal").c_str());
  std::remove((path + "-shm").c_str());
  return Succeed();
}

void CloseAllHives() {
  for (Hive h : {Hive::LocalMachine, Hive::CurrentUser}) {
    Conn& c = ConnOf(h);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.db && c.pid == getpid()) sqlite3_close_v2(c.db);
    c.db = nullptr;
    c.path.clear();
    c.file_id.clear();
  }
}

void RegKey::Close() {
  id_ = 0;
  file_.clear();
}

RegStatus RegKey::Open(Hive hive, std::wstring_view path, View view) {
  Close();
  Session s(hive, false);
  if (s.status() != RegStatus::Ok) return s.status();
  Txn t(s, false);
  if (t.status() != RegStatus::Ok) return t.status();
  int64_t id = 0;
  if (RegStatus r = Resolve(s, RootOf(view), SplitPath(path), false, id, nullptr); r != RegStatus::Ok) return r;
  hive_ = hive;
  view_ = view;
  id_ = id;
  file_ = s.file_id();
  return Succeed();
}

RegStatus RegKey::Create(Hive hive, std::wstring_view path, View view, bool* created) {
  Close();
  Session s(hive, true);
  if (s.status() != RegStatus::Ok) return s.status();
  Txn t(s, true);
  if (t.status() != RegStatus::Ok) return t.status();
  int64_t id = 0;
  if (RegStatus r = Resolve(s, RootOf(view), SplitPath(path), true, id, created); r != RegStatus::Ok) return r;
  if (RegStatus r = t.Commit(); r != RegStatus::Ok) return r;
  hive_ = hive;
  view_ = view;
  id_ = id;
  file_ = s.file_id();
  return Succeed();
}

namespace {
// Reads one value of the open key `id` in `hive` (a read transaction of its
// own); nullopt with the thread's last status set when it can't be had.
std::optional<RawValue> ReadOneValue(Hive hive, int64_t id, const std::string& file, std::wstring_view name) {
  KeyScope scope(hive, id, file, false);
  if (scope.status() != RegStatus::Ok) return std::nullopt;
  Session& s = scope.session();
  RawValue v;
  int r = ReadValue(s.db(), id, Fold(name), v);
  if (r == SQLITE_DONE) return Fail(RegStatus::NotFound, "registry value not found: " + WideToUtf8String(name)),
                               std::nullopt;
  if (r != SQLITE_ROW) return s.Error(r, RegStatus::CantRead, "can't read a value"), std::nullopt;
  return v;
}
}  // namespace

std::optional<RegType> RegKey::GetType(std::wstring_view name) const {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open"), std::nullopt;
  std::optional<RawValue> read = ReadOneValue(hive_, id_, file_, name);
  if (!read) return std::nullopt;
  const RawValue& v = *read;
  Succeed();
  return static_cast<RegType>(v.type);
}

std::optional<uint32_t> RegKey::GetDword(std::wstring_view name) const {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open"), std::nullopt;
  std::optional<RawValue> read = ReadOneValue(hive_, id_, file_, name);
  if (!read) return std::nullopt;
  const RawValue& v = *read;
  if (v.type != static_cast<int64_t>(RegType::Dword))
    return Fail(RegStatus::NotFound, "registry value is not a DWORD: " + WideToUtf8String(name)), std::nullopt;
  Succeed();
  return static_cast<uint32_t>(v.number);
}

std::optional<std::wstring> RegKey::GetString(std::wstring_view name) const {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open"), std::nullopt;
  std::optional<RawValue> read = ReadOneValue(hive_, id_, file_, name);
  if (!read) return std::nullopt;
  const RawValue& v = *read;
  if (v.type != static_cast<int64_t>(RegType::String))
    return Fail(RegStatus::NotFound, "registry value is not a text: " + WideToUtf8String(name)), std::nullopt;
  Succeed();
  return Utf8ToWideString(v.text);
}

RegStatus RegKey::SetDword(std::wstring_view name, uint32_t value) {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open");
  KeyScope scope(hive_, id_, file_, true);
  if (scope.status() != RegStatus::Ok) return scope.status();
  Session& s = scope.session();
  int r = WriteValue(s.db(), id_, name, RegType::Dword, value, nullptr);
  if (r != SQLITE_OK) return s.Error(r, RegStatus::CantWrite, "can't write a value");
  if (RegStatus c = scope.Commit(); c != RegStatus::Ok) return c;
  return Succeed();
}

RegStatus RegKey::SetString(std::wstring_view name, std::wstring_view value) {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open");
  KeyScope scope(hive_, id_, file_, true);
  if (scope.status() != RegStatus::Ok) return scope.status();
  Session& s = scope.session();
  std::string text = WideToUtf8String(value);
  int r = WriteValue(s.db(), id_, name, RegType::String, 0, &text);
  if (r != SQLITE_OK) return s.Error(r, RegStatus::CantWrite, "can't write a value");
  if (RegStatus c = scope.Commit(); c != RegStatus::Ok) return c;
  return Succeed();
}

RegStatus RegKey::DeleteValue(std::wstring_view name) {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open");
  KeyScope scope(hive_, id_, file_, true);
  if (scope.status() != RegStatus::Ok) return scope.status();
  Session& s = scope.session();
  Stmt del(s.db(), "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
  del.Bind(1, id_).Bind(2, Fold(name));
  int r = del.ok() ? del.Step() : del.rc();
  if (r != SQLITE_DONE) return s.Error(r, RegStatus::CantWrite, "can't delete a value");
  if (sqlite3_changes(s.db()) == 0)
    return Fail(RegStatus::NotFound, "registry value not found: " + WideToUtf8String(name));
  if (RegStatus c = scope.Commit(); c != RegStatus::Ok) return c;
  return Succeed();
}

RegStatus RegKey::UpdateDword(std::wstring_view name,
                              const std::function<std::optional<uint32_t>(std::optional<uint32_t>)>& update,
                              std::optional<uint32_t>* result) {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open");
  KeyScope scope(hive_, id_, file_, true);
  if (scope.status() != RegStatus::Ok) return scope.status();
  Session& s = scope.session();
  RawValue v;
  int r = ReadValue(s.db(), id_, Fold(name), v);
  if (r != SQLITE_ROW && r != SQLITE_DONE) return s.Error(r, RegStatus::CantRead, "can't read a value");
  std::optional<uint32_t> current;
  if (r == SQLITE_ROW && v.type == static_cast<int64_t>(RegType::Dword)) current = static_cast<uint32_t>(v.number);
  std::optional<uint32_t> next = update(current);
  if (next) {
    int w = WriteValue(s.db(), id_, name, RegType::Dword, *next, nullptr);
    if (w != SQLITE_OK) return s.Error(w, RegStatus::CantWrite, "can't write a value");
    if (RegStatus c = scope.Commit(); c != RegStatus::Ok) return c;
  }
  if (result) *result = next ? next : current;
  return Succeed();
}

RegStatus RegKey::UpdateString(
    std::wstring_view name,
    const std::function<std::optional<std::wstring>(const std::optional<std::wstring>&)>& update,
    std::optional<std::wstring>* result) {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open");
  KeyScope scope(hive_, id_, file_, true);
  if (scope.status() != RegStatus::Ok) return scope.status();
  Session& s = scope.session();
  RawValue v;
  int r = ReadValue(s.db(), id_, Fold(name), v);
  if (r != SQLITE_ROW && r != SQLITE_DONE) return s.Error(r, RegStatus::CantRead, "can't read a value");
  std::optional<std::wstring> current;
  if (r == SQLITE_ROW && v.type == static_cast<int64_t>(RegType::String)) current = Utf8ToWideString(v.text);
  std::optional<std::wstring> next = update(current);
  if (next) {
    std::string text = WideToUtf8String(*next);
    int w = WriteValue(s.db(), id_, name, RegType::String, 0, &text);
    if (w != SQLITE_OK) return s.Error(w, RegStatus::CantWrite, "can't write a value");
    if (RegStatus c = scope.Commit(); c != RegStatus::Ok) return c;
  }
  if (result) *result = next ? next : current;
  return Succeed();
}

RegStatus RegKey::EnumSubKeys(std::vector<std::wstring>& names) const {
  names.clear();
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open");
  KeyScope scope(hive_, id_, file_, false);
  if (scope.status() != RegStatus::Ok) return scope.status();
  Session& s = scope.session();
  Stmt q(s.db(), "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold");
  q.Bind(1, id_);
  int r;
  while ((r = q.ok() ? q.Step() : q.rc()) == SQLITE_ROW) names.push_back(Utf8ToWideString(q.Text(0)));
  if (r != SQLITE_DONE) {
    names.clear();
    return s.Error(r, RegStatus::CantRead, "can't list sub-keys");
  }
  return Succeed();
}

RegStatus RegKey::EnumValues(std::vector<RegValueInfo>& values) const {
  values.clear();
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open");
  KeyScope scope(hive_, id_, file_, false);
  if (scope.status() != RegStatus::Ok) return scope.status();
  Session& s = scope.session();
  Stmt q(s.db(), "SELECT name, type FROM vals WHERE key = ?1 ORDER BY fold");
  q.Bind(1, id_);
  int r;
  while ((r = q.ok() ? q.Step() : q.rc()) == SQLITE_ROW)
    values.push_back({Utf8ToWideString(q.Text(0)), static_cast<RegType>(q.Int(1))});
  if (r != SQLITE_DONE) {
    values.clear();
    return s.Error(r, RegStatus::CantRead, "can't list values");
  }
  return Succeed();
}

std::vector<std::wstring> RegKey::EnumSubKeys() const {
  std::vector<std::wstring> names;
  EnumSubKeys(names);
  return names;
}

std::vector<RegValueInfo> RegKey::EnumValues() const {
  std::vector<RegValueInfo> values;
  EnumValues(values);
  return values;
}

RegStatus RegKey::DeleteSubKey(std::wstring_view path) {
  if (!IsOpen()) return Fail(RegStatus::InvalidHandle, "the registry key is not open");
  std::vector<std::wstring> parts = SplitPath(path);
  if (parts.empty()) return Fail(RegStatus::InvalidParameter, "no sub-key named");
  KeyScope scope(hive_, id_, file_, true);
  if (scope.status() != RegStatus::Ok) return scope.status();
  Session& s = scope.session();
  int64_t id = 0;
  if (RegStatus r = Resolve(s, id_, parts, false, id, nullptr); r != RegStatus::Ok) return r;
  if (RegStatus r = DeleteTree(s, id); r != RegStatus::Ok) return r;
  if (RegStatus c = scope.Commit(); c != RegStatus::Ok) return c;
  return Succeed();
}

RegStatus RegKey::DeleteKey(Hive hive, std::wstring_view path, View view) {
  std::vector<std::wstring> parts = SplitPath(path);
  if (parts.empty()) return Fail(RegStatus::InvalidParameter, "the root of a registry view can't be deleted");
  Session s(hive, false);
  if (s.status() != RegStatus::Ok) return s.status();
  Txn t(s, true);
  if (t.status() != RegStatus::Ok) return t.status();
  int64_t id = 0;
  if (RegStatus r = Resolve(s, RootOf(view), parts, false, id, nullptr); r != RegStatus::Ok) return r;
  if (RegStatus r = DeleteTree(s, id); r != RegStatus::Ok) return r;
  if (RegStatus c = t.Commit(); c != RegStatus::Ok) return c;
  return Succeed();
}

}  // namespace platform
