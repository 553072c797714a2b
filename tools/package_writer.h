// Writing packages: SQLite files whose kvt table (k, v, t, l) holds the page's files and
// texts. Shared by make_package and make_demo.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace package_writer {

namespace fs = std::filesystem;

constexpr int kHtmlPage = 100;
const char *const kAllLanguages = "**";

// The kvt type of a file, by its extension: the content-type index the server answers
// with, or 100 for an HTML page (stored without its document-type line).
inline int KindOf(const std::string &name) {
  std::string ext = fs::path(name).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  static const struct {
    const char *ext;
    int t;
  } kKinds[] = {{".html", kHtmlPage}, {".htm", kHtmlPage}, {".css", 2}, {".js", 3}, {".txt", 4}, {".json", 5},
                {".png", 6},          {".jpg", 7},        {".jpeg", 7}, {".gif", 8}, {".bmp", 10}};
  for (const auto &k : kKinds)
    if (ext == k.ext) return k.t;
  return 0;
}

// Text kinds are stored as TEXT, everything else as BLOB.
inline bool IsTextKind(int t) { return t == kHtmlPage || (t >= 1 && t <= 5); }

inline std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// Drops a leading "<!DOCTYPE ...>" (any case) and the line end after it: the server puts
// its own in front of every page.
inline std::string WithoutDocType(const std::string &page) {
  static const std::string kOpen = "<!doctype";
  if (page.size() < kOpen.size() || Lower(page.substr(0, kOpen.size())) != kOpen) return page;
  size_t end = page.find('>');
  if (end == std::string::npos) return page;
  ++end;
  while (end < page.size() && (page[end] == '\r' || page[end] == '\n')) ++end;
  return page.substr(end);
}

inline bool ReadWhole(const fs::path &p, std::string &out) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// The v of a row, with the SQL type it is stored as.
struct Value {
  enum Kind { Null, Text, Blob } kind = Null;
  std::string bytes;
};

// A package file opened for writing; every change is one transaction, committed by
// commit() and rolled back when the object goes without it.
class Package {
 public:
  explicit Package(const std::string &path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      error_ = db_ ? sqlite3_errmsg(db_) : "out of memory";
      return;
    }
    ok_ = exec("CREATE TABLE IF NOT EXISTS kvt (k TEXT,v TEXT,t INTEGER, l TEXT)") &&
          exec("CREATE INDEX IF NOT EXISTS i_kv_lk ON kvt(l,k)") && exec("BEGIN");
  }
  ~Package() {
    if (db_ && ok_ && !committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
  }
  Package(const Package &) = delete;
  Package &operator=(const Package &) = delete;

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  sqlite3 *db() const { return db_; }

  bool exec(const char *sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    error_ = sqlite3_errmsg(db_);
    return false;
  }

  // Replaces the row of key and language.
  bool put(const std::string &key, const Value &value, long long t, const std::string &lang) {
    if (!ok_) return false;
    sqlite3_stmt *del = nullptr, *ins = nullptr;
    sqlite3_prepare_v2(db_, "DELETE FROM kvt WHERE k=? AND l=?", -1, &del, nullptr);
    sqlite3_prepare_v2(db_, "INSERT INTO kvt(k,v,t,l) VALUES (?,?,?,?)", -1, &ins, nullptr);
    bool good = del && ins;
    if (good) {
      sqlite3_bind_text(del, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(del, 2, lang.data(), static_cast<int>(lang.size()), SQLITE_TRANSIENT);
      good = sqlite3_step(del) == SQLITE_DONE;
      sqlite3_bind_text(ins, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
      const int n = static_cast<int>(value.bytes.size());
      switch (value.kind) {
        case Value::Null: sqlite3_bind_null(ins, 2); break;
        case Value::Text: sqlite3_bind_text(ins, 2, value.bytes.data(), n, SQLITE_TRANSIENT); break;
        case Value::Blob: sqlite3_bind_blob(ins, 2, value.bytes.data(), n, SQLITE_TRANSIENT); break;
      }
      sqlite3_bind_int64(ins, 3, t);
      sqlite3_bind_text(ins, 4, lang.data(), static_cast<int>(lang.size()), SQLITE_TRANSIENT);
      good = good && sqlite3_step(ins) == SQLITE_DONE;
    }
    if (!good) error_ = sqlite3_errmsg(db_);
    sqlite3_finalize(del);
    sqlite3_finalize(ins);
    return good;
  }

  bool commit() {
    if (!ok_ || !exec("COMMIT")) return false;
    committed_ = true;
    return true;
  }

 private:
  sqlite3 *db_ = nullptr;
  bool ok_ = false;
  bool committed_ = false;
  std::string error_;
};

// Adds every regular file below folder as the row "/app/<relative path>", lower-cased.
// Rows below "/app/img" take the skin, all others the language.
inline bool AddAppFolder(Package &pkg, const fs::path &folder, const std::string &lang, const std::string &skin,
                         std::string &error) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    error = "not a folder: " + folder.string();
    return false;
  }
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec)) files.push_back(it->path());
  if (ec) {
    error = folder.string() + ": " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  for (const fs::path &file : files) {
    std::string key = Lower("/app/" + fs::relative(file, folder).generic_string());
    int t = KindOf(file.string());
    std::string content;
    if (!ReadWhole(file, content)) {
      error = "cannot read " + file.string();
      return false;
    }
    if (t == kHtmlPage) content = WithoutDocType(content);
    const std::string &l = key.compare(0, 8, "/app/img") == 0 ? skin : lang;
    Value v{IsTextKind(t) ? Value::Text : Value::Blob, std::move(content)};
    if (!pkg.put(key, v, t, l)) {
      error = key + ": " + pkg.error();
      return false;
    }
  }
  return true;
}

}  // namespace package_writer
