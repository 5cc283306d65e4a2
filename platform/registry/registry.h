// The registry: two hives of keys holding DWORD and text values, kept in
// SQLite databases.
//
// Where the hives live
//   LocalMachine  <sysroot>var/lib/qiv/machine.db   (platform::Sysroot())
//   CurrentUser   $XDG_CONFIG_HOME/qiv/user.db       (platform::UserConfigFolder())
// The paths are worked out again on every call, so a test (or a whole scratch
// "machine") that changes QIV_SYSROOT or XDG_CONFIG_HOME gets the hive below
// the new folder.
//
// Keys and views
//   A hive holds two separate key trees, the 64-bit view and the 32-bit view.
//   This program is 64-bit, so View::Default is the 64-bit view. A path is a
//   list of key names separated by "\\" ("Software\\B\\B Corvelin\\"); empty
//   names (a leading, doubled or trailing backslash) are skipped, and the
//   empty path is the root of the view. "/" is an ordinary character of a key
//   name, as on Windows. Key and value names compare without regard to case
//   (every code point is upper-cased through the C.UTF-8 locale's table) and
//   keep the case they were created with, which is what enumeration returns.
//   The value with the empty name is the key's default value.
//
// Values
//   Two types, numbered as on Windows: RegType::String (1, REG_SZ) and
//   RegType::Dword (4, REG_DWORD). Text is wide (std::wstring) in the program
//   and UTF-8 in the database. A value of the other type reads as absent
//   (GetDword on a text value answers nullopt with RegStatus::NotFound).
//
// Transactions and processes
//   Every write is one SQLite transaction begun IMMEDIATE (the write lock is
//   taken up front, so two writers never dead-lock on a lock upgrade); a
//   multi-step read runs inside one read transaction. The databases are in
//   WAL mode with a busy timeout of 10 s, so concurrent processes (the normal
//   and the fork instance, an installer) wait for each other instead of
//   failing. UpdateDword/UpdateString are atomic read-modify-writes across
//   processes (a counter incremented by two processes loses no step).
//   Synchronous mode is NORMAL: a committed write survives a crash of the
//   program; the last commits may be lost on a power failure, the database
//   is never damaged by one.
//   Each process keeps one connection per hive, shared by its threads under a
//   mutex. A child made with fork() never uses its parent's connection: it
//   notices the new process id and opens its own (the inherited one is left
//   alone, never closed, as SQLite asks).
//
// Damaged hives
//   A hive file that is not a SQLite database, is truncated, or is a SQLite
//   database without our schema makes every operation on that hive answer
//   RegStatus::Corrupt, with the reason in RegLastErrorText(). Nothing is
//   repaired behind the caller's back: a caller that would rather start
//   afresh calls MoveAsideDamagedHive(hive), which renames the file to
//   "<name>.corrupt" (replacing an older one; its write-ahead log becomes
//   "<name>.corrupt-wal"), removes the "-shm" file, and lets the next
//   operation create an empty hive.
//   A plain Open on a hive whose file does not exist answers NotFound and
//   creates no file; Create makes the folders and the file.
//   Every operation checks that the file at the hive path is still the one
//   its connection has open; when the hive was moved aside (by any process)
//   it reconnects, and keys opened in the old file answer KeyDeleted.
//   The -wal and -shm files are kept when the last connection closes, so
//   that a process that may only read the hive can open it.
//
// Errors
//   Operations answer a RegStatus, whose numbers are the Windows error codes
//   of the same meaning. The calling thread's last status and a readable text
//   (with the hive path and SQLite's message where there is one) are kept in
//   RegLastError()/RegLastErrorText(); successful calls set RegStatus::Ok and
//   clear the text.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class Hive { LocalMachine, CurrentUser };
enum class View { Default, Wow64_32, Wow64_64 };

enum class RegType : uint32_t { String = 1, Dword = 4 };

