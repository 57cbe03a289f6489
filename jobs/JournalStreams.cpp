#include "jobs/JournalStreams.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace journalstreams {
namespace {

struct TStmt {
  sqlite3* db;
  sqlite3_stmt* st = nullptr;
  int at = 0;
  TStmt(sqlite3* d, const char* sql) : db(d) {
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db));
  }
  ~TStmt() { sqlite3_finalize(st); }
  TStmt& Bind(int64_t v) {
    sqlite3_bind_int64(st, ++at, v);
    return *this;
  }
  TStmt& Bind(double v) {
    sqlite3_bind_double(st, ++at, v);
    return *this;
  }
  TStmt& Bind(const std::string& v) {
    sqlite3_bind_text(st, ++at, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  void Run() {
    if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    at = 0;
  }
  bool Step() {
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    return false;
  }
  int64_t Int(int c) { return sqlite3_column_int64(st, c); }
  double Real(int c) { return sqlite3_column_double(st, c); }
  std::string Text(int c) {
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
    return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(st, c))) : std::string();
  }
};

// Header values never hold line ends (the extractor's reader drops such headers).
std::string HeaderText(const std::vector<THttpHeader>& headers) {
  std::string text;
  for (const auto& [name, value] : headers) text += name + ": " + value + "\n";
  return text;
}

std::vector<THttpHeader> HeadersOf(const std::string& text) {
  std::vector<THttpHeader> headers;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    pos = end + 1;
  }
  return headers;
}

}  // namespace

void EnsureTables(sqlite3* db) {
  const char* sql =
      "CREATE TABLE IF NOT EXISTS job_resolver(job INTEGER PRIMARY KEY, resolver TEXT,"
      " page_url TEXT);"
      "CREATE TABLE IF NOT EXISTS quality_streams(job INTEGER, n INTEGER, format_id TEXT,"
      " headers TEXT, chunk_limit INTEGER, hls INTEGER, audio_url TEXT, audio_ext TEXT,"
      " audio_format_id TEXT, audio_headers TEXT, audio_chunk_limit INTEGER, height INTEGER,"
      " has_video INTEGER, kbps REAL, PRIMARY KEY(job, n));";
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string text = error ? error : "sqlite error";
    sqlite3_free(error);
    throw std::runtime_error(text);
  }
}

void Remove(sqlite3* db, int64_t key) {
  TStmt(db, "DELETE FROM job_resolver WHERE job = ?").Bind(key).Run();
  TStmt(db, "DELETE FROM quality_streams WHERE job = ?").Bind(key).Run();
}

void Write(sqlite3* db, int64_t key, const TJobSnapshot& job) {
  Remove(db, key);
  if (job.Resolver.empty()) return;
  TStmt(db, "INSERT INTO job_resolver VALUES (?,?,?)")
      .Bind(key)
      .Bind(job.Resolver)
      .Bind(job.WebpageUrl)
      .Run();
  TStmt put(db, "INSERT INTO quality_streams VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  for (size_t n = 0; n < job.Qualities.size(); ++n) {
    const TQuality& q = job.Qualities[n];
    put.Bind(key)
        .Bind(static_cast<int64_t>(n))
        .Bind(q.Link.FormatId)
        .Bind(HeaderText(q.Link.Headers))
        .Bind(static_cast<int64_t>(q.Link.ChunkLimit))
        .Bind(int64_t{q.Link.Hls})
        .Bind(q.Audio.Url)
        .Bind(q.Audio.Ext)
        .Bind(q.Audio.FormatId)
        .Bind(HeaderText(q.Audio.Headers))
        .Bind(static_cast<int64_t>(q.Audio.ChunkLimit))
        .Bind(int64_t{q.Height})
        .Bind(int64_t{q.HasVideo})
        .Bind(q.Kbps)
        .Run();
  }
}

void Read(sqlite3* db, std::vector<TJobSnapshot>& jobs, const std::map<int64_t, size_t>& index) {
  TStmt kinds(db, "SELECT job, resolver, page_url FROM job_resolver");
  while (kinds.Step()) {
    auto it = index.find(kinds.Int(0));
    if (it == index.end()) continue;
    jobs[it->second].Resolver = kinds.Text(1);
    jobs[it->second].WebpageUrl = kinds.Text(2);
  }
  TStmt lines(db,
              "SELECT job, n, format_id, headers, chunk_limit, hls, audio_url, audio_ext,"
              " audio_format_id, audio_headers, audio_chunk_limit, height, has_video, kbps"
              " FROM quality_streams");
  while (lines.Step()) {
    auto it = index.find(lines.Int(0));
    if (it == index.end()) continue;
    auto& list = jobs[it->second].Qualities;
    const int64_t n = lines.Int(1);
    if (n < 0 || static_cast<size_t>(n) >= list.size()) continue;
    TQuality& q = list[static_cast<size_t>(n)];
    q.Link.FormatId = lines.Text(2);
    q.Link.Headers = HeadersOf(lines.Text(3));
    q.Link.ChunkLimit = lines.Int(4);
    q.Link.Hls = lines.Int(5) != 0;
    q.Audio.Url = lines.Text(6);
    q.Audio.Ext = lines.Text(7);
    q.Audio.FormatId = lines.Text(8);
    q.Audio.Headers = HeadersOf(lines.Text(9));
    q.Audio.ChunkLimit = lines.Int(10);
    q.Height = static_cast<int>(lines.Int(11));
    q.HasVideo = lines.Int(12) != 0;
    q.Kbps = lines.Real(13);
  }
}

}  // namespace journalstreams