enum class RegStatus : long {
  Ok = 0,
  NotFound = 2,            // ERROR_FILE_NOT_FOUND: key or value missing, or wrong type
  AccessDenied = 5,        // ERROR_ACCESS_DENIED: the hive file or folder can't be written
  InvalidHandle = 6,       // ERROR_INVALID_HANDLE: the RegKey is not open
  InvalidParameter = 87,   // ERROR_INVALID_PARAMETER: e.g. deleting a view's root
  Busy = 170,              // ERROR_BUSY: another process held the hive past the busy timeout
  CantOpen = 1011,         // ERROR_CANTOPEN: the hive file can't be opened or created
  CantRead = 1012,         // ERROR_CANTREAD
  CantWrite = 1013,        // ERROR_CANTWRITE
  Corrupt = 1015,          // ERROR_REGISTRY_CORRUPT: damaged hive (see above)
  KeyDeleted = 1018,       // ERROR_KEY_DELETED: the open key was deleted meanwhile
};

struct RegValueInfo {
  std::wstring name;  // as created
  RegType type;
};

// Last status and error text of the calling thread.
RegStatus RegLastError();
std::string RegLastErrorText();

// The file that holds `hive` right now.
std::string HivePath(Hive hive);

// Closes this process's connection to `hive` and renames the hive file to
// "<name>.corrupt"; the next operation starts an empty hive. Ok also when
// there was no file.
RegStatus MoveAsideDamagedHive(Hive hive);

// Closes this process's connections (tests use it between scratch machines;
// the program never needs it).
void CloseAllHives();

class RegKey {
 public:
  RegKey() = default;

  // Opens an existing key; NotFound when it (or the hive file) is missing.
  RegStatus Open(Hive hive, std::wstring_view path, View view = View::Default);
  // Opens the key, creating it and its missing parents first.
  // `created` (optional) tells whether the key itself was new.
  RegStatus Create(Hive hive, std::wstring_view path, View view = View::Default,
                   bool* created = nullptr);
  void Close();
  bool IsOpen() const { return id_ != 0; }

  Hive hive() const { return hive_; }
  View view() const { return view_; }

  // Reads: nullopt when the value is missing, has the other type, or on an
  // error (RegLastError() tells which).
  std::optional<uint32_t> GetDword(std::wstring_view name) const;
  std::optional<std::wstring> GetString(std::wstring_view name) const;
  // Type of a value, nullopt when it is missing.
  std::optional<RegType> GetType(std::wstring_view name) const;

  // Writes replace a value of the same name whatever its type; the name keeps
  // the case it was first created with.
  RegStatus SetDword(std::wstring_view name, uint32_t value);
  RegStatus SetString(std::wstring_view name, std::wstring_view value);
  RegStatus DeleteValue(std::wstring_view name);  // NotFound when missing

  // Atomic read-modify-write under one IMMEDIATE transaction. `update` gets
  // the current value (nullopt when missing or of the other type) and answers
  // the value to store, or nullopt to leave everything as it is. It runs
  // while the hive is locked: keep it short and don't touch the registry
  // from inside it. `result` (optional) receives what the value is afterwards.
  RegStatus UpdateDword(std::wstring_view name,
                        const std::function<std::optional<uint32_t>(std::optional<uint32_t>)>& update,
                        std::optional<uint32_t>* result = nullptr);
  RegStatus UpdateString(
      std::wstring_view name,
      const std::function<std::optional<std::wstring>(const std::optional<std::wstring>&)>& update,
      std::optional<std::wstring>* result = nullptr);

  // Direct sub-keys and values, in order of their folded names.
  RegStatus EnumSubKeys(std::vector<std::wstring>& names) const;
  RegStatus EnumValues(std::vector<RegValueInfo>& values) const;
  // Convenience forms; empty on error (RegLastError() tells).
  std::vector<std::wstring> EnumSubKeys() const;
  std::vector<RegValueInfo> EnumValues() const;

  // Deletes the sub-key `path` (relative to this key) with all its sub-keys
  // and values.
  RegStatus DeleteSubKey(std::wstring_view path);

  // Deletes the key at `path` with all its sub-keys and values. NotFound when
  // missing; InvalidParameter for the root of a view. Keys open elsewhere
  // answer KeyDeleted from then on.
  static RegStatus DeleteKey(Hive hive, std::wstring_view path, View view = View::Default);

 private:
  Hive hive_ = Hive::CurrentUser;
  View view_ = View::Default;
  int64_t id_ = 0;
  std::string file_;  // identity of the hive file the key was opened in
};

}  // namespace platform
